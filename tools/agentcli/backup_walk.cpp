#include "backup_walk.h"

#include "local_files.h"
#include "name_filter.h"
#include "remote_info.h"
#include "run_control.h"

#include <algorithm>
#include <cstring>
#include <cwctype>
#include <deque>
#include <filesystem>
#include <set>

namespace agentcli {

namespace fs = std::filesystem;

namespace {

constexpr DWORD kAttributeDirectory = 0x10;
constexpr DWORD kAttributeReparsePoint = 0x400;
constexpr uint32_t kNoMoreFiles = 18;
constexpr uint32_t kAlreadyExists = 183;

// The local file system's idea of when two names are one.
WString LocalNameKey(const WString &name)
{
    if (!LocalNamesIgnoreCase())
        return name;
    WString key = name;
    for (WCHAR &c : key)
        c = static_cast<WCHAR>(std::towupper(static_cast<wint_t>(c)));
    return key;
}

WString JoinRemote(const WString &folder, const WString &name)
{
    WString out = folder;
    if (out.empty() || out.back() != static_cast<WCHAR>('\\'))
        out += static_cast<WCHAR>('\\');
    return out + name;
}

// Joined as text: two path objects per listed entry cost about as much as
// decoding the entry.
std::string JoinLocal(const std::string &folder, const std::string &utf8Name)
{
    if (folder.empty())
        return utf8Name;
    const char last = folder.back();
    if (last == '/' || last == static_cast<char>(fs::path::preferred_separator))
        return folder + utf8Name;
    std::string joined;
    joined.reserve(folder.size() + 1 + utf8Name.size());
    joined.append(folder).push_back(static_cast<char>(fs::path::preferred_separator));
    joined.append(utf8Name);
    return joined;
}

// A name survives the trip to a local name when it is safe, converts to
// UTF-8 and back unchanged (no lone surrogates), and the local file
// system's rules allow it. utf8 receives the local name.
bool Holdable(const WString &name, std::string &utf8)
{
    if (!IsSafeName(name))
        return false;
    utf8 = Narrow(name);
    WString back;
    return Widen(utf8, back) && back == name && LocalNameAllowed(utf8);
}

EntryMetadata MetadataOf(const WIN32_FIND_DATAW &data)
{
    return {data.dwFileAttributes, FileTimeTicks(data.ftCreationTime), FileTimeTicks(data.ftLastWriteTime),
            FileTimeTicks(data.ftLastAccessTime)};
}

class Walker {
public:
    Walker(AGENT_LOGON logon, bool followLinks, TreeListing &out, RunControl *control, const NameFilter *filter)
        : logon_(logon), follow_(followLinks), out_(out), control_(control), filter_(filter)
    {
    }

    void Run(const WString &root, const std::string &localRoot)
    {
        rootLength_ = root.size() + (root.empty() || root.back() != static_cast<WCHAR>('\\') ? 1 : 0);
        if (follow_ && !Visit(root, Reached::Root))
            return;
        // Real folders first, links after, so a folder that is reached both
        // ways is copied under its own name and the link counts as the loop.
        pending_.push_back({root, localRoot, {}});
        Drain();
        while (!links_.empty() && !Stopped()) {
            FolderEntry link = std::move(links_.front());
            links_.pop_front();
            if (Visit(link.remote, Reached::Link)) {
                pending_.push_back(std::move(link));
                Drain();
            }
        }
    }

private:
    void Skip(const WString &remote, SkipCause cause) { out_.skipped.push_back({Narrow(remote), cause}); }
    void Fail(const WString &remote, uint32_t error, const char *where)
    {
        out_.failures.push_back({Narrow(remote), error, where});
        if (control_ != nullptr)
            control_->Failed({out_.failures.back().remotePath, error, where, Side::Remote});
    }
    bool Stopped() const { return control_ != nullptr && control_->Stopped(); }

    enum class Reached { Root, Folder, Link };

