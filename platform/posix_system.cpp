// Process heap, code pages, bounded string copies and the computer name.
#include "platform/platform.h"
#include "util/utf.h"

#include <cstdlib>
#include <cstring>
#include <unistd.h>

HANDLE GetProcessHeap()
{
    static int heap;
    return &heap;
}

void *HeapAlloc(HANDLE, DWORD flags, size_t bytes)
{
    if (bytes == 0)
        bytes = 1;
    return (flags & HEAP_ZERO_MEMORY) != 0 ? std::calloc(1, bytes) : std::malloc(bytes);
}

BOOL HeapFree(HANDLE, DWORD, void *block)
{
    std::free(block);
    return 1;
}

UINT GetACP() { return CP_UTF8; }

int MultiByteToWideChar(UINT, DWORD, const char *in, int inLength, WCHAR *out, int outLength)
{
    if (in == nullptr || inLength == 0 || inLength < -1 || outLength < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const size_t bytes = inLength == -1 ? std::strlen(in) + 1 : static_cast<size_t>(inLength);
    auto *p = reinterpret_cast<const unsigned char *>(in);
    const unsigned char *end = p + bytes;
    int written = 0;
    while (p < end) {
        uint32_t cp = 0;
        if (!agent::util::DecodeUtf8(p, end, cp)) {
            SetLastError(ERROR_NO_UNICODE_TRANSLATION);
            return 0;
        }
        WCHAR encoded[2];
        const int units = agent::util::EncodeUtf16(cp, encoded);
        if (outLength > 0) {
            if (written + units > outLength) {
                SetLastError(ERROR_INSUFFICIENT_BUFFER);
                return 0;
            }
            for (int k = 0; k < units; ++k)
                out[written + k] = encoded[k];
        }
        written += units;
    }
    return written;
}

int WideCharToMultiByte(UINT, DWORD, const WCHAR *in, int inLength, char *out, int outLength, const char *, BOOL *)
{
    if (in == nullptr || inLength == 0 || inLength < -1 || outLength < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    size_t units = 0;
    if (inLength == -1) {
        while (in[units] != 0)
            ++units;
        ++units;
    } else {
        units = static_cast<size_t>(inLength);
    }
    int written = 0;
    for (size_t i = 0; i < units;) {
        bool lone = false;
        uint32_t cp = agent::util::DecodeUtf16(in, units, i, lone);
        if (lone)
            cp = 0xFFFD; // as Windows replaces it
        unsigned char bytes[4];
        const int n = agent::util::EncodeUtf8(cp, bytes);
        if (outLength > 0) {
            if (written + n > outLength) {
                SetLastError(ERROR_INSUFFICIENT_BUFFER);
                return 0;
            }
            std::memcpy(out + written, bytes, n);
        }
        written += n;
    }
    return written;
}

BOOL GetComputerNameA(char *buffer, DWORD *size)
{
    if (buffer == nullptr || size == nullptr || *size == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const size_t length = std::strlen(name);
    if (length + 1 > *size) {
        *size = static_cast<DWORD>(length + 1);
        SetLastError(ERROR_BUFFER_OVERFLOW);
        return 0;
    }
    std::memcpy(buffer, name, length + 1);
    *size = static_cast<DWORD>(length);
    return 1;
}

WCHAR *lstrcpynW(WCHAR *dest, const WCHAR *src, int max)
{
    if (dest == nullptr || max <= 0)
        return dest;
    int i = 0;
    if (src != nullptr)
        for (; i + 1 < max && src[i] != 0; ++i)
            dest[i] = src[i];
    dest[i] = 0;
    return dest;
}
