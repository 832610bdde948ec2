// Local files for the copies, with Win32 results and error codes.
#include "platform/platform.h"

#include <cerrno>
#include <fcntl.h>
#include <new>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct LocalFile {
    int fd;
};

DWORD FileErrorCode(int error)
{
    switch (error) {
    case ENOENT: return ERROR_PATH_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES: return ERROR_ACCESS_DENIED;
    case EPERM: return ERROR_ACCESS_DENIED;
    case EROFS: return ERROR_ACCESS_DENIED;
    case EISDIR: return ERROR_ACCESS_DENIED;
    case EEXIST: return ERROR_FILE_EXISTS;
    case ENOSPC: return ERROR_DISK_FULL;
    case EDQUOT: return ERROR_DISK_FULL;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case EMFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EBADF: return ERROR_INVALID_HANDLE;
    default: return ERROR_WRITE_FAULT;
    }
}

// UTF-8 path with backslashes as separators; false for an unconvertible name.
bool LocalPath(const WCHAR *path, std::string &out)
{
    if (path == nullptr || path[0] == 0) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    const int size = WideCharToMultiByte(CP_UTF8, 0, path, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0) {
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return false;
    }
    out.assign(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, path, -1, &out[0], size, nullptr, nullptr);
    out.resize(static_cast<size_t>(size) - 1);
    for (char &c : out)
        if (c == '\\')
            c = '/';
    return true;
}

} // namespace

HANDLE CreateFileW(const WCHAR *path, DWORD access, DWORD, void *, DWORD disposition, DWORD, HANDLE)
{
    std::string local;
    if (!LocalPath(path, local))
        return INVALID_HANDLE_VALUE;
    int flags = O_CLOEXEC;
    const bool read = (access & GENERIC_READ) != 0;
    const bool write = (access & GENERIC_WRITE) != 0;
    flags |= read && write ? O_RDWR : write ? O_WRONLY : O_RDONLY;
    switch (disposition) {
    case CREATE_NEW: flags |= O_CREAT | O_EXCL; break;
    case CREATE_ALWAYS: flags |= O_CREAT | O_TRUNC; break;
    case OPEN_EXISTING: break;
    case 4 /* OPEN_ALWAYS */: flags |= O_CREAT; break;
    case 5 /* TRUNCATE_EXISTING */: flags |= O_TRUNC; break;
    default: SetLastError(ERROR_INVALID_PARAMETER); return INVALID_HANDLE_VALUE;
    }
    int fd;
    do
        fd = ::open(local.c_str(), flags, 0666);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        const int error = errno;
        SetLastError(error == ENOENT && disposition == OPEN_EXISTING ? ERROR_FILE_NOT_FOUND : FileErrorCode(error));
        return INVALID_HANDLE_VALUE;
    }
    auto *file = new (std::nothrow) LocalFile{fd};
    if (file == nullptr) {
        ::close(fd);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    return file;
}

BOOL WriteFile(HANDLE handle, const void *buffer, DWORD toWrite, DWORD *written, void *)
{
    if (written != nullptr)
        *written = 0;
    auto *file = static_cast<LocalFile *>(handle);
    if (file == nullptr || handle == INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    const char *p = static_cast<const char *>(buffer);
    DWORD done = 0;
    while (done < toWrite) {
        ssize_t n = ::write(file->fd, p + done, toWrite - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            SetLastError(FileErrorCode(errno));
            if (written != nullptr)
                *written = done;
            return 0;
        }
        done += static_cast<DWORD>(n);
    }
    if (written != nullptr)
        *written = done;
    return 1;
}

BOOL CloseHandle(HANDLE handle)
{
    auto *file = static_cast<LocalFile *>(handle);
    if (file == nullptr || handle == INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    const int rc = ::close(file->fd);
    const int error = errno;
    delete file;
    if (rc != 0 && error != EINTR) {
        SetLastError(FileErrorCode(error));
        return 0;
    }
    return 1;
}

BOOL CreateDirectoryW(const WCHAR *path, void *)
{
    std::string local;
    if (!LocalPath(path, local))
        return 0;
    if (::mkdir(local.c_str(), 0777) != 0) {
        SetLastError(errno == EEXIST ? static_cast<DWORD>(ERROR_ALREADY_EXISTS) : FileErrorCode(errno));
        return 0;
    }
    return 1;
}