    // Records a folder's identity; false when it was seen before or cannot
    // be opened (recorded as skipped or failed).
    bool Visit(const WString &remote, Reached how)
    {
        BY_HANDLE_FILE_INFORMATION info;
        const uint32_t error = ReadRemoteInfo(logon_, remote, info);
        SkipCause cause;
        if (error != 0) {
            if (how == Reached::Root)
                out_.fatal = error;
            else if (how == Reached::Link && LinkSkipCause(error, cause))
                Skip(remote, cause);
            else
                Fail(remote, error, "open folder");
            return false;
        }
        if (!visited_.insert(IdentityOf(info)).second) {
            Skip(remote, SkipCause::Loop);
            return false;
        }
        return true;
    }

    void Drain()
    {
        while (!pending_.empty() && !Stopped()) {
            FolderEntry folder = std::move(pending_.back());
            pending_.pop_back();
            List(folder);
            out_.folders.push_back(std::move(folder));
        }
    }

    void List(const FolderEntry &folder)
    {
        WIN32_FIND_DATAW data;
        std::memset(&data, 0, sizeof data);
        const WString pattern = JoinRemote(folder.remote, WidenOrEmpty("*"));
        HANDLE search = AgentFindFirstFileW(logon_, pattern.c_str(), &data);
        if (search == nullptr) {
            uint32_t error = GetLastError();
            // A search carries no cause: whether an empty answer is an empty
            // folder or one the agent cannot read, opening it tells.
            BY_HANDLE_FILE_INFORMATION info;
            if (error == kNoMoreFiles)
                error = ReadRemoteInfo(logon_, folder.remote, info);
            if (error != 0)
                Fail(folder.remote, error, "list");
            return;
        }
        std::vector<FolderEntry> subfolders;
        std::set<WString> localNames;
        static const WString dot = WidenOrEmpty("."), dotDot = WidenOrEmpty("..");
        for (;;) {
            const WString name(data.cFileName);
            if (name != dot && name != dotDot)
                Classify(folder, name, data, subfolders, localNames);
            std::memset(&data, 0, sizeof data);
            if (!AgentFindNextFileW(search, &data)) {
                const uint32_t error = GetLastError();
                if (error != kNoMoreFiles)
                    Fail(folder.remote, error, "list");
                break;
            }
        }
        AgentCloseHandle(logon_, search);
        // Reversed onto the stack so folders are listed in the agent's order.
        for (auto it = subfolders.rbegin(); it != subfolders.rend(); ++it)
            pending_.push_back(std::move(*it));
    }

    void Classify(const FolderEntry &folder, const WString &name, const WIN32_FIND_DATAW &data,
                  std::vector<FolderEntry> &subfolders, std::set<WString> &localNames)
    {
        const WString child = JoinRemote(folder.remote, name);
        std::string utf8;
        if (!Holdable(name, utf8)) {
            Skip(child, SkipCause::UnholdableName);
            return;
        }
        if (filter_ != nullptr && !filter_->Empty()) {
            std::string relative = Narrow(child.substr(std::min(rootLength_, child.size())));
            for (char &c : relative)
                c = c == '\\' ? '/' : c;
            if (filter_->Excluded(relative, (data.dwFileAttributes & kAttributeDirectory) != 0)) {
                Skip(child, SkipCause::Excluded);
                return;
            }
        }
        // Two entries for one local file (a name listed twice, or names that
        // differ only in case on a disk that ignores case) would overwrite
        // each other: the later one fails instead.
        if (!localNames.insert(LocalNameKey(name)).second) {
            Fail(child, kAlreadyExists, "local name taken by another entry");
            return;
        }
        FolderEntry entry{child, JoinLocal(folder.local, utf8), MetadataOf(data)};
        const bool directory = (data.dwFileAttributes & kAttributeDirectory) != 0;
        const bool link = (data.dwFileAttributes & kAttributeReparsePoint) != 0;
        if (directory && link) {
            if (follow_)
                links_.push_back(std::move(entry));
            else
                Skip(child, SkipCause::DirectoryLink);
        } else if (directory) {
            if (!follow_ || Visit(child, Reached::Folder))
                subfolders.push_back(std::move(entry));
        } else {
            FileEntry file;
            file.remote = std::move(entry.remote);
            file.local = std::move(entry.local);
            file.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
            file.lastWrite = FileTimeTicks(data.ftLastWriteTime);
            file.link = link;
            file.meta = entry.meta;
            out_.files.push_back(std::move(file));
        }
    }

