#include "backup_walk.h"

#include "local_files.h"
#include "name_filter.h"
#include "name_set.h"
#include "remote_info.h"
#include "run_control.h"
#include "util/utf.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <filesystem>
#include <thread>

namespace agentcli {

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kInvalidName = 123;
constexpr uint32_t kCancelled = 1223;
constexpr uint32_t kAlreadyExists = 183;
// Names remembered per folder for the collision check: past this many (an
// agent listing without end) further names go unchecked.
constexpr size_t kNamesChecked = 1000000;

// How long a worker waits for a full batch before taking what there is.
constexpr auto kBatchWait = std::chrono::milliseconds(20);

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
    // A lone surrogate is the one thing UTF-8 cannot carry back.
    return IsSafeName(name) &&
           agent::util::Utf16ToUtf8(name.data(), name.size(), utf8, agent::util::LoneSurrogate::Fail) &&
           LocalNameAllowed(utf8);
}

WString LastName(const WString &path)
{
    const size_t slash = path.find_last_of(static_cast<WCHAR>('\\'));
    return slash == WString::npos ? path : path.substr(slash + 1);
}

// The listing's own name where it gave one: a name may hold a backslash.
WString NameOf(const AGENT_TREE_ENTRY &entry)
{
    return entry.findData != nullptr && entry.depth > 0 ? WString(entry.findData->cFileName) : LastName(entry.path);
}

EntryMetadata MetadataOf(const WIN32_FIND_DATAW *data)
{
    if (data == nullptr)
        return {};
    return {data->dwFileAttributes, FileTimeTicks(data->ftCreationTime), FileTimeTicks(data->ftLastWriteTime),
            FileTimeTicks(data->ftLastAccessTime)};
}

bool SkipOf(DWORD cause, SkipCause &out)
{
    switch (cause) {
    case AGENT_SKIP_DIRECTORY_LINK: out = SkipCause::DirectoryLink; return true;
    case AGENT_SKIP_LOOP: out = SkipCause::Loop; return true;
    case AGENT_SKIP_LINK_LEADS_OUT: out = SkipCause::LinkLeadsOut; return true;
    case AGENT_SKIP_BROKEN_LINK: out = SkipCause::BrokenLink; return true;
    case AGENT_SKIP_TOO_DEEP: out = SkipCause::TooDeep; return true;
    case AGENT_SKIP_TOO_MANY: out = SkipCause::TooMany; return true;
    case AGENT_SKIP_BAD_NAME: out = SkipCause::UnholdableName; return true;
    default: return false;
    }
}

class Streamer {
public:
    Streamer(AGENT_LOGON logon, const WalkOptions &options, Tally &tally, TreeSink &sink)
        : logon_(logon), options_(options), tally_(tally), sink_(sink)
    {
        const WString &root = options.remoteRoot;
        skip_ = root.size() + (!root.empty() && root.back() == static_cast<WCHAR>('\\') ? 0 : 1);
    }

    uint32_t Run()
    {
        std::vector<std::thread> workers;
        for (unsigned i = 0; i < std::max(1u, options_.workers); ++i)
            workers.emplace_back(&Streamer::Worker, this);
        AGENT_TREE_COUNTS counts;
        const BOOL listed = AgentListTreeW(logon_, options_.remoteRoot.c_str(),
                                           options_.followLinks ? AGENT_TREE_FOLLOW_LINKS : 0, options_.maxDepth, 0, 0,
                                           &Streamer::Entry, this, &counts);
        const uint32_t error = listed ? 0 : GetLastError();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
            ready_.notify_all();
        }
        for (std::thread &t : workers)
            t.join();
        if (error == 0 || error == kCancelled)
            return 0;
        if (!delivered_)
            return error; // the root itself
        tally_.Fail(options_.remoteRoot, error, "list");
        return 0;
    }

