#include "directory_walk.h"

#include "unique_fd.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <memory>

namespace refagent {

namespace {
constexpr size_t kMaxDepth = 256;
}

int ListDirectory(int dirfd, std::vector<std::string> &names)
{
    names.clear();
    const int fd = ::openat(dirfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    std::unique_ptr<DIR, int (*)(DIR *)> dir(::fdopendir(fd), &::closedir);
    if (!dir) {
        const int error = errno;
        ::close(fd);
        return error;
    }
    while (const dirent *entry = ::readdir(dir.get())) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return 0;
}

bool WalkTree(int dirfd, const std::vector<std::string> &baseParts, const WalkVisitor &visit)
{
    if (baseParts.size() > kMaxDepth)
        return true;
    std::vector<std::string> names;
    if (ListDirectory(dirfd, names) != 0)
        return true; // an unreadable folder is skipped, as a backup would
    std::vector<std::string> parts = baseParts;
    for (const std::string &name : names) {
        struct stat st;
        if (::fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        parts.push_back(name);
        if (!visit(parts, dirfd, st))
            return false;
        if (S_ISDIR(st.st_mode)) {
            // O_NOFOLLOW: a folder swapped for a link since the look is not entered.
            UniqueFd child(::openat(dirfd, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (child.valid() && !WalkTree(child.get(), parts, visit))
                return false;
        }
        parts.pop_back();
    }
    return true;
}

} // namespace refagent
