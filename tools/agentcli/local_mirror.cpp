#include "local_mirror.h"

#include "local_files.h"
#include "remote_copy.h"

#include <algorithm>
#include <filesystem>

namespace agentcli {

namespace fs = std::filesystem;

namespace {

std::string RelativeLocal(const std::string &local, const std::string &root)
{
    if (local.size() <= root.size() || local.compare(0, root.size(), root) != 0)
        return std::string();
    std::string relative = local.substr(root.size());
    while (!relative.empty() && (relative[0] == '/' || relative[0] == '\\'))
        relative.erase(0, 1);
    for (char &c : relative)
        c = c == '\\' ? '/' : c;
    return relative;
}

std::string RelativeRemote(const std::string &remote, const std::string &root)
{
    return RelativeLocal(remote, root);
}

} // namespace

std::set<std::string> ListedPaths(const TreeListing &listing, const WString &remoteRoot, const std::string &localRoot)
{
    std::set<std::string> listed;
    for (const FolderEntry &f : listing.folders)
        listed.insert(RelativeLocal(f.local, localRoot));
    for (const FileEntry &f : listing.files)
        listed.insert(RelativeLocal(f.local, localRoot));
    const std::string root = Narrow(remoteRoot);
    for (const SkippedEntry &s : listing.skipped)
        listed.insert(RelativeRemote(s.remotePath, root));
    for (const BackupFailure &f : listing.failures)
        listed.insert(RelativeRemote(f.remotePath, root));
    listed.erase(std::string());
    return listed;
}

namespace {

// Where names that differ only in case are one file, they are compared so.
std::string NameKey(const std::string &relative)
{
    return LocalNamesIgnoreCase() ? UpperCased(relative) : relative;
}

} // namespace

std::vector<std::string> LocalExtras(const std::string &localRoot, const std::set<std::string> &given)
{
    std::set<std::string> listed;
    for (const std::string &path : given)
        listed.insert(NameKey(path));
    std::vector<std::string> extras;
    std::error_code ec;
    const fs::path root = fs::u8path(localRoot);
    // Links are not followed: a link inside is one entry like any other.
    fs::recursive_directory_iterator it(root, fs::directory_options::none, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        // Lexically: fs::relative would resolve a link to where it leads.
        const std::string relative = it->path().lexically_relative(root).generic_u8string();
        if (relative.empty() || relative.compare(0, 2, "..") == 0)
            continue;
        const std::string key = NameKey(relative);
        if (listed.count(key) != 0)
            continue;
        // A partial file of a copy (kept for a restart) is not an extra: no
        // remote name has its form.
        if (IsPartialName(it->path().filename().u8string()))
            continue;
        extras.push_back(relative);
        if (it->is_directory(ec) && !it->is_symlink(ec))
            it.disable_recursion_pending();
    }
    return extras;
}

uint32_t RemoveLocalEntry(const std::string &localRoot, const std::string &relative)
{
    // Never anything but an entry strictly below the folder.
    if (relative.empty() || relative[0] == '/')
        return 87;
    for (size_t at = 0; at <= relative.size();) {
        const size_t slash = std::min(relative.find('/', at), relative.size());
        const std::string part = relative.substr(at, slash - at);
        if (part.empty() || part == "." || part == "..")
            return 87;
        at = slash + 1;
    }
    const fs::path path = fs::u8path(localRoot) / fs::u8path(relative);
    std::error_code ec;
    fs::remove_all(path, ec);
    return ec ? Win32FromError(ec, path.u8string()) : 0;
}

} // namespace agentcli