private:
    static DWORD AGENTAPI Entry(const AGENT_TREE_ENTRY *entry, void *context)
    {
        auto *self = static_cast<Streamer *>(context);
        self->delivered_ = true;
        try {
            return self->OnEntry(*entry);
        } catch (...) {
            return AGENT_TREE_STOP; // out of memory: what was found is copied
        }
    }

    // The local path of a remote one below the root; every folder above
    // it passed Holdable, so the text converts as a whole.
    std::string LocalOf(const WString &remote) const
    {
        if (remote.size() <= skip_)
            return options_.localRoot;
        std::string rel = Narrow(remote.substr(skip_));
        for (char &c : rel)
            if (c == '\\')
                c = static_cast<char>(fs::path::preferred_separator);
        return JoinLocal(options_.localRoot, rel);
    }

    bool Stopped() const { return options_.control != nullptr && options_.control->Stopped(); }

    // Relative to the root, with '/' between names, for the filter.
    std::string Relative(const WString &remote) const
    {
        std::string rel = remote.size() > skip_ ? Narrow(remote.substr(skip_)) : std::string();
        for (char &c : rel)
            if (c == '\\')
                c = '/';
        return rel;
    }

    bool Excluded(const WString &path, bool folder) const
    {
        return options_.filter != nullptr && !options_.filter->Empty() && options_.filter->Excluded(Relative(path), folder);
    }

    // Two entries for one local file (a name listed twice, or names that
    // differ only in case on a disk that ignores case) would overwrite
    // each other: the later one fails instead.
    bool NameTaken(const WString &path, const WString &name)
    {
        NameSet &names = FolderOf(path).names;
        if (names.size() >= kNamesChecked)
            return false;
        if (LocalNamesIgnoreCase() ? names.Insert(UpperCased(name)) : names.Insert(name))
            return false;
        tally_.Fail(path, kAlreadyExists, "local name taken by another entry");
        return true;
    }

    // A folder still being listed: the names seen in it, its local path,
    // which its files' local paths extend, and whether the sink made it.
    struct ListedFolder {
        NameSet names;
        std::string local;
        bool made = false;
    };

    // Hands the folder to the sink and keeps its record at hand for the
    // files that follow.
    void FolderListed(const FolderEntry &folder)
    {
        last_ = names_.try_emplace(FolderKey(folder.remote)).first;
        last_->second.local = folder.local;
        last_->second.made = FolderFound(folder);
    }

    // The record of the folder holding `path`. The last one found is kept
    // at hand: a folder's entries mostly come one after another.
    ListedFolder &FolderOf(const WString &path)
    {
        const size_t slash = path.find_last_of(static_cast<WCHAR>('\\'));
        const size_t length = slash == WString::npos ? 0 : slash;
        if (last_ != names_.end() && last_->first.size() == length && path.compare(0, length, last_->first) == 0)
            return last_->second;
        last_ = names_.try_emplace(path.substr(0, length)).first;
        return last_->second;
    }

    // A folder's path as its files' paths hold it: a root given as "C:\\"
    // has files "C:\\name".
    static WString FolderKey(const WString &path)
    {
        return !path.empty() && path.back() == static_cast<WCHAR>('\\') ? path.substr(0, path.size() - 1) : path;
    }

    void Forget(const WString &folder)
    {
        const auto it = names_.find(FolderKey(folder));
        if (it == names_.end())
            return;
        sink_.FolderDone(it->second.local);
        if (it == last_)
            last_ = names_.end();
        names_.erase(it);
    }

    DWORD OnEntry(const AGENT_TREE_ENTRY &entry)
    {
        if (Stopped())
            return AGENT_TREE_STOP;
        WString path(entry.path);
        std::string utf8;
        switch (entry.kind) {
        case AGENT_TREE_FOLDER: {
            if (entry.depth == 0) {
                FolderListed({path, options_.localRoot, {}});
                return AGENT_TREE_CONTINUE;
            }
            const WString name = LastName(path);
            if (!Holdable(name, utf8)) {
                tally_.Skip(path, SkipCause::UnholdableName);
                return AGENT_TREE_SKIP;
            }
            if (Excluded(path, true)) {
                tally_.Skip(path, SkipCause::Excluded);
                return AGENT_TREE_SKIP;
            }
            FolderListed({path, LocalOf(path), MetadataOf(entry.findData)});
            return AGENT_TREE_CONTINUE;
        }
        case AGENT_TREE_FOLDER_END:
            Forget(path);
            return AGENT_TREE_CONTINUE;
        case AGENT_TREE_FILE: {
            const WString name = NameOf(entry);
            if (!Holdable(name, utf8)) {
                if (entry.depth == 0)
                    rootNameFailed_ = true; // nothing to copy at all
                else
                    tally_.Skip(path, SkipCause::UnholdableName);
                return AGENT_TREE_CONTINUE;
            }
            // The entry's path moves into it and is read there.
            FileEntry file;
            file.remote = std::move(path);
            const WString &remote = file.remote;
            if (entry.depth == 0) {
                // A single file lands in the local folder under its own name.
                file.inNewFolder = FolderFound({WString(), options_.localRoot, {}});
                file.local = JoinLocal(options_.localRoot, utf8);
            } else {
                if (Excluded(remote, false)) {
                    tally_.Skip(remote, SkipCause::Excluded);
                    return AGENT_TREE_CONTINUE;
                }
                if (NameTaken(remote, name))
                    return AGENT_TREE_CONTINUE;
                // The folder's local path and the name already converted.
                const ListedFolder &folder = FolderOf(remote);
                file.local = folder.local.empty() ? LocalOf(remote) : JoinLocal(folder.local, utf8);
                file.inNewFolder = folder.made;
            }
            const WIN32_FIND_DATAW &data = *entry.findData;
            file.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
            file.lastWrite = FileTimeTicks(data.ftLastWriteTime);
            file.link = (data.dwFileAttributes & 0x400) != 0;
            file.meta = MetadataOf(&data);
            sink_.Found(file);
            if (options_.onFile)
                options_.onFile(file);
            if (options_.whole != nullptr)
                options_.whole->files.push_back(file);
            if (!sink_.Settled(file))
                Push(std::move(file));
            return AGENT_TREE_CONTINUE;
        }
        case AGENT_TREE_SKIPPED: {
            SkipCause cause;
            const bool folder = entry.findData != nullptr && (entry.findData->dwFileAttributes & 0x10) != 0;
            if (!Holdable(NameOf(entry), utf8))
                cause = SkipCause::UnholdableName;
            else if (Excluded(path, folder))
                cause = SkipCause::Excluded;
            else if (!SkipOf(entry.cause, cause))
                return AGENT_TREE_CONTINUE;
            tally_.Skip(path, cause);
            return AGENT_TREE_CONTINUE;
        }
        case AGENT_TREE_FAILED:
            tally_.Fail(path, entry.cause, "list");
            return AGENT_TREE_CONTINUE;
        default:
            return AGENT_TREE_CONTINUE;
        }
    }

    bool FolderFound(const FolderEntry &folder)
    {
        if (options_.whole != nullptr)
            options_.whole->folders.push_back(folder);
        if (options_.onFolder)
            options_.onFolder(folder);
        return sink_.Folder(folder);
    }

    // Waits while the queue is full: the listing runs no further ahead of
    // the copies than that. One worker is woken per batch that fills:
    // waking them all for every entry cost more than checking an unchanged
    // file.
    void Push(FileEntry &&file)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        space_.wait(lock, [&] { return queue_.size() < options_.queued; });
        queue_.push_back(std::move(file));
        const bool wake = queue_.size() % std::max<size_t>(1, options_.batch) == 0;
        // Woken after the lock is let go, the worker does not block on it.
        lock.unlock();
        if (wake)
            ready_.notify_one();
    }

    void Worker()
    {
        std::vector<FileEntry> batch;
        for (;;) {
            batch.clear();
            {
                std::unique_lock<std::mutex> lock(mutex_);
                while (!done_ && queue_.size() < options_.batch)
                    if (ready_.wait_for(lock, kBatchWait) == std::cv_status::timeout && !queue_.empty())
                        break;
                if (queue_.empty())
                    return; // done
                while (!queue_.empty() && batch.size() < options_.batch) {
                    batch.push_back(std::move(queue_.front()));
                    queue_.pop_front();
                }
                // Another whole batch waiting is another worker's.
                const bool another = queue_.size() >= options_.batch;
                lock.unlock();
                if (another)
                    ready_.notify_one();
                space_.notify_one();
            }
            sink_.Files(batch);
        }
    }

