// Local files for the copies, with Win32 results and error codes.
#include "platform/platform.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
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
    case EFBIG: return ERROR_DISK_FULL;
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

// The descriptor behind a handle, or -1 with ERROR_INVALID_HANDLE.
int DescriptorOf(HANDLE handle)
{
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return -1;
    }
    return static_cast<LocalFile *>(handle)->fd;
}

int Failed(int error)
{
    SetLastError(FileErrorCode(error));
    return -1;
}

// FILETIME ticks (100 ns since 1601) as a POSIX time; earlier than 1970
// is a negative second count with a non-negative nanosecond part.
timespec PosixTime(const FILETIME &time)
{
    constexpr int64_t kTicksPerSecond = 10000000;
    constexpr int64_t kEpochTicks = 11644473600LL * kTicksPerSecond;
    const uint64_t ticks = static_cast<uint64_t>(time.dwHighDateTime) << 32 | time.dwLowDateTime;
    // Ticks beyond INT64_MAX are later than any time_t a file can carry.
    const int64_t since1970 = static_cast<int64_t>(std::min<uint64_t>(ticks, INT64_MAX)) - kEpochTicks;
    int64_t seconds = since1970 / kTicksPerSecond;
    int64_t rest = since1970 % kTicksPerSecond;
    if (rest < 0) {
        rest += kTicksPerSecond;
        --seconds;
    }
    timespec out{};
    out.tv_sec = static_cast<time_t>(seconds);
    out.tv_nsec = static_cast<long>(rest * 100);
    return out;
}

// The inverse of PosixTime; times before 1601 become 0.
FILETIME WindowsTime(const timespec &time)
{
    constexpr int64_t kTicksPerSecond = 10000000;
    constexpr int64_t kEpochSeconds = 11644473600LL;
    FILETIME out{0, 0};
    if (time.tv_sec < -kEpochSeconds)
        return out;
    const uint64_t ticks = static_cast<uint64_t>(time.tv_sec + kEpochSeconds) * kTicksPerSecond +
                           static_cast<uint64_t>(time.tv_nsec / 100);
    out.dwLowDateTime = static_cast<DWORD>(ticks);
    out.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return out;
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

namespace agent {
namespace platform {

int WriteFileAt(HANDLE file, const void *data, DWORD size, uint64_t offset)
{
    const int fd = DescriptorOf(file);
    if (fd < 0)
        return -1;
    if (offset > static_cast<uint64_t>(INT64_MAX) - size) {
        SetLastError(ERROR_DISK_FULL);
        return -1;
    }
    const char *p = static_cast<const char *>(data);
    DWORD done = 0;
    while (done < size) {
        const ssize_t n = ::pwrite(fd, p + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return Failed(errno);
        }
        if (n == 0) {
            SetLastError(ERROR_WRITE_FAULT);
            return -1;
        }
        done += static_cast<DWORD>(n);
    }
    return 0;
}

int ReadFileAt(HANDLE file, void *data, DWORD size, uint64_t offset, DWORD *read)
{
    *read = 0;
    const int fd = DescriptorOf(file);
    if (fd < 0)
        return -1;
    if (offset > static_cast<uint64_t>(INT64_MAX))
        return 0; // past any end
    char *p = static_cast<char *>(data);
    DWORD done = 0;
    while (done < size) {
        const ssize_t n = ::pread(fd, p + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return Failed(errno);
        }
        if (n == 0)
            break;
        done += static_cast<DWORD>(n);
    }
    *read = done;
    return 0;
}

int GetLocalFileSize(HANDLE file, uint64_t *size)
{
    const int fd = DescriptorOf(file);
    if (fd < 0)
        return -1;
    struct stat st;
    if (::fstat(fd, &st) != 0)
        return Failed(errno);
    *size = static_cast<uint64_t>(st.st_size);
    return 0;
}

int SetLocalFileSize(HANDLE file, uint64_t size)
{
    const int fd = DescriptorOf(file);
    if (fd < 0)
        return -1;
    if (size > static_cast<uint64_t>(INT64_MAX)) {
        SetLastError(ERROR_DISK_FULL);
        return -1;
    }
    int rc;
    do
        rc = ::ftruncate(fd, static_cast<off_t>(size));
    while (rc != 0 && errno == EINTR);
    return rc == 0 ? 0 : Failed(errno);
}

int SetLocalLastWriteTime(HANDLE file, const FILETIME &lastWrite)
{
    const int fd = DescriptorOf(file);
    if (fd < 0)
        return -1;
    timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT; // the access time stays
    times[1] = PosixTime(lastWrite);
    return ::futimens(fd, times) == 0 ? 0 : Failed(errno);
}

int GetLocalFileVersion(HANDLE file, uint64_t *size, FILETIME *lastWrite)
{
    const int fd = DescriptorOf(file);
    if (fd < 0)
        return -1;
    struct stat st;
    if (::fstat(fd, &st) != 0)
        return Failed(errno);
    if (!S_ISREG(st.st_mode)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return -1;
    }
    *size = static_cast<uint64_t>(st.st_size);
    *lastWrite = WindowsTime(st.st_mtim);
    return 0;
}

int MoveLocalFile(const WCHAR *from, const WCHAR *to, bool replace)
{
    std::string source, target;
    if (!LocalPath(from, source) || !LocalPath(to, target))
        return -1;
    if (replace)
        return ::rename(source.c_str(), target.c_str()) == 0 ? 0 : Failed(errno);
    if (::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return Failed(errno);
    // A file system without RENAME_NOREPLACE: a hard link fails the same
    // way on an existing target.
    if (::link(source.c_str(), target.c_str()) != 0)
        return Failed(errno);
    ::unlink(source.c_str());
    return 0;
}

int DeleteLocalFile(const WCHAR *path)
{
    std::string local;
    if (!LocalPath(path, local))
        return -1;
    if (::unlink(local.c_str()) == 0)
        return 0;
    if (errno == ENOENT) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return -1;
    }
    return Failed(errno);
}

bool LocalPathExists(const WCHAR *path)
{
    std::string local;
    struct stat st;
    return LocalPath(path, local) && ::lstat(local.c_str(), &st) == 0;
}

} // namespace platform
} // namespace agent
