// Local file names for copies of the agent's PST stores. The store paths
// come from the agent, so they are treated as untrusted: only a plain file
// name inside the chosen directory is ever produced.
#include "local_names/store_names.h"

#include "protocol/wide_string.h"

#include <cstring>

namespace agent {

namespace {

bool IsSeparator(WCHAR c) { return c == u'\\' || c == u'/'; }

WCHAR Upper(WCHAR c) { return c >= u'a' && c <= u'z' ? static_cast<WCHAR>(c - u'a' + u'A') : c; }

bool SameLetters(const WCHAR *text, size_t length, const char *ascii)
{
    if (std::strlen(ascii) != length)
        return false;
    for (size_t i = 0; i < length; ++i)
        if (Upper(text[i]) != static_cast<WCHAR>(ascii[i]))
            return false;
    return true;
}

// Names Windows opens as devices in any directory, with any extension.
bool IsDeviceName(const WCHAR *name, size_t length)
{
    size_t base = 0;
    while (base < length && name[base] != u'.')
        ++base;
    while (base > 0 && name[base - 1] == u' ')
        --base;
    static const char *const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char *device : kDevices)
        if (SameLetters(name, base, device))
            return true;
    if (base == 4 && (SameLetters(name, 3, "COM") || SameLetters(name, 3, "LPT"))) {
        const WCHAR digit = name[3];
        return (digit >= u'0' && digit <= u'9') || digit == 0x00B9 || digit == 0x00B2 || digit == 0x00B3;
    }
    return false;
}

bool IsPlainFileName(const WCHAR *name, size_t length)
{
    if (length == 0 || (length == 1 && name[0] == u'.') || (length == 2 && name[0] == u'.' && name[1] == u'.'))
        return false;
    for (size_t i = 0; i < length; ++i) {
        const WCHAR c = name[i];
        if (c < 0x20 || c == u':' || c == u'<' || c == u'>' || c == u'"' || c == u'|' || c == u'?' || c == u'*')
            return false;
    }
    // Windows drops trailing dots and spaces, so the file would get a
    // different name than the one checked here.
    if (name[length - 1] == u'.' || name[length - 1] == u' ')
        return false;
    return !IsDeviceName(name, length);
}

} // namespace

DWORD StoreFileName(const WCHAR *storePath, const WCHAR *&name, size_t &length)
{
    const size_t pathLength = WideLength(storePath);
    size_t nameStart = pathLength;
    while (nameStart > 0 && !IsSeparator(storePath[nameStart - 1]))
        --nameStart;
    name = storePath + nameStart;
    length = pathLength - nameStart;
    return IsPlainFileName(name, length) ? 0 : static_cast<DWORD>(ERROR_INVALID_NAME);
}

DWORD ComposeTarget(const WCHAR *directory, const WCHAR *name, size_t nameLength,
                    WCHAR (&target)[kStoreTargetChars])
{
    target[0] = 0;
    if (IsEmpty(directory))
        return ERROR_INVALID_PARAMETER;
    const size_t directoryLength = WideLength(directory);
    const size_t separator = directory[directoryLength - 1] == u'\\' ? 0 : 1;
    if (directoryLength + separator + nameLength > kStoreTargetChars - 1)
        return ERROR_FILENAME_EXCED_RANGE;
    WCHAR *out = target;
    for (size_t i = 0; i < directoryLength; ++i)
        *out++ = directory[i];
    if (separator != 0)
        *out++ = u'\\';
    for (size_t i = 0; i < nameLength; ++i)
        *out++ = name[i];
    *out = 0;
    return 0;
}

DWORD ComposeStoreTarget(const WCHAR *directory, const WCHAR *storePath, WCHAR (&target)[kStoreTargetChars])
{
    target[0] = 0;
    if (IsEmpty(directory))
        return ERROR_INVALID_PARAMETER;
    const WCHAR *name = nullptr;
    size_t length = 0;
    if (const DWORD refused = StoreFileName(storePath, name, length))
        return refused;
    return ComposeTarget(directory, name, length, target);
}

} // namespace agent
