#include "file_info.h"

#include "attribute_store.h"
#include "confined_path.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>

namespace refagent {

namespace {

int Fill(int dirfd, const char *path, int flags, const std::string &name, FileInfo &info)
{
    struct statx sx;
    if (::statx(dirfd, path, flags | AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0)
        return errno;
    struct stat st {};
    st.st_mode = sx.stx_mode;
    info.directory = S_ISDIR(st.st_mode);
    info.symlink = S_ISLNK(st.st_mode);
    info.attributes = AttributesOf(st, name);
    // What a client set and the file system has no place for.
    uint32_t stored = 0;
    const uint64_t device = DeviceNumber(sx.stx_dev_major, sx.stx_dev_minor);
    const InodeStamp stamp{device, sx.stx_ino, sx.stx_ctime.tv_sec, sx.stx_ctime.tv_nsec};
    if (!info.symlink && LoadAttributes(dirfd, path, stored, &stamp)) {
        info.attributes = (info.attributes & ~(kStoredAttributes | kAttributeNormal)) | stored;
        if (info.attributes == 0)
            info.attributes = kAttributeNormal;
    }
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
    // A link's own size is the length of its target's name: nothing a
    // Windows reader would count as data.
    info.size = info.directory || info.symlink ? 0 : sx.stx_size;
    info.device = device;
    info.index = sx.stx_ino;
    info.links = sx.stx_nlink;
    return 0;
}

} // namespace

int InfoAt(int dirfd, const std::string &entry, const std::string &name, FileInfo &info)
{
    return entry.empty() ? Fill(dirfd, "", AT_EMPTY_PATH, name, info) : Fill(dirfd, entry.c_str(), 0, name, info);
}

int StatDescriptor(int fd, const std::string &name, FileInfo &info) { return Fill(fd, "", AT_EMPTY_PATH, name, info); }

void DescribeLink(int rootFd, const std::vector<std::string> &parts, FileInfo &info)
{
    if (!info.symlink)
        return;
    uint32_t attributes = kAttributeReparsePoint | (info.attributes & kAttributeHidden);
    Location target;
    struct stat st;
    if (Locate(rootFd, parts, true, target) == 0 && StatAt(target, st) == 0) {
        if (S_ISDIR(st.st_mode))
            attributes |= kAttributeDirectory;
        else if (S_ISREG(st.st_mode))
            attributes |= kAttributeArchive;
    }
    info.attributes = attributes;
}

uint32_t VolumeSerial(uint64_t device) { return static_cast<uint32_t>(device ^ (device >> 32)); }

} // namespace refagent
