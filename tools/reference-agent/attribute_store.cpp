#include "attribute_store.h"

#include <cerrno>
#include <sched.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace refagent {

namespace {

constexpr const char *kName = "user.agent.attributes";

// A descriptor's own path through /proc, which reaches O_PATH descriptors
// too (the f*xattr calls do not).
std::string Through(int fd, const std::string &entry)
{
    std::string path = "/proc/self/fd/" + std::to_string(fd);
    if (!entry.empty())
        path += "/" + entry;
    return path;
}

// Set on a thread that took a working folder of its own.
thread_local bool ownWorkingFolder = false;

bool BareName(const std::string &entry)
{
    return !entry.empty() && entry != "." && entry != ".." && entry.find('/') == std::string::npos;
}

} // namespace

bool UseOwnWorkingFolder()
{
    if (!ownWorkingFolder)
        ownWorkingFolder = ::unshare(CLONE_FS) == 0;
    return ownWorkingFolder;
}

bool LoadAttributes(int dirfd, const std::string &entry, uint32_t &attributes)
{
    unsigned char value[4];
    ssize_t n;
    // The entry itself, never what it links to; the descriptor's magic
    // link is followed to the file it stands for.
    if (ownWorkingFolder && BareName(entry) && ::fchdir(dirfd) == 0) {
        n = ::lgetxattr(entry.c_str(), kName, value, sizeof value);
    } else {
        const std::string path = Through(dirfd, entry);
        n = entry.empty() ? ::getxattr(path.c_str(), kName, value, sizeof value)
                          : ::lgetxattr(path.c_str(), kName, value, sizeof value);
    }
    if (n != static_cast<ssize_t>(sizeof value))
        return false;
    attributes = (value[0] | value[1] << 8 | value[2] << 16 | static_cast<uint32_t>(value[3]) << 24) & kStoredAttributes;
    return true;
}

int StoreAttributes(int fd, uint32_t attributes)
{
    attributes &= kStoredAttributes;
    const unsigned char value[4] = {static_cast<unsigned char>(attributes), static_cast<unsigned char>(attributes >> 8),
                                    static_cast<unsigned char>(attributes >> 16),
                                    static_cast<unsigned char>(attributes >> 24)};
    if (::setxattr(Through(fd, std::string()).c_str(), kName, value, sizeof value, 0) == 0)
        return 0;
    // No room for them here: the attributes are derived as before.
    return errno == ENOTSUP || errno == EOPNOTSUPP || errno == EPERM ? 0 : errno;
}

} // namespace refagent
