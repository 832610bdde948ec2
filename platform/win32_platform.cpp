// The platform layer on Windows: the Win32 calls are the real API, so only
// the library's own helpers live here.
#include "platform/platform.h"
#include "util/out_of_memory.h"

#include <aclapi.h>

#include <cerrno>
#include <new>
#include <string>

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

int FlushLocalFile(HANDLE file) { return ::FlushFileBuffers(file) ? 0 : -1; }

int LocalFolder::Open(const WCHAR *path, bool followLink)
{
    Close();
    // No FILE_SHARE_DELETE: while it is held, the folder (and so every
    // folder above it) cannot be renamed or replaced.
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (followLink ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
    HANDLE handle = ::CreateFileW(path, GENERIC_READ | GENERIC_WRITE, share, nullptr, OPEN_EXISTING, flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_ACCESS_DENIED)
        handle = ::CreateFileW(path, FILE_READ_ATTRIBUTES, share, nullptr, OPEN_EXISTING, flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return -1;
    BY_HANDLE_FILE_INFORMATION info;
    if (!::GetFileInformationByHandle(handle, &info)) {
        const DWORD cause = ::GetLastError();
        ::CloseHandle(handle);
        ::SetLastError(cause);
        return -1;
    }
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        (!followLink && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)) {
        ::CloseHandle(handle);
        ::SetLastError((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ? ERROR_DIRECTORY
                                                                               : ERROR_CANT_RESOLVE_FILENAME);
        return -1;
    }
    const size_t length = static_cast<size_t>(::lstrlenW(path));
    path_ = new (std::nothrow) WCHAR[length + 2];
    if (path_ == nullptr) {
        ::CloseHandle(handle);
        agent::NoteOutOfMemory();
        return -1;
    }
    ::lstrcpynW(path_, path, static_cast<int>(length + 1));
    if (length > 0 && path_[length - 1] != L'\\' && path_[length - 1] != L'/')
        ::lstrcatW(path_, L"\\");
    handle_ = handle;
    return 0;
}

bool LocalFolder::IsOpen() const { return handle_ != INVALID_HANDLE_VALUE; }

void LocalFolder::Close()
{
    if (handle_ != INVALID_HANDLE_VALUE)
        ::CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
    delete[] path_;
    path_ = nullptr;
}

int SplitLocalPath(const WCHAR *path, const WCHAR **nameStart, size_t *folderLength)
{
    size_t length = 0, name = 0;
    for (; path != nullptr && path[length] != 0; ++length)
        if (path[length] == L'/' || path[length] == L'\\' || (path[length] == L':' && length == 1))
            name = length + 1;
    if (length == 0 || name == length) {
        ::SetLastError(ERROR_INVALID_NAME);
        return -1;
    }
    *nameStart = path + name;
    // "\x" and "C:\x" live in a root, which keeps its separator; "C:x" in
    // the drive's current folder, "x" in ours.
    if (name == 0)
        *folderLength = 0;
    else if (name == 1 || (name == 3 && path[1] == L':') || (name == 2 && path[1] == L':'))
        *folderLength = name;
    else
        *folderLength = name - 1;
    return 0;
}

namespace {

// The full path of a plain name in the folder; empty when the name is not
// plain (ERROR_INVALID_NAME) or memory runs out.
std::wstring PathIn(const LocalFolder &folder, const WCHAR *name)
{
    for (const WCHAR *p = name; *p != 0; ++p)
        if (*p == L'\\' || *p == L'/' || *p == L':') {
            ::SetLastError(ERROR_INVALID_NAME);
            return std::wstring();
        }
    try {
        return std::wstring(folder.path()) + name;
    } catch (...) {
        agent::NoteOutOfMemory();
        return std::wstring();
    }
}

// Owned by this process's user, or by the owner it gives new files (the
// Administrators group for an elevated process).
bool IsOwnedByUs(HANDLE file)
{
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                          &descriptor) != ERROR_SUCCESS)
        return false;
    bool ours = false;
    HANDLE token = nullptr;
    if (::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
        unsigned char buffer[256];
        DWORD size = 0;
        if (::GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size))
            ours = ::EqualSid(owner, reinterpret_cast<TOKEN_USER *>(buffer)->User.Sid) != 0;
        if (!ours && ::GetTokenInformation(token, TokenOwner, buffer, sizeof buffer, &size))
            ours = ::EqualSid(owner, reinterpret_cast<TOKEN_OWNER *>(buffer)->Owner) != 0;
        ::CloseHandle(token);
    }
    ::LocalFree(descriptor);
    return ours;
}

} // namespace

