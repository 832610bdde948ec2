#include "copy/tree_walk.h"

#include "api/find_files.h"
#include "protocol/wide_string.h"
#include "session/last_agent_error.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <memory>
#include <new>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace agent {
namespace tree {

namespace {

using Text = std::basic_string<WCHAR>;
// A folder's path, shared by the entries listed in it: an entry carries
// its name in its find data, and its path is put together only when it is
// delivered, in one buffer.
using SharedPath = std::shared_ptr<const Text>;

constexpr DWORD kDirectory = 0x10;
constexpr DWORD kReparsePoint = 0x400;
constexpr DWORD kBackupSemantics = 0x02000000u;
constexpr DWORD kShareReadWrite = 0x3;
const WCHAR kEverything[] = {'*', 0};

void Join(const Text &folder, const WCHAR *name, Text &out)
{
    out = folder;
    if (out.empty() || out.back() != static_cast<WCHAR>('\\'))
        out += static_cast<WCHAR>('\\');
    out += name;
}

bool IsDotName(const WCHAR *name)
{
    return name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0));
}

// The agent refuses a link whose target it does not serve with 5, and one
// whose target is missing as a missing file or path.
DWORD LinkSkipCause(DWORD error)
{
    if (error == ERROR_ACCESS_DENIED)
        return AGENT_SKIP_LINK_LEADS_OUT;
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
        return AGENT_SKIP_BROKEN_LINK;
    return 0;
}

// What the parent's listing said of a folder, handed over with the folder
// itself; kept instead of the whole find data, which is mostly its name.
struct FolderStamp {
    DWORD attributes = 0;
    FILETIME created{}, lastAccess{}, lastWrite{};
};

struct Folder {
    SharedPath path;
    DWORD depth;
    bool viaLink;
    FolderStamp stamp;
};

// A worker waiting for the host's answer about a folder.
struct Answer {
    bool given = false;
    DWORD value = AGENT_TREE_CONTINUE;
};

struct Entry {
    SharedPath path; // the entry's own, or with `named` the folder it is in
    bool named;      // the entry is data.cFileName in `path`
    bool hasData;
    WIN32_FIND_DATAW data;
    DWORD depth, kind, cause;
    Answer *answer;
};

// Filled in place, in the queue or a batch: the find data is large.
void Fill(Entry &entry, const SharedPath &path, bool named, const WIN32_FIND_DATAW *data, DWORD depth, DWORD kind,
          DWORD cause, Answer *answer)
{
    entry.path = path;
    entry.named = named;
    entry.hasData = data != nullptr;
    if (data != nullptr)
        entry.data = *data;
    entry.depth = depth;
    entry.kind = kind;
    entry.cause = cause;
    entry.answer = answer;
}

// A search's entries not yet queued: handed over together, so that the
// queue's lock and the calling thread's wake-up are paid per batch.
using Batch = std::vector<Entry>;

class Walker {
public:
    Walker(const Walk &walk, AGENT_TREE_COUNTS &counts) : walk_(walk), counts_(counts) {}