public:
    bool rootNameFailed_ = false;

private:
    AGENT_LOGON logon_;
    const WalkOptions &options_;
    Tally &tally_;
    TreeSink &sink_;
    size_t skip_;
    bool delivered_ = false;
    std::mutex mutex_;
    std::condition_variable ready_; // workers: a batch, or the end
    std::condition_variable space_; // the listing: room in the queue
    std::deque<FileEntry> queue_;
    bool done_ = false;
    std::map<WString, ListedFolder> names_; // folders still being listed
    std::map<WString, ListedFolder>::iterator last_ = names_.end();
};

} // namespace

void Tally::Skip(const WString &remote, SkipCause cause, bool ofListing)
{
    std::lock_guard<std::mutex> lock(mutex_);
    ++tally_.skippedTotal;
    ++tally_.skippedBy[static_cast<size_t>(cause)];
    if (tally_.skipped.size() < WalkTally::kKeptEntries)
        tally_.skipped.push_back({Narrow(remote), cause});
    if (whole_ != nullptr && ofListing)
        whole_->skipped.push_back({Narrow(remote), cause});
}

void Tally::Keep(const WString &remote, uint32_t error, const char *where, bool ofListing)
{
    std::lock_guard<std::mutex> lock(mutex_);
    ++tally_.failedTotal;
    ++tally_.failedBy[error];
    if (tally_.failures.size() < WalkTally::kKeptEntries)
        tally_.failures.push_back({Narrow(remote), error, where});
    if (whole_ != nullptr && ofListing)
        whole_->failures.push_back({Narrow(remote), error, where});
}

