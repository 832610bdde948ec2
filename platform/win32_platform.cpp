// The platform layer on Windows: the Win32 calls are the real API, so only
// the library's own helpers live here.
#include "platform/platform.h"

#include <cerrno>

namespace agent {
namespace platform {

// ACE moves the Windows Sockets code of a failed socket call into errno;
// GetLastError may already hold something else by the time we look.
void SetLastSocketError()
{
    DWORD code = static_cast<DWORD>(errno);
    if (code == 0)
        code = static_cast<DWORD>(::WSAGetLastError());
    // A host name that does not resolve may leave no code behind.
    ::SetLastError(code != 0 ? code : static_cast<DWORD>(WSAHOST_NOT_FOUND));
}

void SetLastSocketErrorOrReset()
{
    // Only errno: WSAGetLastError may still hold an earlier call's code.
    const DWORD code = static_cast<DWORD>(errno);
    // A peer that closed in the middle of a message is a reset to the host.
    ::SetLastError(code != 0 ? code : static_cast<DWORD>(WSAECONNRESET));
}

// ---- local files for the copies

// On a handle opened without FILE_FLAG_OVERLAPPED the structure only
// carries the offset; the call completes before it returns.
OVERLAPPED AtOffset(uint64_t position)
{
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(position);
    at.OffsetHigh = static_cast<DWORD>(position >> 32);
    return at;
}

int WriteFileAt(HANDLE file, const void *data, DWORD size, uint64_t offset)
{
    const char *p = static_cast<const char *>(data);
    DWORD done = 0;
    while (done < size) {
        OVERLAPPED at = AtOffset(offset + done);
        DWORD written = 0;
        if (!::WriteFile(file, p + done, size - done, &written, &at))
            return -1;
        if (written == 0) {
            ::SetLastError(ERROR_WRITE_FAULT);
            return -1;
        }
        done += written;
    }
    return 0;
}

int ReadFileAt(HANDLE file, void *data, DWORD size, uint64_t offset, DWORD *read)
{
    *read = 0;
    char *p = static_cast<char *>(data);
    DWORD done = 0;
    while (done < size) {
        OVERLAPPED at = AtOffset(offset + done);
        DWORD got = 0;
        if (!::ReadFile(file, p + done, size - done, &got, &at)) {
            if (::GetLastError() == ERROR_HANDLE_EOF)
                break;
            return -1;
        }
        if (got == 0)
            break;
        done += got;
    }
    *read = done;
    return 0;
}

int GetLocalFileSize(HANDLE file, uint64_t *size)
{
    LARGE_INTEGER value;
    if (!::GetFileSizeEx(file, &value))
        return -1;
    *size = static_cast<uint64_t>(value.QuadPart);
    return 0;
}

int SetLocalFileSize(HANDLE file, uint64_t size)
{
    LARGE_INTEGER value;
    value.QuadPart = static_cast<LONGLONG>(size);
    return ::SetFilePointerEx(file, value, nullptr, FILE_BEGIN) && ::SetEndOfFile(file) ? 0 : -1;
}

int SetLocalLastWriteTime(HANDLE file, const FILETIME &lastWrite)
{
    return ::SetFileTime(file, nullptr, nullptr, &lastWrite) ? 0 : -1;
}

int GetLocalFileVersion(HANDLE file, uint64_t *size, FILETIME *lastWrite)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!::GetFileInformationByHandle(file, &info))
        return -1;
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || ::GetFileType(file) != FILE_TYPE_DISK) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return -1;
    }
    *size = static_cast<uint64_t>(info.nFileSizeHigh) << 32 | info.nFileSizeLow;
    *lastWrite = info.ftLastWriteTime;
    return 0;
}

int MoveLocalFile(const WCHAR *from, const WCHAR *to, bool replace)
{
    if (::MoveFileExW(from, to, replace ? MOVEFILE_REPLACE_EXISTING : 0))
        return 0;
    // MoveFileEx says "already exists" where CopyFileEx says "file exists".
    if (!replace && ::GetLastError() == ERROR_ALREADY_EXISTS)
        ::SetLastError(ERROR_FILE_EXISTS);
    return -1;
}

int DeleteLocalFile(const WCHAR *path) { return ::DeleteFileW(path) ? 0 : -1; }

bool LocalPathExists(const WCHAR *path) { return ::GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES; }

} // namespace platform
} // namespace agent