    // 0 or the cause of the failure.
    DWORD Run(size_t *held)
    {
        WIN32_FILE_ATTRIBUTE_DATA root;
        std::memset(&root, 0, sizeof root);
        if (!AgentGetFileAttributesExW(walk_.logon, walk_.root, &root))
            return GetLastError();
        if ((root.dwFileAttributes & kDirectory) == 0)
            return SingleFile(root);
        pending_.push_back({std::make_shared<const Text>(walk_.root), 0, false, {}});
        waiting_.reserve(kWaitingEntries);

        std::vector<std::thread> threads;
        try {
            threads.reserve(walk_.searches);
            for (unsigned i = 0; i < walk_.searches; ++i) {
                threads.emplace_back(&Walker::Worker, this);
                std::lock_guard<std::mutex> lock(mutex_);
                ++workers_;
            }
        } catch (...) {
            // Fewer searches at once.
        }
        if (threads.empty())
            return ERROR_NOT_ENOUGH_MEMORY;
        Deliver();
        for (std::thread &t : threads)
            t.join();
        if (held != nullptr)
            *held = peak_;
        if (error_ != 0)
            return error_;
        return stopped_ ? ERROR_CANCELLED : 0;
    }

private:
    DWORD SingleFile(const WIN32_FILE_ATTRIBUTE_DATA &root)
    {
        WIN32_FIND_DATAW data;
        std::memset(&data, 0, sizeof data);
        data.dwFileAttributes = root.dwFileAttributes;
        data.ftCreationTime = root.ftCreationTime;
        data.ftLastAccessTime = root.ftLastAccessTime;
        data.ftLastWriteTime = root.ftLastWriteTime;
        data.nFileSizeHigh = root.nFileSizeHigh;
        data.nFileSizeLow = root.nFileSizeLow;
        const Text path(walk_.root);
        const size_t slash = path.find_last_of(static_cast<WCHAR>('\\'));
        const Text name = slash == Text::npos ? path : path.substr(slash + 1);
        const size_t n = std::min<size_t>(name.size(), sizeof data.cFileName / sizeof data.cFileName[0] - 1);
        std::copy(name.begin(), name.begin() + static_cast<long>(n), data.cFileName);
        const AGENT_TREE_ENTRY entry{walk_.root, &data, 0, AGENT_TREE_FILE, 0};
        ++counts_.files;
        return walk_.callback(&entry, walk_.context) == AGENT_TREE_STOP ? ERROR_CANCELLED : 0;
    }

    void Worker()
    {
        try {
            Batch batch;
            batch.reserve(kBatchEntries);
            while (true) {
                Folder folder;
                {
                    std::unique_lock<std::mutex> lock(mutex_);
                    work_.wait(lock, [&] { return stop_ || !pending_.empty() || busy_ == 0; });
                    if (stop_)
                        break;
                    if (pending_.empty()) {
                        if (links_.empty())
                            break; // nothing waits and nobody lists: the end
                        // Every real folder is done: now the links.
                        while (!links_.empty()) {
                            pending_.push_back(std::move(links_.back()));
                            links_.pop_back();
                        }
                        work_.notify_all();
                        continue;
                    }
                    folder = std::move(pending_.back());
                    pending_.pop_back();
                    ++busy_;
                }
                List(folder, batch);
                std::lock_guard<std::mutex> lock(mutex_);
                if (--busy_ == 0)
                    work_.notify_all(); // perhaps the end, perhaps the links' turn
            }
        } catch (const std::bad_alloc &) {
            NoteOutOfMemory();
            Fail(ERROR_NOT_ENOUGH_MEMORY);
        } catch (...) {
            Fail(ERROR_INTERNAL_ERROR);
        }
        std::lock_guard<std::mutex> lock(mutex_);
        --workers_;
        ready_.notify_one();
    }