namespace {

// The exclusive create both calls below make, on a path already built.
// CREATE_NEW never opens what stands at the name, and with
// FILE_FLAG_OPEN_REPARSE_POINT never follows a link there.
HANDLE CreateNewAt(const std::wstring &path)
{
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_ALREADY_EXISTS)
        ::SetLastError(ERROR_FILE_EXISTS);
    return file;
}

} // namespace

HANDLE CreateNewFileIn(const LocalFolder &folder, const WCHAR *name)
{
    const std::wstring path = PathIn(folder, name);
    return path.empty() ? INVALID_HANDLE_VALUE : CreateNewAt(path);
}

HANDLE CreateFreshFileIn(const LocalFolder &folder, const WCHAR *name)
{
    const std::wstring path = PathIn(folder, name);
    if (path.empty())
        return INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 8; ++attempt) {
        HANDLE file = CreateNewAt(path);
        if (file != INVALID_HANDLE_VALUE || ::GetLastError() != ERROR_FILE_EXISTS)
            return file;
        // DeleteFileW removes a file link itself and fails on a folder.
        if (!::DeleteFileW(path.c_str()) && ::GetLastError() != ERROR_FILE_NOT_FOUND)
            return INVALID_HANDLE_VALUE;
    }
    ::SetLastError(ERROR_SHARING_VIOLATION);
    return INVALID_HANDLE_VALUE;
}

HANDLE ReopenOwnFileIn(const LocalFolder &folder, const WCHAR *name)
{
    const std::wstring path = PathIn(folder, name);
    if (path.empty())
        return INVALID_HANDLE_VALUE;
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | READ_CONTROL, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD cause = ::GetLastError();
        if (cause == ERROR_PATH_NOT_FOUND || cause == ERROR_ACCESS_DENIED)
            ::SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    BY_HANDLE_FILE_INFORMATION info;
    const bool plain = ::GetFileInformationByHandle(file, &info) &&
                       (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
                       info.nNumberOfLinks == 1 && IsOwnedByUs(file);
    if (!plain) {
        ::CloseHandle(file);
        ::SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    return file;
}

int MoveFileIn(const LocalFolder &folder, const WCHAR *from, const WCHAR *to, bool replace)
{
    const std::wstring source = PathIn(folder, from), target = PathIn(folder, to);
    if (source.empty() || target.empty())
        return -1;
    // MoveFileExW replaces a link at the target; it does not write through it.
    if (::MoveFileExW(source.c_str(), target.c_str(), replace ? MOVEFILE_REPLACE_EXISTING : 0))
        return 0;
    // MoveFileEx says "already exists" where CopyFileEx says "file exists".
    if (!replace && ::GetLastError() == ERROR_ALREADY_EXISTS)
        ::SetLastError(ERROR_FILE_EXISTS);
    return -1;
}

int DeleteFileIn(const LocalFolder &folder, const WCHAR *name)
{
    const std::wstring path = PathIn(folder, name);
    return !path.empty() && ::DeleteFileW(path.c_str()) ? 0 : -1;
}

bool ExistsIn(const LocalFolder &folder, const WCHAR *name)
{
    const std::wstring path = PathIn(folder, name);
    return !path.empty() && ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

int FlushLocalFolder(const LocalFolder &folder)
{
    // NTFS flushes a folder's entries through a handle with write access;
    // a folder opened without it, or a file system that cannot, keeps its
    // own order.
    if (::FlushFileBuffers(folder.handle()))
        return 0;
    const DWORD cause = ::GetLastError();
    return cause == ERROR_ACCESS_DENIED || cause == ERROR_INVALID_FUNCTION ? 0 : -1;
}

size_t LocalNameUnits(const WCHAR *, size_t length) { return length; }

} // namespace platform
} // namespace agent
