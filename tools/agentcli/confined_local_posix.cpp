// ConfinedRoot on a POSIX host: every folder below the root is opened with
// openat(O_NOFOLLOW | O_DIRECTORY) from the one above it, and the library
// is handed the file's folder as /proc/self/fd/N, the very folder resolved
// here.
#include "confined_local.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace agentcli {

namespace {

constexpr uint32_t kInvalidName = 123;
constexpr uint32_t kTooManyEntries = 111; // ERROR_BUFFER_OVERFLOW

// The components of `local` below `root`; false when it is not below it
// or a component is empty, "." or "..".
bool ComponentsBelow(const std::string &root, const std::string &local, std::vector<std::string> &parts)
{
    parts.clear();
    if (local.compare(0, root.size(), root) != 0)
        return false;
    size_t at = root.size();
    if (at == local.size())
        return true;
    if (!root.empty() && root.back() != '/') {
        if (local[at] != '/')
            return false;
        ++at;
    }
    while (at <= local.size()) {
        size_t end = local.find('/', at);
        if (end == std::string::npos)
            end = local.size();
        const std::string part = local.substr(at, end - at);
        if (part.empty() || part == "." || part == "..")
            return false;
        parts.push_back(part);
        at = end + 1;
    }
    return true;
}

int OpenFolderAt(int at, const std::string &name)
{
    int fd;
    do
        fd = ::openat(at, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    return fd;
}

bool IsLinkAt(int at, const std::string &name)
{
    struct stat st;
    return ::fstatat(at, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
}

// A folder reached below the root: for the root itself its own
// descriptor, borrowed (a file in the root then costs no descriptor of its
// own); else one opened for it, closed with this.
class Folder {
public:
    Folder() = default;
    ~Folder() { Set(-1, false); }
    Folder(const Folder &) = delete;
    Folder &operator=(const Folder &) = delete;

    int get() const { return fd_; }
    void Set(int fd, bool own)
    {
        if (own_)
            ::close(fd_);
        fd_ = fd;
        own_ = own;
    }
    // A descriptor the caller keeps: this one, or a duplicate of the
    // root's. -1 with errno set.
    int Release()
    {
        const int fd = own_ ? fd_ : ::fcntl(fd_, F_DUPFD_CLOEXEC, 0);
        fd_ = -1;
        own_ = false;
        return fd;
    }

private:
    int fd_ = -1;
    bool own_ = false;
};

// Opens the folder `parts[0..count)` below `root`, creating what is missing
// (and replacing links) when asked. 0 with `out` holding it, or the Win32
// code.
uint32_t Descend(int root, const std::vector<std::string> &parts, size_t count, bool create, const std::string &local,
                 Folder &out, bool *made = nullptr)
{
    Folder at;
    at.Set(root, false);
    for (size_t i = 0; i < count; ++i) {
        const std::string &part = parts[i];
        const int fd = at.get();
        int next = OpenFolderAt(fd, part);
        // Another process may plant something between the steps; a few
        // rounds settle it or give up.
        for (int round = 0; next < 0 && create && round < 4; ++round) {
            const int error = errno;
            if (error == ENOTDIR || error == ELOOP) {
                if (!IsLinkAt(fd, part))
                    break; // a file stands there
                if (::unlinkat(fd, part.c_str(), 0) != 0 && errno != ENOENT)
                    break;
            } else if (error != ENOENT) {
                break;
            }
            const bool madeHere = ::mkdirat(fd, part.c_str(), 0777) == 0;
            if (!madeHere && errno != EEXIST)
                break;
            next = OpenFolderAt(fd, part);
            if (made != nullptr && i + 1 == count)
                *made = madeHere && next >= 0;
        }
        if (next < 0) {
            const int error = errno;
            if ((error == ENOTDIR || error == ELOOP) && IsLinkAt(fd, part))
                return kLocalLinkRefused;
            return error == ENOTDIR ? kLocalFileExists : Win32FromErrno(error, local);
        }
        at.Set(next, true);
    }
    const bool own = at.get() != root;
    out.Set(own ? at.Release() : root, own);
    return 0;
}

// Splits `local` below the root and reaches the folder that holds it
// (`parent`) or the one it names, as Descend does: 0 with `folder` holding
// it, or the cause (kInvalidName outside the root, or for the root where
// its parent is wanted).
uint32_t Reach(const std::string &root, intptr_t handle, const std::string &local, bool parent, bool create,
               std::vector<std::string> &parts, Folder &folder, bool *made = nullptr)
{
    if (!ComponentsBelow(root, local, parts) || (parent && parts.empty()))
        return kInvalidName;
    return Descend(static_cast<int>(handle), parts, parent ? parts.size() - 1 : parts.size(), create, local, folder,
                   made);
}

// True when `local` names an entry directly in the folder whose local
// path, with its closing separator, is `folder`.
bool InFolder(const std::string &folder, const std::string &local)
{
    if (folder.empty() || local.size() <= folder.size() || local.compare(0, folder.size(), folder) != 0)
        return false;
    const char *name = local.c_str() + folder.size();
    return local.find('/', folder.size()) == std::string::npos && std::strcmp(name, ".") != 0 &&
           std::strcmp(name, "..") != 0;
}

bool ProcFdUsable()
{
    static const bool usable = ::access("/proc/self/fd", X_OK) == 0;
    return usable;
}

} // namespace

ConfinedRoot::~ConfinedRoot()
{
    if (handle_ >= 0)
        ::close(static_cast<int>(handle_));
}

ConfinedRoot::Target::Held::~Held()
{
    if (handle >= 0)
        ::close(static_cast<int>(handle));
}

uint32_t ConfinedRoot::Open(const std::string &root)
{
    if (const uint32_t error = CreateLocalFolder(root))
        return error;
    const int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return Win32FromErrno(errno, root);
    if (handle_ >= 0)
        ::close(static_cast<int>(handle_));
    handle_ = fd;
    root_ = root;
    return 0;
}

uint32_t ConfinedRoot::MakeFolder(const std::string &local, bool *made) const
{
    if (made != nullptr)
        *made = false;
    std::vector<std::string> parts;
    Folder folder;
    return Reach(root_, handle_, local, false, true, parts, folder, made);
}

uint32_t ConfinedRoot::Stamp(const std::string &local, LocalStamp &stamp) const
{
    stamp = LocalStamp();
    std::vector<std::string> parts;
    Folder folder;
    const uint32_t error = Reach(root_, handle_, local, true, false, parts, folder);
    if (error == kLocalFileNotFound || error == kLocalPathNotFound)
        return 0;
    if (error != 0)
        return error;
    struct stat st;
    const int rc = ::fstatat(folder.get(), parts.back().c_str(), &st, AT_SYMLINK_NOFOLLOW);
    const int cause = errno;
    if (rc != 0)
        return cause == ENOENT ? 0 : Win32FromErrno(cause, local);
    StampFromStat(st, stamp);
    return 0;
}

uint32_t ConfinedRoot::Resolve(const std::string &local, Target &target, const Target *beside) const
{
    if (beside != nullptr && beside->held_ != nullptr && InFolder(beside->held_->folder, local)) {
        // The folder's part of the path ends at its last separator, with
        // /proc or without.
        const std::string &path = beside->path_;
        target.held_ = beside->held_;
        target.path_.assign(path, 0, path.rfind('/') + 1);
        target.path_.append(local, beside->held_->folder.size(), std::string::npos);
        return 0;
    }
    std::vector<std::string> parts;
    Folder folder;
    if (const uint32_t error = Reach(root_, handle_, local, true, false, parts, folder))
        return error;
    const int fd = folder.Release();
    if (fd < 0)
        return Win32FromErrno(errno, local);
    const std::string &name = parts.back();
    target.Keep(fd, local.substr(0, local.size() - name.size()));
    // Without /proc the folders were still checked, just not held.
    target.path_ = ProcFdUsable() ? "/proc/self/fd/" + std::to_string(fd) + "/" + name : local;
    return 0;
}

uint32_t ConfinedRoot::List(const std::string &local, std::vector<LocalEntry> &entries, size_t most) const
{
    entries.clear();
    std::vector<std::string> parts;
    Folder folder;
    if (const uint32_t error = Reach(root_, handle_, local, false, false, parts, folder))
        return error;
    const int fd = folder.get();
    // The stream takes a descriptor of its own; fd stays for fstatat.
    const int streamFd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    DIR *stream = streamFd < 0 ? nullptr : ::fdopendir(streamFd);
    if (stream == nullptr) {
        const int error = errno;
        if (streamFd >= 0)
            ::close(streamFd);
        return Win32FromErrno(error, local);
    }
    uint32_t result = 0;
    for (;;) {
        errno = 0;
        const struct dirent *d = ::readdir(stream);
        if (d == nullptr) {
            if (errno != 0)
                result = Win32FromErrno(errno, local);
            break;
        }
        const std::string name = d->d_name;
        if (name == "." || name == "..")
            continue;
        if (entries.size() == most) {
            entries.clear();
            result = kTooManyEntries;
            break;
        }
        struct stat st;
        if (::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue; // gone meanwhile
        LocalEntry entry;
        entry.name = name;
        entry.kind = S_ISDIR(st.st_mode)   ? LocalEntry::Kind::Folder
                     : S_ISREG(st.st_mode) ? LocalEntry::Kind::File
                     : S_ISLNK(st.st_mode) ? LocalEntry::Kind::Link
                                           : LocalEntry::Kind::Other;
        LocalStamp stamp;
        StampFromStat(st, stamp);
        entry.size = S_ISREG(st.st_mode) ? stamp.size : 0;
        entry.lastWrite = stamp.lastWrite;
        entries.push_back(std::move(entry));
    }
    ::closedir(stream);
    std::sort(entries.begin(), entries.end(),
              [](const LocalEntry &a, const LocalEntry &b) { return a.name < b.name; });
    return result;
}

uint32_t ConfinedRoot::Hold(const std::string &local, Target &target, LocalStamp &stamp) const
{
    stamp = LocalStamp();
    std::vector<std::string> parts;
    Folder folder;
    if (const uint32_t error = Reach(root_, handle_, local, true, false, parts, folder))
        return error;
    // O_NONBLOCK: a fifo planted there must not stall the open.
    int fd;
    do
        fd = ::openat(folder.get(), parts.back().c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    const int cause = errno;
    const bool link = fd < 0 && (cause == ELOOP || cause == ENOTDIR) && IsLinkAt(folder.get(), parts.back());
    if (fd < 0)
        return link ? kLocalLinkRefused : Win32FromErrno(cause, local);
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return kLocalAccessDenied;
    }
    StampFromStat(st, stamp);
    target.Keep(fd);
    // Opening /proc/self/fd/N opens the very file held, not whatever has
    // the name now. Without /proc the name was still checked, just not held.
    target.path_ = ProcFdUsable() ? "/proc/self/fd/" + std::to_string(fd) : local;
    return 0;
}

} // namespace agentcli
