// The local file calls on a Windows host. Local paths are UTF-8 inside
// agentcli and wide for the system.
#include "local_files.h"
#include "agent_stub.h"

#include <cwchar>
#include <cwctype>
#include <cerrno>
#include <chrono>
#include <io.h>

namespace agentcli {

bool ToWide(const std::string &utf8, std::wstring &out)
{
    out.clear();
    if (utf8.empty())
        return true;
    const int n = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()),
                                        nullptr, 0);
    if (n <= 0)
        return false;
    out.resize(static_cast<size_t>(n));
    return ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()), &out[0],
                                 n) == n;
}

namespace {

uint64_t Ticks(const FILETIME &t) { return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime; }

} // namespace

uint32_t Win32FromSystemCode(int code, const std::string &) { return static_cast<uint32_t>(code); }

uint32_t ReadLocalStamp(const std::string &path, LocalStamp &stamp)
{
    stamp = LocalStamp();
    std::wstring wide;
    if (!ToWide(path, wide))
        return ERROR_INVALID_NAME;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &data)) {
        const DWORD error = ::GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? 0 : error;
    }
    stamp.exists = true;
    stamp.regular = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    stamp.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    stamp.lastWrite = Ticks(data.ftLastWriteTime);
    return 0;
}

bool LocalNameAllowed(const std::string &name)
{
    std::wstring wide;
    if (name.empty() || !ToWide(name, wide) || wide.size() > 255)
        return false;
    for (wchar_t c : wide)
        if (c < 32 || std::wcschr(L"<>:\"/\\|?*", c) != nullptr)
            return false;
    if (wide.back() == L'.' || wide.back() == L' ')
        return false;
    // Device names are reserved with any extension.
    std::wstring stem = wide.substr(0, wide.find(L'.'));
    for (wchar_t &c : stem)
        c = static_cast<wchar_t>(std::towupper(c));
    static const wchar_t *const kDevices[] = {L"CON", L"PRN", L"AUX", L"NUL"};
    for (const wchar_t *d : kDevices)
        if (stem == d)
            return false;
    if (stem.size() == 4 && (stem.compare(0, 3, L"COM") == 0 || stem.compare(0, 3, L"LPT") == 0) && stem[3] >= L'1' &&
        stem[3] <= L'9')
        return false;
    return true;
}

bool IsTerminal(std::FILE *stream) { return ::_isatty(::_fileno(stream)) != 0; }

} // namespace agentcli

namespace agentcli {

int TerminalColumns(std::FILE *stream)
{
    if (!IsTerminal(stream))
        return 0;
    CONSOLE_SCREEN_BUFFER_INFO info;
    HANDLE console = ::GetStdHandle(stream == stdout ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
    if (!::GetConsoleScreenBufferInfo(console, &info))
        return 0;
    return info.srWindow.Right - info.srWindow.Left + 1;
}

bool IsLocalFolder(const std::string &path)
{
    std::wstring wide;
    if (!ToWide(path, wide))
        return false;
    const DWORD attributes = ::GetFileAttributesW(wide.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::FILE *OpenLocalForRead(const std::string &path)
{
    std::wstring wide;
    if (!ToWide(path, wide)) {
        errno = EILSEQ;
        return nullptr;
    }
    return ::_wfopen(wide.c_str(), L"rb");
}

uint32_t ProbeLocalFolder(const std::string &folder, double *flushSeconds)
{
    if (flushSeconds != nullptr)
        *flushSeconds = -1;
    std::wstring wide;
    if (!ToWide((folder.empty() ? std::string(".") : folder) + "\\.agentcli-probe", wide))
        return ERROR_INVALID_NAME;
    HANDLE probe = ::CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (probe == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        return error == ERROR_FILE_EXISTS ? 0 : error;
    }
    if (flushSeconds != nullptr) {
        const std::string block(4096, '\0');
        DWORD wrote = 0;
        if (::WriteFile(probe, block.data(), static_cast<DWORD>(block.size()), &wrote, nullptr) &&
            wrote == block.size()) {
            const auto start = std::chrono::steady_clock::now();
            if (::FlushFileBuffers(probe))
                *flushSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        }
    }
    ::CloseHandle(probe);
    return 0;
}

} // namespace agentcli

namespace agentcli {
bool LocalNamesIgnoreCase() { return true; }
} // namespace agentcli
