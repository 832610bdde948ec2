#include "directory_walk.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <memory>
#include <sys/stat.h>

namespace refagent {

namespace {
constexpr size_t kMaxDepth = 256;
}

int ListDirectory(const std::string &local, std::vector<std::string> &names)
{
    names.clear();
    std::unique_ptr<DIR, int (*)(DIR *)> dir(::opendir(local.c_str()), &::closedir);
    if (!dir)
        return errno;
    while (const dirent *entry = ::readdir(dir.get())) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return 0;
}

bool WalkTree(const std::string &local, const std::vector<std::string> &baseParts, const WalkVisitor &visit)
{
    if (baseParts.size() > kMaxDepth)
        return true;
    std::vector<std::string> names;
    if (ListDirectory(local, names) != 0)
        return true; // an unreadable folder is skipped, as a backup would
    std::vector<std::string> parts = baseParts;
    for (const std::string &name : names) {
        const std::string path = local == "/" ? "/" + name : local + "/" + name;
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0)
            continue;
        const bool directory = S_ISDIR(st.st_mode);
        parts.push_back(name);
        if (!visit(parts, path, directory))
            return false;
        if (directory && !WalkTree(path, parts, visit))
            return false;
        parts.pop_back();
    }
    return true;
}

} // namespace refagent
