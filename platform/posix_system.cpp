// Process heap, code pages, bounded string copies and the computer name.
#include "platform/platform.h"

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

namespace {

// Decodes one UTF-8 sequence; false for malformed input.
bool NextCodePoint(const unsigned char *&p, const unsigned char *end, uint32_t &cp)
{
    const unsigned char c = *p++;
    if (c < 0x80) {
        cp = c;
        return true;
    }
    int extra;
    uint32_t min;
    if ((c & 0xE0) == 0xC0) {
        extra = 1;
        cp = c & 0x1F;
        min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
        extra = 2;
        cp = c & 0x0F;
        min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
        extra = 3;
        cp = c & 0x07;
        min = 0x10000;
    } else {
        return false;
    }
    if (end - p < extra)
        return false;
    for (int i = 0; i < extra; ++i) {
        if ((p[i] & 0xC0) != 0x80)
            return false;
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    p += extra;
    return cp >= min && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
}

} // namespace

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
        if (!NextCodePoint(p, end, cp)) {
            SetLastError(ERROR_NO_UNICODE_TRANSLATION);
            return 0;
        }
        const int units = cp >= 0x10000 ? 2 : 1;
        if (outLength > 0) {
            if (written + units > outLength) {
                SetLastError(ERROR_INSUFFICIENT_BUFFER);
                return 0;
            }
            if (units == 2) {
                cp -= 0x10000;
                out[written] = static_cast<WCHAR>(0xD800 + (cp >> 10));
                out[written + 1] = static_cast<WCHAR>(0xDC00 + (cp & 0x3FF));
            } else {
                out[written] = static_cast<WCHAR>(cp);
            }
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
    for (size_t i = 0; i < units; ++i) {
        uint32_t cp = in[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < units && in[i + 1] >= 0xDC00 && in[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (in[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD; // a lone surrogate, as Windows replaces it
        }
        unsigned char bytes[4];
        int n;
        if (cp < 0x80) {
            bytes[0] = static_cast<unsigned char>(cp);
            n = 1;
        } else if (cp < 0x800) {
            bytes[0] = static_cast<unsigned char>(0xC0 | (cp >> 6));
            bytes[1] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
            n = 2;
        } else if (cp < 0x10000) {
            bytes[0] = static_cast<unsigned char>(0xE0 | (cp >> 12));
            bytes[1] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
            bytes[2] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
            n = 3;
        } else {
            bytes[0] = static_cast<unsigned char>(0xF0 | (cp >> 18));
            bytes[1] = static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F));
            bytes[2] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
            bytes[3] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
            n = 4;
        }
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