    void Fail(DWORD error)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (error_ == 0)
            error_ = error;
        StopAll();
    }

    void List(const Folder &folder, Batch &batch)
    {
        if (walk_.followLinks && !FirstVisit(folder))
            return;
        Answer answer;
        WIN32_FIND_DATAW data;
        const WIN32_FIND_DATAW *listed = folder.depth == 0 ? nullptr : FindDataOf(folder, data);
        if (!Post(folder.path, listed, folder.depth, AGENT_TREE_FOLDER, 0, &answer) || answer.value != AGENT_TREE_CONTINUE)
            return;

        ListEntries(folder, batch);
        Post(folder.path, nullptr, folder.depth, AGENT_TREE_FOLDER_END, 0, nullptr);
    }

    static const WIN32_FIND_DATAW *FindDataOf(const Folder &folder, WIN32_FIND_DATAW &data)
    {
        std::memset(&data, 0, sizeof data);
        data.dwFileAttributes = folder.stamp.attributes;
        data.ftCreationTime = folder.stamp.created;
        data.ftLastAccessTime = folder.stamp.lastAccess;
        data.ftLastWriteTime = folder.stamp.lastWrite;
        const Text &path = *folder.path;
        const size_t slash = path.find_last_of(static_cast<WCHAR>('\\'));
        const Text name = slash == Text::npos ? path : path.substr(slash + 1);
        const size_t n = std::min<size_t>(name.size(), sizeof data.cFileName / sizeof data.cFileName[0] - 1);
        std::copy(name.begin(), name.begin() + static_cast<long>(n), data.cFileName);
        return &data;
    }

    void ListEntries(const Folder &folder, Batch &batch)
    {
        WIN32_FIND_DATAW data;
        std::memset(&data, 0, sizeof data);
        Text pattern;
        Join(*folder.path, kEverything, pattern);
        HANDLE search = AgentFindFirstFileW(walk_.logon, pattern.c_str(), &data);
        if (search == nullptr) {
            DWORD error = GetLastError();
            // A search carries no cause: whether an empty answer is an empty
            // folder or one the agent cannot read, opening it tells.
            BY_HANDLE_FILE_INFORMATION info;
            if (error == ERROR_NO_MORE_FILES)
                error = ReadInfo(*folder.path, info);
            if (error != 0)
                Post(folder.path, nullptr, folder.depth, AGENT_TREE_FAILED, error, nullptr);
            return;
        }
        // The search's connection is destroyed when it ends early.
        struct Closer {
            AgentLogon *logon;
            HANDLE search;
            ~Closer() { AgentCloseHandle(logon, search); }
        } closer{walk_.logon, search};
        for (;;) {
            if (!IsDotName(data.cFileName) && !Classify(folder, data, batch))
                return;
            // What waits for the agent's next record goes out first.
            if (!batch.empty() && !SearchHasReadAhead(search) && !Flush(batch))
                return;
            std::memset(&data, 0, sizeof data);
            if (!AgentFindNextFileW(search, &data)) {
                const DWORD error = GetLastError();
                // The folder's entries come before its failure and its end.
                if (Flush(batch) && error != ERROR_NO_MORE_FILES)
                    Post(folder.path, nullptr, folder.depth, AGENT_TREE_FAILED, error, nullptr);
                return;
            }
        }
    }

    // False once the walk stops.
    bool Classify(const Folder &folder, const WIN32_FIND_DATAW &data, Batch &batch)
    {
        const DWORD depth = folder.depth + 1;
        const bool directory = (data.dwFileAttributes & kDirectory) != 0;
        const bool link = (data.dwFileAttributes & kReparsePoint) != 0;
        for (const WCHAR *c = data.cFileName; *c != 0; ++c)
            if (*c == '\\' || *c == '/')
                return Add(batch, folder, data, AGENT_TREE_SKIPPED, AGENT_SKIP_BAD_NAME);
        if (!directory)
            return Add(batch, folder, data, AGENT_TREE_FILE, 0);
        if (link && !walk_.followLinks)
            return Add(batch, folder, data, AGENT_TREE_SKIPPED, AGENT_SKIP_DIRECTORY_LINK);
        if (depth > walk_.maxDepth)
            return Add(batch, folder, data, AGENT_TREE_SKIPPED, AGENT_SKIP_TOO_DEEP);
        Text child;
        Join(*folder.path, data.cFileName, child);
        auto path = std::make_shared<const Text>(std::move(child));
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (pending_.size() + links_.size() < walk_.maxQueued) {
                const FolderStamp stamp{data.dwFileAttributes, data.ftCreationTime, data.ftLastAccessTime,
                                        data.ftLastWriteTime};
                (link ? links_ : pending_).push_back({std::move(path), depth, link, stamp});
                NoteHeld();
                if (!link)
                    work_.notify_one();
                return !stop_;
            }
        }
        return Add(batch, folder, data, AGENT_TREE_SKIPPED, AGENT_SKIP_TOO_MANY);
    }

    // An entry of `folder` into the search's batch, which goes to the queue
    // when full. False once the walk stops.
    bool Add(Batch &batch, const Folder &folder, const WIN32_FIND_DATAW &data, DWORD kind, DWORD cause)
    {
        batch.emplace_back();
        Fill(batch.back(), folder.path, true, &data, folder.depth + 1, kind, cause, nullptr);
        batched_.fetch_add(1, std::memory_order_relaxed);
        return batch.size() < kBatchEntries || Flush(batch);
    }

    // Queues the batch for the callback, waiting for room. False once the
    // walk stops (the batch is then dropped).
    bool Flush(Batch &batch)
    {
        if (batch.empty())
            return !stop_;
        const size_t count = batch.size();
        std::unique_lock<std::mutex> lock(mutex_);
        space_.wait(lock, [&] { return stop_ || waiting_.size() + count <= kWaitingEntries; });
        if (stop_) {
            batched_.fetch_sub(count, std::memory_order_relaxed);
            batch.clear();
            return false;
        }
        if (waiting_.empty()) {
            waiting_.swap(batch); // the emptied queue's room comes back as the batch's
        } else {
            for (Entry &entry : batch)
                waiting_.push_back(std::move(entry));
        }
        batch.clear();
        NoteHeld(count);
        batched_.fetch_sub(count, std::memory_order_relaxed);
        // One wake-up for the calling thread, however many post meanwhile.
        const bool wake = idle_;
        idle_ = false;
        lock.unlock();
        if (wake)
            ready_.notify_one();
        return !stop_;
    }

    // Records the folder's identity; false when it was seen before or
    // cannot be opened (posted as skipped or failed).
    // Opens a folder with backup semantics for its by-handle record. 0 or
    // the cause.
    DWORD ReadInfo(const Text &path, BY_HANDLE_FILE_INFORMATION &info)
    {
        std::memset(&info, 0, sizeof info);
        HANDLE handle = AgentCreateFileW(walk_.logon, path.c_str(), GENERIC_READ, kShareReadWrite, OPEN_EXISTING,
                                         kBackupSemantics);
        if (handle == nullptr)
            return GetLastError();
        const DWORD error = AgentGetFileInformationByHandle(handle, &info) ? 0 : GetLastError();
        AgentCloseHandle(walk_.logon, handle);
        return error;
    }

    bool FirstVisit(const Folder &folder)
    {
        BY_HANDLE_FILE_INFORMATION info;
        const DWORD error = ReadInfo(*folder.path, info);
        if (error != 0) {
            if (folder.depth == 0) {
                Fail(error);
                return false;
            }
            const DWORD cause = folder.viaLink ? LinkSkipCause(error) : 0;
            if (cause != 0)
                Post(folder.path, nullptr, folder.depth, AGENT_TREE_SKIPPED, cause, nullptr);
            else
                Post(folder.path, nullptr, folder.depth, AGENT_TREE_FAILED, error, nullptr);
            return false;
        }
        const std::pair<DWORD, uint64_t> id(info.dwVolumeSerialNumber,
                                            static_cast<uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow);
        bool first;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            first = visited_.insert(id).second;
        }
        if (!first)
            Post(folder.path, nullptr, folder.depth, AGENT_TREE_SKIPPED, AGENT_SKIP_LOOP, nullptr);
        return first;
    }

    // Queues an entry for the callback, waiting while the queue is full;
    // with `answer`, waits for the host's answer too. False once the walk
    // stops.
    bool Post(const SharedPath &path, const WIN32_FIND_DATAW *data, DWORD depth, DWORD kind, DWORD cause,
              Answer *answer)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        space_.wait(lock, [&] { return stop_ || waiting_.size() < kWaitingEntries; });
        if (stop_)
            return false;
        waiting_.emplace_back();
        Fill(waiting_.back(), path, false, data, depth, kind, cause, answer);
        NoteHeld();
        const bool wake = idle_;
        idle_ = false;
        // Woken after the lock is let go, the calling thread does not
        // block on it at once.
        lock.unlock();
        if (wake)
            ready_.notify_one();
        if (answer == nullptr)
            return !stop_;
        lock.lock();
        answered_.wait(lock, [&] { return stop_ || answer->given; });
        return !stop_;
    }

    // Calling thread: every entry to the callback until the workers end.
    // The waiting entries are taken all at once, so the lock and the
    // posters' wake-ups are paid per batch rather than per entry.
    void Deliver()
    {
        // Two buffers swapped back and forth: after the first batches
        // neither allocates.
        std::vector<Entry> batch;
        batch.reserve(kWaitingEntries);
        Text path;
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            if (waiting_.empty() && workers_ != 0) {
                idle_ = true;
                ready_.wait(lock, [&] { return !waiting_.empty() || workers_ == 0; });
                idle_ = false;
            }
            if (waiting_.empty())
                return; // every worker has ended
            batch.clear();
            batch.swap(waiting_);
            delivering_ = batch.size(); // still held until delivered
            lock.unlock();
            // A search may wait for room for a whole batch.
            space_.notify_all();
            for (Entry &entry : batch) {
                if (stop_) {
                    if (entry.answer != nullptr)
                        Answered(entry, AGENT_TREE_STOP, false);
                    continue;
                }
                if (entry.named)
                    Join(*entry.path, entry.data.cFileName, path);
                const AGENT_TREE_ENTRY given{entry.named ? path.c_str() : entry.path->c_str(),
                                             entry.hasData ? &entry.data : nullptr, entry.depth, entry.kind,
                                             entry.cause};
                const DWORD value = walk_.callback(&given, walk_.context);
                Count(entry, value);
                if (entry.answer != nullptr)
                    Answered(entry, value, true);
                if (value == AGENT_TREE_STOP) {
                    std::lock_guard<std::mutex> stopping(mutex_);
                    stopped_ = true;
                    StopAll();
                }
            }
            lock.lock();
            delivering_ = 0;
        }
    }

    // Releases a folder's poster, with the host's answer when it gave one.
    void Answered(Entry &entry, DWORD value, bool fromHost)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (fromHost)
            entry.answer->value = value;
        entry.answer->given = true;
        answered_.notify_all();
    }

    void Count(const Entry &entry, DWORD answer)
    {
        switch (entry.kind) {
        case AGENT_TREE_FOLDER:
            if (answer == AGENT_TREE_SKIP)
                ++counts_.skipped[AGENT_SKIP_BY_HOST];
            else
                ++counts_.folders;
            break;
        case AGENT_TREE_FILE: ++counts_.files; break;
        case AGENT_TREE_SKIPPED: ++counts_.skipped[entry.cause < AGENT_SKIP_CAUSES ? entry.cause : 0]; break;
        case AGENT_TREE_FAILED: ++counts_.failures; break;
        default: break;
        }
    }

    // Under mutex_.
    void StopAll()
    {
        stop_ = true;
        work_.notify_all();
        space_.notify_all();
        answered_.notify_all();
        ready_.notify_all();
    }

    // Under mutex_. `moved`: entries just queued from a batch and still
    // counted as batched.
    void NoteHeld(size_t moved = 0)
    {
        const size_t batched = batched_.load(std::memory_order_relaxed);
        peak_ = std::max(peak_, pending_.size() + links_.size() + waiting_.size() + delivering_ + batched - moved);
    }

    const Walk &walk_;
    AGENT_TREE_COUNTS &counts_;
    std::mutex mutex_;
    std::condition_variable work_;  // workers: a folder to list, or the end
    std::condition_variable space_;    // posters: room in the queue
    std::condition_variable answered_; // a folder's poster: the host's answer
    std::condition_variable ready_; // the calling thread: an entry, or the workers' end
    std::vector<Folder> pending_; // listed last in, first out: the frontier stays small
    std::vector<Folder> links_;   // after every real folder
    std::vector<Entry> waiting_;
    std::set<std::pair<DWORD, uint64_t>> visited_;
    unsigned busy_ = 0;
    unsigned workers_ = 0;
    std::atomic<bool> stop_{false}; // read by the calling thread between callbacks too
    bool stopped_ = false; // by the host
    DWORD error_ = 0;
    size_t peak_ = 0;
    size_t delivering_ = 0; // the batch the calling thread is delivering
    std::atomic<size_t> batched_{0}; // entries in the searches' batches
    bool idle_ = false; // the calling thread waits for an entry
};

} // namespace

BOOL ListTree(const Walk &walk, AGENT_TREE_COUNTS *counts, size_t *held)
{
    AGENT_TREE_COUNTS local;
    AGENT_TREE_COUNTS &out = counts != nullptr ? *counts : local;
    std::memset(&out, 0, sizeof out);
    Walker walker(walk, out);
    const DWORD error = walker.Run(held);
    if (error == 0)
        return 1;
    SetLastError(error);
    return 0;
}

} // namespace tree
} // namespace agent