void Tally::Fail(const WString &remote, uint32_t error, const char *where, const std::string &localPath,
                 bool ofListing)
{
    if (control_ != nullptr)
        control_->Failed({Narrow(remote), error, where, Side::Remote}, localPath);
    Keep(remote, error, where, ofListing);
}

void Tally::FailLocal(const WString &remote, const std::string &localPath, uint32_t error, const char *where)
{
    if (control_ != nullptr)
        control_->Failed({localPath, error, where, Side::Local});
    Keep(remote, error, where, true);
}

const char *SkipCauseText(SkipCause cause)
{
    switch (cause) {
    case SkipCause::DirectoryLink: return "directory link not followed";
    case SkipCause::Loop: return "loop (folder already copied)";
    case SkipCause::LinkLeadsOut: return "link leading out of the served folder";
    case SkipCause::BrokenLink: return "link to nothing";
    case SkipCause::UnholdableName: return "name the local file system cannot hold";
    case SkipCause::Excluded: return "excluded";
    case SkipCause::TooDeep: return "folder below the depth limit";
    case SkipCause::TooMany: return "folder beyond the listing's queue";
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
    const auto dot = static_cast<WCHAR>('.');
    if (name.empty() || (name[0] == dot && (name.size() == 1 || (name.size() == 2 && name[1] == dot))))
        return false;
    for (WCHAR c : name)
        if (c == static_cast<WCHAR>('/') || c == static_cast<WCHAR>('\\') || c == 0 || c == static_cast<WCHAR>(':'))
            return false;
    return true;
}

uint32_t StreamTree(AGENT_LOGON logon, const WalkOptions &options, Tally &tally, TreeSink &sink)
{
    Streamer streamer(logon, options, tally, sink);
    uint32_t error = streamer.Run();
    if (error == 0 && streamer.rootNameFailed_)
        error = kInvalidName;
    if (options.whole != nullptr)
        options.whole->fatal = error;
    return error;
}

} // namespace agentcli
