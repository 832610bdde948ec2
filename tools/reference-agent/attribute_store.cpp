#include "attribute_store.h"

#include <cerrno>
#include <ctime>
#include <mutex>
#include <sched.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <unordered_map>

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
// The folder an AttributeFolder holds, and whether the working folder is
// that one now.
thread_local int heldFolder = -1;
thread_local bool inHeldFolder = false;

bool BareName(const std::string &entry)
{
    return !entry.empty() && entry != "." && entry != ".." && entry.find('/') == std::string::npos;
}

// What lookups found, by inode, for every connection. An answer is kept
// only for an inode whose change time was at least a second old when it
// was read: a change made later gets a later change time even on a clock
// that ticks coarsely, so an equal time means nothing was stored since.
class KnownAttributes {
public:
    bool Find(const InodeStamp &stamp, bool &stored, uint32_t &attributes)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto it = known_.find(Key{stamp.device, stamp.index});
        if (it == known_.end() || it->second.changedSeconds != stamp.changedSeconds ||
            it->second.changedNanoseconds != stamp.changedNanoseconds)
            return false;
        stored = it->second.stored;
        attributes = it->second.attributes;
        return true;
    }

    void Keep(const InodeStamp &stamp, bool stored, uint32_t attributes)
    {
        struct timespec now;
        if (::clock_gettime(CLOCK_REALTIME, &now) != 0)
            return;
        const int64_t age = (static_cast<int64_t>(now.tv_sec) - stamp.changedSeconds) * 1000000000 +
                            (static_cast<int64_t>(now.tv_nsec) - stamp.changedNanoseconds);
        if (age < kSettled)
            return;
        std::lock_guard<std::mutex> lock(mutex_);
        if (known_.size() >= kKept)
            known_.clear(); // a tree larger than this is looked up again
        known_[Key{stamp.device, stamp.index}] = {stamp.changedSeconds, stamp.changedNanoseconds, stored, attributes};
    }

    void Forget(uint64_t device, uint64_t index)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        known_.erase(Key{device, index});
    }

private:
    static constexpr int64_t kSettled = 1000000000; // ns: far coarser than any clock's tick
    static constexpr size_t kKept = 1 << 18;
    struct Key {
        uint64_t device, index;
        bool operator==(const Key &other) const { return device == other.device && index == other.index; }
    };
    struct Hash {
        size_t operator()(const Key &key) const { return std::hash<uint64_t>()(key.index * 31 + key.device); }
    };
    struct Record {
        int64_t changedSeconds;
        uint32_t changedNanoseconds;
        bool stored;
        uint32_t attributes;
    };
    std::mutex mutex_;
    std::unordered_map<Key, Record, Hash> known_;
};

KnownAttributes &Known()
{
    static KnownAttributes *known = new KnownAttributes; // lives as long as the connection threads
    return *known;
}

enum class Lookup { Stored, None, Failed };
Lookup ReadStored(int dirfd, const std::string &entry, uint32_t &attributes);

} // namespace

bool UseOwnWorkingFolder()
{
    if (!ownWorkingFolder)
        ownWorkingFolder = ::unshare(CLONE_FS) == 0;
    return ownWorkingFolder;
}

AttributeFolder::AttributeFolder(int dirfd)
{
    heldFolder = dirfd;
    inHeldFolder = false;
}

AttributeFolder::~AttributeFolder()
{
    heldFolder = -1;
    inHeldFolder = false;
}

bool LoadAttributes(int dirfd, const std::string &entry, uint32_t &attributes, const InodeStamp *stamp)
{
    bool stored = false;
    if (stamp != nullptr && Known().Find(*stamp, stored, attributes))
        return stored;
    attributes = 0;
    const Lookup found = ReadStored(dirfd, entry, attributes);
    // Only an answer of the file itself is kept, not a failure to ask.
    if (stamp != nullptr && found != Lookup::Failed)
        Known().Keep(*stamp, found == Lookup::Stored, attributes);
    return found == Lookup::Stored;
}

namespace {

Lookup ReadStored(int dirfd, const std::string &entry, uint32_t &attributes)
{
    unsigned char value[4];
    ssize_t n;
    // The entry itself, never what it links to; the descriptor's magic
    // link is followed to the file it stands for.
    if (ownWorkingFolder && BareName(entry) &&
        ((inHeldFolder && dirfd == heldFolder) || ::fchdir(dirfd) == 0)) {
        inHeldFolder = dirfd == heldFolder;
        n = ::lgetxattr(entry.c_str(), kName, value, sizeof value);
    } else {
        const std::string path = Through(dirfd, entry);
        n = entry.empty() ? ::getxattr(path.c_str(), kName, value, sizeof value)
                          : ::lgetxattr(path.c_str(), kName, value, sizeof value);
    }
    if (n != static_cast<ssize_t>(sizeof value))
        return n >= 0 || errno == ENODATA || errno == ENOTSUP || errno == ERANGE ? Lookup::None : Lookup::Failed;
    attributes = (value[0] | value[1] << 8 | value[2] << 16 | static_cast<uint32_t>(value[3]) << 24) & kStoredAttributes;
    return Lookup::Stored;
}

} // namespace

int StoreAttributes(int fd, uint32_t attributes)
{
    // The change time tells other processes' changes; the agent's own are
    // forgotten at once, on file systems that keep no change time too.
    struct stat st;
    if (::fstat(fd, &st) == 0)
        Known().Forget(DeviceNumber(major(st.st_dev), minor(st.st_dev)), st.st_ino);
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