    AGENT_LOGON logon_;
    bool follow_;
    TreeListing &out_;
    RunControl *control_;
    const NameFilter *filter_;
    size_t rootLength_ = 0;
    std::vector<FolderEntry> pending_;
    std::deque<FolderEntry> links_;
    std::set<RemoteIdentity> visited_;
};

} // namespace

const char *SkipCauseText(SkipCause cause)
{
    switch (cause) {
    case SkipCause::DirectoryLink: return "directory link not followed";
    case SkipCause::Loop: return "loop (folder already copied)";
    case SkipCause::LinkLeadsOut: return "link leading out of the served folder";
    case SkipCause::BrokenLink: return "link to nothing";
    case SkipCause::UnholdableName: return "name the local file system cannot hold";
    case SkipCause::Excluded: return "excluded";
    }
    return "?";
}

bool LinkSkipCause(uint32_t error, SkipCause &cause)
{
    // The agent refuses a link whose target it does not serve with 5, and
    // one whose target is missing as a missing file or path.
    if (error == kLocalAccessDenied)
        cause = SkipCause::LinkLeadsOut;
    else if (error == kLocalFileNotFound || error == kLocalPathNotFound)
        cause = SkipCause::BrokenLink;
    else
        return false;
    return true;
}

bool IsSafeName(const WString &name)
{
    if (name.empty() || name == WidenOrEmpty(".") || name == WidenOrEmpty(".."))
        return false;
    for (WCHAR c : name)
        if (c == static_cast<WCHAR>('/') || c == static_cast<WCHAR>('\\') || c == 0 || c == static_cast<WCHAR>(':'))
            return false;
    return true;
}

TreeListing ListTree(AGENT_LOGON logon, const WString &remoteRoot, const std::string &localRoot, bool followLinks,
                     RunControl *control, const NameFilter *filter)
{
    TreeListing out;
    WIN32_FILE_ATTRIBUTE_DATA root;
    std::memset(&root, 0, sizeof root);
    if (!AgentGetFileAttributesExW(logon, remoteRoot.c_str(), &root)) {
        out.fatal = GetLastError();
        return out;
    }
    if (root.dwFileAttributes & kAttributeDirectory) {
        Walker(logon, followLinks, out, control, filter).Run(remoteRoot, localRoot);
        return out;
    }
    // A single file lands in the local folder under its own name.
    const size_t slash = remoteRoot.find_last_of(static_cast<WCHAR>('\\'));
    const WString name = slash == WString::npos ? remoteRoot : remoteRoot.substr(slash + 1);
    std::string utf8;
    if (!Holdable(name, utf8)) {
        out.fatal = 123; // ERROR_INVALID_NAME
        return out;
    }
    out.folders.push_back({WString(), localRoot, {}});
    FileEntry file;
    file.remote = remoteRoot;
    file.local = JoinLocal(localRoot, utf8);
    file.size = (static_cast<uint64_t>(root.nFileSizeHigh) << 32) | root.nFileSizeLow;
    file.lastWrite = FileTimeTicks(root.ftLastWriteTime);
    file.link = (root.dwFileAttributes & kAttributeReparsePoint) != 0;
    file.meta = {root.dwFileAttributes, FileTimeTicks(root.ftCreationTime), file.lastWrite,
                 FileTimeTicks(root.ftLastAccessTime)};
    out.files.push_back(std::move(file));
    return out;
}

} // namespace agentcli
