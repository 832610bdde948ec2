// Local files for the copies, with Win32 results and error codes.
#include "platform/platform.h"
#include "util/out_of_memory.h"
#include "util/win32_codes.h"

#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>
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

// A handle owning `fd`; the descriptor is closed when none can be made.
HANDLE Wrap(int fd)
{
    auto *file = new (std::nothrow) LocalFile{fd};
    if (file == nullptr) {
        ::close(fd);
        agent::NoteOutOfMemory();
        return INVALID_HANDLE_VALUE;
    }
    return file;
}

// Copy targets are written by name: a missing name means its folder is
// missing, a read-only volume refuses access, and a link is refused as an
// unresolvable name. What the base table names beyond that is left to the
// generic write fault, as callers and tests expect.
DWORD FileErrorCode(int error)
{
    switch (error) {
    case ENOENT: return ERROR_PATH_NOT_FOUND;
    case EROFS: return ERROR_ACCESS_DENIED;
    case ELOOP: return ERROR_CANT_RESOLVE_FILENAME;
    case 0:
    case ETXTBSY:
    case EXDEV:
    case ENOTEMPTY:
    case EINVAL: return ERROR_WRITE_FAULT;
    default: return agent::util::Win32FromErrno(error, ERROR_WRITE_FAULT);
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
    return Wrap(fd);
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

int FlushLocalFile(HANDLE file)
{
    const int fd = DescriptorOf(file);
    if (fd < 0)
        return -1;
    int rc;
    do
        rc = ::fsync(fd);
    while (rc != 0 && errno == EINTR);
    return rc == 0 ? 0 : Failed(errno);
}

int LocalFolder::Open(const WCHAR *path, bool followLink)
{
    Close();
    std::string local;
    if (!LocalPath(path, local))
        return -1;
    int fd;
    do
        fd = ::open(local.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (followLink ? 0 : O_NOFOLLOW));
    while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        // O_DIRECTORY meets a link before O_NOFOLLOW does: ENOTDIR.
        const int error = errno;
        struct stat st;
        if (!followLink && (error == ENOTDIR || error == ELOOP) && ::lstat(local.c_str(), &st) == 0 &&
            S_ISLNK(st.st_mode)) {
            SetLastError(ERROR_CANT_RESOLVE_FILENAME);
            return -1;
        }
        return Failed(error);
    }
    fd_ = fd;
    return 0;
}

bool LocalFolder::IsOpen() const { return fd_ >= 0; }

void LocalFolder::Close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

int SplitLocalPath(const WCHAR *path, const WCHAR **nameStart, size_t *folderLength)
{
    size_t length = 0, name = 0;
    for (; path != nullptr && path[length] != 0; ++length)
        if (path[length] == u'/' || path[length] == u'\\')
            name = length + 1;
    if (length == 0 || name == length) {
        SetLastError(ERROR_INVALID_NAME);
        return -1;
    }
    *nameStart = path + name;
    // "/x" lives in the root, "x" in the current folder.
    *folderLength = name == 1 ? 1 : name == 0 ? 0 : name - 1;
    return 0;
}

namespace {

// A plain name (no separator) in UTF-8.
bool PlainName(const WCHAR *name, std::string &out)
{
    if (!LocalPath(name, out))
        return false;
    if (out.find('/') != std::string::npos || out == "." || out == "..") {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    return true;
}

int OpenAt(int folder, const std::string &name, int flags)
{
    int fd;
    do
        fd = ::openat(folder, name.c_str(), flags | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0666);
    while (fd < 0 && errno == EINTR);
    return fd;
}

} // namespace

namespace {

// The exclusive create both calls below make, on a name already converted.
HANDLE CreateNewAt(int folder, const std::string &plain)
{
    const int fd = OpenAt(folder, plain, O_RDWR | O_CREAT | O_EXCL);
    if (fd >= 0)
        return Wrap(fd);
    if (errno == EEXIST)
        SetLastError(ERROR_FILE_EXISTS);
    else
        Failed(errno);
    return INVALID_HANDLE_VALUE;
}

} // namespace

HANDLE CreateNewFileIn(const LocalFolder &folder, const WCHAR *name)
{
    std::string plain;
    return PlainName(name, plain) ? CreateNewAt(folder.fd(), plain) : INVALID_HANDLE_VALUE;
}

HANDLE CreateFreshFileIn(const LocalFolder &folder, const WCHAR *name)
{
    std::string plain;
    if (!PlainName(name, plain))
        return INVALID_HANDLE_VALUE;
    // Another process may plant something again between the removal and
    // the create; O_EXCL then fails rather than follow it, and we remove
    // it once more.
    for (int attempt = 0; attempt < 8; ++attempt) {
        const HANDLE file = CreateNewAt(folder.fd(), plain);
        if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS)
            return file;
        struct stat st;
        if (::fstatat(folder.fd(), plain.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode)) {
            Failed(EISDIR);
            return INVALID_HANDLE_VALUE;
        }
        if (::unlinkat(folder.fd(), plain.c_str(), 0) != 0 && errno != ENOENT) {
            Failed(errno);
            return INVALID_HANDLE_VALUE;
        }
    }
    Failed(EBUSY);
    return INVALID_HANDLE_VALUE;
}

HANDLE ReopenOwnFileIn(const LocalFolder &folder, const WCHAR *name)
{
    std::string plain;
    if (!PlainName(name, plain))
        return INVALID_HANDLE_VALUE;
    const int fd = OpenAt(folder.fd(), plain, O_RDWR);
    if (fd < 0) {
        // ELOOP: a link stands there; ENXIO, EISDIR: no regular file.
        if (errno == ENOENT || errno == ELOOP || errno == ENXIO || errno == EISDIR || errno == EACCES) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        Failed(errno);
        return INVALID_HANDLE_VALUE;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 || st.st_uid != ::geteuid()) {
        ::close(fd);
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    return Wrap(fd);
}

int MoveFileIn(const LocalFolder &folder, const WCHAR *from, const WCHAR *to, bool replace)
{
    std::string source, target;
    if (!PlainName(from, source) || !PlainName(to, target))
        return -1;
    const int fd = folder.fd();
    if (replace)
        return ::renameat(fd, source.c_str(), fd, target.c_str()) == 0 ? 0 : Failed(errno);
    if (::renameat2(fd, source.c_str(), fd, target.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return Failed(errno);
    // A file system without RENAME_NOREPLACE: a hard link fails the same
    // way on an existing target, and never follows a link at the source.
    if (::linkat(fd, source.c_str(), fd, target.c_str(), 0) != 0)
        return Failed(errno);
    ::unlinkat(fd, source.c_str(), 0);
    return 0;
}

int DeleteFileIn(const LocalFolder &folder, const WCHAR *name)
{
    std::string plain;
    if (!PlainName(name, plain))
        return -1;
    if (::unlinkat(folder.fd(), plain.c_str(), 0) == 0)
        return 0;
    if (errno == ENOENT) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return -1;
    }
    return Failed(errno);
}

bool ExistsIn(const LocalFolder &folder, const WCHAR *name)
{
    std::string plain;
    struct stat st;
    return PlainName(name, plain) && ::fstatat(folder.fd(), plain.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

namespace {

int FlushDescriptor(int fd)
{
    int rc;
    do
        rc = ::fsync(fd);
    while (rc != 0 && errno == EINTR);
    // Some file systems cannot sync a folder; their renames are as durable
    // as they get.
    if (rc != 0 && (errno == EINVAL || errno == EROFS))
        return 0;
    return rc == 0 ? 0 : errno;
}

// Copies that finish in one folder at the same time share its flushes: a
// flush that began after a copy's rename covers that rename, so the
// copies waiting meanwhile are all covered by the next one instead of
// each making its own.
class FolderFlushes {
public:
    int Flush(int fd)
    {
        struct stat st;
        if (::fstat(fd, &st) != 0)
            return errno;
        std::unique_lock<std::mutex> lock(lock_);
        State &state = folders_[{st.st_dev, st.st_ino}];
        ++state.users;
        const uint64_t ticket = ++state.arrived;
        int error = 0;
        while (state.flushed < ticket) {
            if (state.running) {
                done_.wait(lock);
                continue;
            }
            state.running = true;
            const uint64_t covers = state.arrived;
            lock.unlock();
            error = FlushDescriptor(fd);
            lock.lock();
            state.running = false;
            done_.notify_all();
            if (error != 0)
                break;
            state.flushed = std::max(state.flushed, covers);
        }
        if (--state.users == 0)
            folders_.erase({st.st_dev, st.st_ino});
        return error;
    }

private:
    struct State {
        uint64_t arrived = 0; // renames that asked for a flush
        uint64_t flushed = 0; // renames a completed flush covers
        bool running = false;
        int users = 0;
    };
    std::mutex lock_;
    std::condition_variable done_;
    std::map<std::pair<dev_t, ino_t>, State> folders_;
};

} // namespace

int FlushLocalFolder(const LocalFolder &folder)
{
    static FolderFlushes flushes;
    const int error = flushes.Flush(folder.fd());
    return error == 0 ? 0 : Failed(error);
}

size_t LocalNameUnits(const WCHAR *name, size_t length)
{
    size_t bytes = 0;
    for (size_t i = 0; i < length; ++i) {
        const WCHAR c = name[i];
        if (c < 0x80)
            bytes += 1;
        else if (c < 0x800)
            bytes += 2;
        else if (c >= 0xD800 && c < 0xDC00 && i + 1 < length && name[i + 1] >= 0xDC00 && name[i + 1] < 0xE000) {
            bytes += 4;
            ++i;
        } else
            bytes += 3;
    }
    return bytes;
}

} // namespace platform
} // namespace agent
