#include "backup_walk.h"

#include "local_files.h"
#include "remote_info.h"

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
    if (!IsSafeName(name))
        return false;
    utf8 = Narrow(name);
    WString back;
    return Widen(utf8, back) && back == name && LocalNameAllowed(utf8);
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
            changed_.notify_all();
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

    DWORD OnEntry(const AGENT_TREE_ENTRY &entry)
    {
        const WString path(entry.path);
        std::string utf8;
        switch (entry.kind) {
        case AGENT_TREE_FOLDER:
            if (entry.depth == 0) {
                sink_.Folder({path, options_.localRoot});
                return AGENT_TREE_CONTINUE;
            }
            if (!Holdable(LastName(path), utf8)) {
                tally_.Skip(path, SkipCause::UnholdableName);
                return AGENT_TREE_SKIP;
            }
            sink_.Folder({path, LocalOf(path)});
            return AGENT_TREE_CONTINUE;
        case AGENT_TREE_FILE: {
            if (!Holdable(NameOf(entry), utf8)) {
                if (entry.depth == 0)
                    rootNameFailed_ = true; // nothing to copy at all
                else
                    tally_.Skip(path, SkipCause::UnholdableName);
                return AGENT_TREE_CONTINUE;
            }
            FileEntry file;
            file.remote = path;
            if (entry.depth == 0) {
                // A single file lands in the local folder under its own name.
                sink_.Folder({WString(), options_.localRoot});
                file.local = JoinLocal(options_.localRoot, utf8);
            } else {
                file.local = LocalOf(path);
            }
            const WIN32_FIND_DATAW &data = *entry.findData;
            file.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
            file.lastWrite = FileTimeTicks(data.ftLastWriteTime);
            file.link = (data.dwFileAttributes & 0x400) != 0;
            sink_.Found(file);
            Push(std::move(file));
            return AGENT_TREE_CONTINUE;
        }
        case AGENT_TREE_SKIPPED: {
            SkipCause cause;
            if (!Holdable(NameOf(entry), utf8))
                cause = SkipCause::UnholdableName;
            else if (!SkipOf(entry.cause, cause))
                return AGENT_TREE_CONTINUE;
            tally_.Skip(path, cause);
            return AGENT_TREE_CONTINUE;
        }
        default:
            tally_.Fail(path, entry.cause, "list");
            return AGENT_TREE_CONTINUE;
        }
    }

    // Waits while the queue is full: the listing runs no further ahead of
    // the copies than that.
    void Push(FileEntry &&file)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return queue_.size() < options_.queued; });
        queue_.push_back(std::move(file));
        if (queue_.size() >= options_.batch)
            changed_.notify_all();
    }

    void Worker()
    {
        std::vector<FileEntry> batch;
        for (;;) {
            batch.clear();
            {
                std::unique_lock<std::mutex> lock(mutex_);
                while (!done_ && queue_.size() < options_.batch)
                    if (changed_.wait_for(lock, kBatchWait) == std::cv_status::timeout && !queue_.empty())
                        break;
                if (queue_.empty())
                    return; // done
                while (!queue_.empty() && batch.size() < options_.batch) {
                    batch.push_back(std::move(queue_.front()));
                    queue_.pop_front();
                }
                changed_.notify_all();
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
    std::condition_variable changed_;
    std::deque<FileEntry> queue_;
    bool done_ = false;
};

} // namespace

void Tally::Skip(const WString &remote, SkipCause cause)
{
    std::lock_guard<std::mutex> lock(mutex_);
    ++tally_.skippedTotal;
    ++tally_.skippedBy[static_cast<size_t>(cause)];
    if (tally_.skipped.size() < WalkTally::kKeptEntries)
        tally_.skipped.push_back({Narrow(remote), cause});
}

void Tally::Fail(const WString &remote, uint32_t error, const char *where)
{
    std::lock_guard<std::mutex> lock(mutex_);
    ++tally_.failedTotal;
    ++tally_.failedBy[error];
    if (tally_.failures.size() < WalkTally::kKeptEntries)
        tally_.failures.push_back({Narrow(remote), error, where});
}

const char *SkipCauseText(SkipCause cause)
{
    switch (cause) {
    case SkipCause::DirectoryLink: return "directory link not followed";
    case SkipCause::Loop: return "loop (folder already copied)";
    case SkipCause::LinkLeadsOut: return "link leading out of the served folder";
    case SkipCause::BrokenLink: return "link to nothing";
    case SkipCause::UnholdableName: return "name the local file system cannot hold";
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
    if (name.empty() || name == WidenOrEmpty(".") || name == WidenOrEmpty(".."))
        return false;
    for (WCHAR c : name)
        if (c == static_cast<WCHAR>('/') || c == static_cast<WCHAR>('\\') || c == 0 || c == static_cast<WCHAR>(':'))
            return false;
    return true;
}

uint32_t StreamTree(AGENT_LOGON logon, const WalkOptions &options, Tally &tally, TreeSink &sink)
{
    Streamer streamer(logon, options, tally, sink);
    const uint32_t error = streamer.Run();
    if (error == 0 && streamer.rootNameFailed_)
        return kInvalidName;
    return error;
}

} // namespace agentcli
