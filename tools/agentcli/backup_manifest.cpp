#include "backup_manifest.h"

#include "local_files.h"

#include <cstdio>
#include <unordered_map>
#include <unordered_set>

namespace agentcli {

namespace {

// The relative path below `root` with '/' between names; empty for the
// root itself or a path outside it.
std::string RelativeTo(const std::string &path, const std::string &root)
{
    if (path.size() <= root.size() || path.compare(0, root.size(), root) != 0)
        return std::string();
    size_t at = root.size();
    while (at < path.size() && (path[at] == '/' || path[at] == '\\'))
        ++at;
    if (at == root.size() && !root.empty() && root.back() != '/' && root.back() != '\\')
        return std::string(); // "abc" is not below "ab"
    std::string relative = path.substr(at);
    for (char &c : relative)
        c = c == '\\' ? '/' : c;
    return relative;
}

const char *CauseToken(SkipCause cause)
{
    switch (cause) {
    case SkipCause::DirectoryLink: return "directory-link";
    case SkipCause::Loop: return "loop";
    case SkipCause::LinkLeadsOut: return "link-leads-out";
    case SkipCause::BrokenLink: return "broken-link";
    case SkipCause::UnholdableName: return "unholdable-name";
    case SkipCause::Excluded: return "excluded";
    case SkipCause::TooDeep: return "too-deep";
    case SkipCause::TooMany: return "too-many";
    }
    return "?";
}

std::string Hex(uint32_t value)
{
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%x", value);
    return buffer;
}

} // namespace

namespace {

void Add(Manifest &manifest, const std::string &local, const std::string &localRoot, ManifestKind kind,
         const EntryMetadata &meta, uint64_t size)
{
    ManifestEntry e;
    e.path = RelativeTo(local, localRoot);
    if (e.path.empty())
        return;
    e.kind = kind;
    e.attributes = meta.attributes;
    e.created = meta.created;
    e.lastWrite = meta.lastWrite;
    e.lastAccess = meta.lastAccess;
    e.size = size;
    manifest.entries.push_back(std::move(e));
}

} // namespace

void AddToManifest(Manifest &manifest, const FolderEntry &folder, const std::string &localRoot)
{
    Add(manifest, folder.local, localRoot, ManifestKind::Folder, folder.meta, 0);
}

void AddToManifest(Manifest &manifest, const FileEntry &file, const std::string &localRoot)
{
    Add(manifest, file.local, localRoot, file.link ? ManifestKind::Link : ManifestKind::File, file.meta, file.size);
}

void SettleManifest(Manifest &manifest, const BackupReport &report)
{
    // Entries are keyed by their remote path, which is how the report
    // names them.
    std::unordered_set<std::string> gone;
    auto remoteRelative = [&](const std::string &remote) {
        std::string relative = RelativeTo(remote, manifest.remoteRoot);
        return relative.empty() ? remote : relative;
    };
    for (const SkippedEntry &s : report.skipped) {
        const std::string relative = remoteRelative(s.remotePath);
        gone.insert(relative);
        manifest.skipped.push_back({relative, CauseToken(s.cause)});
    }
    for (const BackupFailure &f : report.failures) {
        const std::string relative = remoteRelative(f.remotePath);
        // A folder that could not be listed is still held, with what the
        // listing said of it.
        if (f.where != "list")
            gone.insert(relative);
        manifest.skipped.push_back({relative, "failed:" + std::to_string(f.error)});
    }
    if (gone.empty())
        return;
    std::vector<ManifestEntry> kept;
    kept.reserve(manifest.entries.size());
    for (ManifestEntry &e : manifest.entries)
        if (gone.count(e.path) == 0)
            kept.push_back(std::move(e));
    manifest.entries = std::move(kept);
}

std::vector<std::string> CompareWithManifest(const Manifest &stored, const Manifest &listed,
                                             const std::string &localRoot)
{
    std::unordered_map<std::string, const ManifestEntry *> byPath;
    byPath.reserve(stored.entries.size());
    for (const ManifestEntry &e : stored.entries)
        byPath.emplace(e.path, &e);
    // A link the backup skipped at its copy is listed like a file.
    std::unordered_set<std::string> skipped;
    for (const ManifestSkip &s : stored.skipped)
        skipped.insert(s.path);
    std::vector<std::string> findings;
    for (const ManifestEntry &now : listed.entries) {
        const auto it = byPath.find(now.path);
        if (it == byPath.end()) {
            if (skipped.count(now.path) == 0)
                findings.push_back(now.path + ": not in the manifest");
            continue;
        }
        const ManifestEntry &then = *it->second;
        if (then.kind != now.kind)
            findings.push_back(now.path + ": '" + std::string(1, static_cast<char>(then.kind)) +
                               "' in the manifest, '" + std::string(1, static_cast<char>(now.kind)) +
                               "' on the agent");
        if (then.attributes != now.attributes)
            findings.push_back(now.path + ": attributes " + Hex(then.attributes) + " in the manifest, " +
                               Hex(now.attributes) + " on the agent");
        if (then.created != now.created)
            findings.push_back(now.path + ": creation time differs from the manifest's");
        byPath.erase(it);
    }
    // What the agent no longer lists lives on in the backup alone.
    for (const ManifestEntry &e : stored.entries) {
        if (byPath.count(e.path) == 0)
            continue;
        LocalStamp stamp;
        const std::string local = localRoot + "/" + e.path;
        if (ReadLocalStamp(local, stamp) == 0 && !stamp.exists)
            findings.push_back(e.path + ": in the manifest, gone from the agent and from the backup");
    }
    return findings;
}

} // namespace agentcli
