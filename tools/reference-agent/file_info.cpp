#include "file_info.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>

namespace refagent {

namespace {

int Fill(int dirfd, const char *path, int flags, const std::string &name, FileInfo &info)
{
    struct statx sx;
    if (::statx(dirfd, path, flags, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0)
        return errno;
    struct stat st {};
    st.st_mode = sx.stx_mode;
    info.directory = S_ISDIR(st.st_mode);
    info.attributes = AttributesOf(st, name);
    auto ts = [](const struct statx_timestamp &t) {
        struct timespec out;
        out.tv_sec = t.tv_sec;
        out.tv_nsec = t.tv_nsec;
        return out;
    };
    info.lastAccess = ToFileTime(ts(sx.stx_atime));
    info.lastWrite = ToFileTime(ts(sx.stx_mtime));
    // Not every file system keeps a birth time; the last change is the
    // closest the others have.
    info.creation = ToFileTime(ts((sx.stx_mask & STATX_BTIME) ? sx.stx_btime : sx.stx_mtime));
    info.size = info.directory ? 0 : sx.stx_size;
    info.device = (static_cast<uint64_t>(sx.stx_dev_major) << 32) | sx.stx_dev_minor;
    info.index = sx.stx_ino;
    info.links = sx.stx_nlink;
    return 0;
}

} // namespace

int StatPath(const std::string &local, const std::string &name, FileInfo &info)
{
    return Fill(AT_FDCWD, local.c_str(), 0, name, info);
}

int StatDescriptor(int fd, const std::string &name, FileInfo &info)
{
    return Fill(fd, "", AT_EMPTY_PATH, name, info);
}

uint32_t NotFoundStatus(const std::string &local)
{
    const size_t slash = local.find_last_of('/');
    if (slash == std::string::npos || slash == 0)
        return kErrorFileNotFound;
    struct stat st;
    const std::string parent = local.substr(0, slash);
    return ::stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? kErrorFileNotFound : kErrorPathNotFound;
}

uint32_t StatusOf(int error, const std::string &local)
{
    return error == ENOENT ? NotFoundStatus(local) : Win32FromErrno(error);
}

} // namespace refagent
