#include "confined_path.h"

#include "win32_codes.h"

#include <atomic>
#include <cerrno>
#include <deque>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace refagent {

namespace {

// As the kernel's own limit on links in one lookup.
constexpr int kMaxLinks = 40;
// Deeper than any Windows path (32767 characters) can reach.
constexpr size_t kMaxDepth = 4096;
constexpr int kOpenat2Retries = 8;

std::atomic<Resolver> g_resolver{Resolver::Auto};

bool KernelHasOpenat2()
{
    static const bool has = [] {
        open_how how{};
        how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
        how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
        const long fd = ::syscall(SYS_openat2, AT_FDCWD, ".", &how, sizeof how);
        if (fd >= 0)
            ::close(static_cast<int>(fd));
        return fd >= 0 || errno != ENOSYS;
    }();
    return has;
}

std::vector<std::string> SplitLink(const std::string &target)
{
    std::vector<std::string> parts;
    size_t at = 0;
    while (at <= target.size()) {
        const size_t slash = target.find('/', at);
        const size_t end = slash == std::string::npos ? target.size() : slash;
        if (end > at)
            parts.push_back(target.substr(at, end - at));
        if (slash == std::string::npos)
            break;
        at = slash + 1;
    }
    return parts;
}

int DupDirectory(int fd)
{
    const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    return copy >= 0 ? copy : -errno;
}

int OpenWithOpenat2(int rootFd, const std::vector<std::string> &parts)
{
    std::string relative = ".";
    for (const std::string &p : parts)
        relative += "/" + p;
    open_how how{};
    how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    for (int attempt = 0; attempt < kOpenat2Retries; ++attempt) {
        const long fd = ::syscall(SYS_openat2, rootFd, relative.c_str(), &how, sizeof how);
        if (fd >= 0)
            return static_cast<int>(fd);
        // EAGAIN: a rename somewhere raced the lookup; it is safe to retry.
        if (errno != EAGAIN)
            return -errno;
    }
    return -EAGAIN;
}

// One O_NOFOLLOW step per component; a link is read and its target's
// components are walked in its place, ".." going back to the descriptor
// the walk came down through, never above the root.
int OpenByWalking(int rootFd, const std::vector<std::string> &parts)
{
    std::deque<std::string> todo(parts.begin(), parts.end());
    std::vector<UniqueFd> stack;
    int links = 0;
    auto current = [&] { return stack.empty() ? rootFd : stack.back().get(); };
    while (!todo.empty()) {
        const std::string name = std::move(todo.front());
        todo.pop_front();
        if (name.empty() || name == ".")
            continue;
        if (name == "..") {
            if (stack.empty())
                return -EXDEV;
            stack.pop_back();
            continue;
        }
        if (stack.size() >= kMaxDepth)
            return -ENAMETOOLONG;
        const int fd = ::openat(current(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0) {
            stack.emplace_back(fd);
            continue;
        }
        const int error = errno;
        if (error != ENOTDIR && error != ELOOP)
            return -error;
        struct stat st;
        if (::fstatat(current(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            return -errno;
        if (!S_ISLNK(st.st_mode))
            return -ENOTDIR;
        std::string target;
        if (++links > kMaxLinks)
            return -ELOOP;
        if (!ReadLinkAt(current(), name, target))
            return -errno;
        if (target.empty() || target[0] == '/')
            return -EXDEV;
        const std::vector<std::string> pieces = SplitLink(target);
        todo.insert(todo.begin(), pieces.begin(), pieces.end());
    }
    return stack.empty() ? DupDirectory(rootFd) : stack.back().Release();
}

} // namespace

void SetResolver(Resolver resolver) { g_resolver = resolver; }

Resolver ActiveResolver()
{
    const Resolver r = g_resolver;
    if (r != Resolver::Auto)
        return r;
    return KernelHasOpenat2() ? Resolver::Openat2 : Resolver::Walk;
}

int OpenDirectoryBeneath(int rootFd, const std::vector<std::string> &parts)
{
    if (rootFd < 0)
        return -EBADF;
    if (ActiveResolver() == Resolver::Openat2) {
        const int fd = OpenWithOpenat2(rootFd, parts);
        if (fd != -EAGAIN)
            return fd;
    }
    return OpenByWalking(rootFd, parts);
}

int Locate(int rootFd, const std::vector<std::string> &parts, bool followLast, Location &out)
{
    std::vector<std::string> path = parts;
    for (int links = 0;; ++links) {
        if (links > kMaxLinks)
            return ELOOP;
        if (path.empty() || path.back() == "." || path.back() == "..") {
            const int fd = OpenDirectoryBeneath(rootFd, path);
            if (fd < 0)
                return -fd;
            out.dir.Reset(fd);
            out.name.clear();
            return 0;
        }
        std::string name = path.back();
        path.pop_back();
        const int fd = OpenDirectoryBeneath(rootFd, path);
        if (fd < 0)
            return -fd;
        out.dir.Reset(fd);
        out.name = name;
        if (!followLast)
            return 0;
        struct stat st;
        if (::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            return errno == ENOENT ? 0 : errno; // nothing there yet: a name to create
        if (!S_ISLNK(st.st_mode))
            return 0;
        std::string target;
        if (!ReadLinkAt(fd, name, target))
            return errno;
        if (target.empty() || target[0] == '/')
            return EXDEV;
        for (std::string &piece : SplitLink(target))
            path.push_back(std::move(piece));
    }
}

uint32_t LocateStatus(int error)
{
    switch (error) {
    case EXDEV:
    case ELOOP: return kErrorAccessDenied;
    case ENOENT:
    case ENOTDIR: return kErrorPathNotFound;
    default: return Win32FromErrno(error);
    }
}

int StatAt(const Location &at, struct stat &st)
{
    const int r = at.Self() ? ::fstatat(at.dir.get(), "", &st, AT_EMPTY_PATH)
                            : ::fstatat(at.dir.get(), at.name.c_str(), &st, AT_SYMLINK_NOFOLLOW);
    return r == 0 ? 0 : errno;
}

int OpenAt(const Location &at, int flags, mode_t mode)
{
    const int fd = ::openat(at.dir.get(), at.Self() ? "." : at.name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode);
    return fd >= 0 ? fd : -errno;
}

bool ReadLinkAt(int dir, const std::string &name, std::string &target)
{
    char buffer[4096];
    const ssize_t n = ::readlinkat(dir, name.c_str(), buffer, sizeof buffer);
    if (n < 0)
        return false;
    if (static_cast<size_t>(n) >= sizeof buffer) {
        errno = ENAMETOOLONG;
        return false;
    }
    target.assign(buffer, static_cast<size_t>(n));
    return true;
}

} // namespace refagent
