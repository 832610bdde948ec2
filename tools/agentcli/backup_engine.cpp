#include "backup_engine.h"

#include "confined_local.h"
#include "folder_scans.h"
#include "local_files.h"
#include "remote_copy.h"
#include "remote_info.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>

namespace agentcli {

namespace {

constexpr uint32_t kInvalidName = 123;
constexpr uint32_t kStoppedOnRequest = 1235;
// A round trip from here on is a link a file waits on (Wi-Fi, VPN, a
// router between): a wired LAN answers in a fraction of it.
constexpr double kLongRoundTrip = 0.0005;
// A flush quicker than this wrote no device (memory, or a cache that
// keeps its promise): each file's flush then costs next to nothing.
constexpr double kQuickFlush = 0.00005;

class Copier : public TreeSink {
public:
    Copier(AGENT_LOGON logon, const BackupOptions &options, const ConfinedRoot &destination, unsigned cap,
           BackupProgress *progress, BackupReport &report, Tally &tally)
        : logon_(logon), options_(options), destination_(destination), cap_(cap), progress_(progress),
          report_(report), tally_(tally)
    {
#ifndef _WIN32
        // Not on Windows: a folder's listing there may show a file being
        // written with its earlier size and time.
        if (options_.incremental)
            scans_ = std::make_unique<FolderScans>(destination_);
#endif
    }

    bool Folder(const FolderEntry &folder) override
    {
        bool made = false;
        const uint32_t error = options_.dryRun ? 0 : destination_.MakeFolder(folder.local, &made);
        if (error != 0) {
            tally_.FailLocal(folder.remote, folder.local, error, "local folder");
            return false;
        }
        const bool fresh = made || (folder.local == options_.localRoot && options_.rootMade && !options_.dryRun);
        // What an earlier run left there is read while the agent lists it.
        if (!fresh && scans_ != nullptr)
            scans_->Start(folder.local);
        std::lock_guard<std::mutex> lock(mutex_);
        ++report_.folders;
        // The root was made before the run began, if at all.
        return fresh;
    }

    bool Settled(const FileEntry &file) override
    {
        // A link's own size and time say nothing of its target's.
        if (scans_ == nullptr || file.inNewFolder || file.link || Stopped() ||
            !scans_->Unchanged(file.local, file.size, file.lastWrite))
            return false;
        CountUnchanged(1, file.size);
        return true;
    }

    void FolderDone(const std::string &local) override
    {
        if (scans_ != nullptr)
            scans_->Forget(local);
    }

    void Found(const FileEntry &file) override
    {
        if (progress_ != nullptr) {
            ++progress_->filesTotal;
            progress_->bytesTotal += file.size;
        }
    }

    void Files(std::vector<FileEntry> &batch) override
    {
        if (Stopped())
            return; // left for the next run
        std::vector<const FileEntry *> entries;
        std::vector<WString> locals;
        std::vector<AGENT_COPY_ITEM> items;
        std::vector<std::unique_ptr<ConfinedRoot::Target>> targets; // each file's folder, held open
        std::vector<uint64_t> resumable; // what partial files hold for a restart
        // Counted once per batch: eight workers taking the lock for each
        // unchanged file spent more time waking each other than checking.
        uint64_t unchanged = 0, unchangedBytes = 0;
        entries.reserve(batch.size());
        locals.reserve(batch.size());
        items.reserve(batch.size());
        for (const FileEntry &file : batch) {
            // A file in a folder this run made has no earlier copy and no
            // partial file to look for.
            const bool looked = options_.incremental && !file.inNewFolder;
            uint64_t size = file.size, lastWrite = file.lastWrite;
            bool known = !file.link;
            if (file.link && options_.incremental) {
                // The listing describes the link; what gets copied is its target.
                const uint32_t error = ReadTargetStamp(logon_, file.remote, size, lastWrite);
                if (error != 0) {
                    LinkOrFailure(file, error, "open");
                    continue;
                }
                known = true;
            }
            if (looked && Unchanged(file.local, size, lastWrite)) {
                ++unchanged;
                unchangedBytes += file.size;
                continue;
            }
            if (options_.dryRun) {
                Copied(file, size);
                continue;
            }
            // The file's folder as resolved beneath the destination, links
            // refused; the files of one folder follow each other and share it.
            const ConfinedRoot::Target *beside = targets.empty() ? nullptr : targets.back().get();
            targets.push_back(std::make_unique<ConfinedRoot::Target>());
            if (const uint32_t error = destination_.Resolve(file.local, *targets.back(), beside)) {
                tally_.Fail(file.remote, error, "local folder", file.local, false);
                continue;
            }
            WString local;
            if (!Widen(targets.back()->path(), local)) {
                tally_.Fail(file.remote, kInvalidName, "local path", file.local, false);
                continue;
            }
            locals.push_back(std::move(local));
            AGENT_COPY_ITEM item = {};
            item.remotePath = file.remote.c_str();
            item.localPath = locals.back().c_str();
            item.known = known ? AGENT_COPY_ITEM_KNOWN : 0;
            item.size = size;
            item.lastWrite = FileTimeOf(lastWrite);
            items.push_back(item);
            entries.push_back(&file);
            // Looked up in the folder resolved above, not by the path.
            resumable.push_back(looked && known ? ResumableBytes(targets.back()->path(), size, lastWrite) : 0);
        }
        CountUnchanged(unchanged, unchangedBytes);
        if (items.empty())
            return;
        // An incremental run continues what an interrupted one left behind.
        Seen seen{this, &entries, &resumable, std::vector<bool>(items.size())};
        AgentCopyFilesFromAgentW(logon_, items.data(), static_cast<DWORD>(items.size()), &Seen::Progress, &seen,
                                 nullptr,
                                 (options_.incremental ? COPY_FILE_RESTARTABLE : 0) |
                                     (options_.flush ? 0 : AGENT_COPY_FILE_NO_FLUSH),
                                 cap_);
        // Items that finished after a stop are not reported: their results.
        for (size_t i = 0; i < items.size(); ++i)
            if (!seen.told[i])
                seen.Outcome(i, items[i].result, items[i].size);
    }

private:
    // Progress of one many-file call into the shared counters.
    // One many-file call's progress: every item's outcome as it finishes,
    // so that the run control sees a failure at once and can stop the rest.
    struct Seen {
        Copier *copier;
        const std::vector<const FileEntry *> *entries;
        const std::vector<uint64_t> *resumable;
        std::vector<bool> told;
        uint64_t bytes = 0;

        void Outcome(size_t index, DWORD result, uint64_t itemBytes)
        {
            Copier &copier = *this->copier;
            told[index] = true;
            const FileEntry &file = *(*entries)[index];
            if (result == 0) {
                if (copier.progress_ != nullptr) {
                    ++copier.progress_->filesDone;
                    copier.progress_->bytesResumed += (*resumable)[index];
                }
                copier.Copied(file, itemBytes); // a link's size is its target's
            } else if (!(result == kStoppedOnRequest && copier.Stopped())) {
                copier.LinkOrFailure(file, result, "copy");
            }
        }

        static DWORD AGENTAPI Progress(DWORD index, DWORD result, ULONGLONG itemBytes, ULONGLONG copied,
                                       void *context)
        {
            auto *self = static_cast<Seen *>(context);
            Copier &copier = *self->copier;
            if (copier.progress_ != nullptr && copied > self->bytes)
                copier.progress_->bytesDone += copied - self->bytes;
            self->bytes = std::max<uint64_t>(self->bytes, copied);
            if (index < self->entries->size())
                self->Outcome(index, result, itemBytes);
            // A stopped run keeps its partial files for the next one.
            return copier.Stopped() ? PROGRESS_STOP : PROGRESS_CONTINUE;
        }
    };

    bool Stopped() const { return options_.control != nullptr && options_.control->Stopped(); }

    void CountUnchanged(uint64_t files, uint64_t bytes)
    {
        if (files == 0)
            return;
        if (progress_ != nullptr) {
            progress_->filesDone += files;
            progress_->bytesDone += bytes;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        report_.unchanged += files;
    }

    void Copied(const FileEntry &file, uint64_t bytes)
    {
        if (options_.control != nullptr)
            options_.control->Copied(Narrow(file.remote));
        std::lock_guard<std::mutex> lock(mutex_);
        ++report_.files;
        report_.bytes += bytes;
        if (progress_ != nullptr && options_.dryRun)
            ++progress_->filesDone;
    }

    bool Unchanged(const std::string &local, uint64_t size, uint64_t lastWrite) const
    {
        LocalStamp stamp;
        return destination_.Stamp(local, stamp) == 0 && stamp.exists && stamp.regular && stamp.size == size &&
               stamp.lastWrite == lastWrite && lastWrite != 0;
    }

    void LinkOrFailure(const FileEntry &file, uint32_t error, const char *where)
    {
        SkipCause cause;
        if (file.link && LinkSkipCause(error, cause))
            tally_.Skip(file.remote, cause, false);
        else if (error == kStoppedOnRequest && InterruptSignal() != 0)
            return; // stopped by the operator: not a failure, its partial file waits
        else
            tally_.Fail(file.remote, error, where, file.local, false);
    }

    AGENT_LOGON logon_;
    const BackupOptions &options_;
    const ConfinedRoot &destination_;
    unsigned cap_;
    BackupProgress *progress_;
    BackupReport &report_;
    Tally &tally_;
    std::mutex mutex_;
    std::unique_ptr<FolderScans> scans_; // incremental runs only
};

} // namespace

WalkOptions WalkOf(const BackupOptions &options, unsigned workers, TreeListing *whole)
{
    WalkOptions walk;
    walk.remoteRoot = options.remoteRoot;
    walk.localRoot = options.localRoot;
    walk.control = options.control;
    walk.filter = options.filter;
    walk.whole = options.onListing ? whole : nullptr;
    walk.onFolder = options.onFolder;
    walk.onFile = options.onFile;
    walk.followLinks = options.followLinks;
    walk.maxDepth = options.maxDepth;
    walk.workers = workers;
    // A batch holds its files' folders open, one per file at worst: at most 512 at once.
    walk.batch = workers > 4 ? 64 : 128;
    return walk;
}

// A one-exchange call's time in seconds, the shorter of two when the
// first was long (it may have met a passing stall). An agent that did not
// answer is not asked again: the walk meets that soon enough.
double RoundTrip(AGENT_LOGON logon, const WString &remoteRoot)
{
    double best = 0;
    for (int i = 0; i < 2; ++i) {
        const auto start = std::chrono::steady_clock::now();
        const bool answered = AgentPathFileExistsW(logon, remoteRoot.c_str()) || AgentGetLastError() < 10000;
        const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        best = i == 0 ? took : std::min(best, took);
        if (best < kLongRoundTrip || !answered)
            break;
    }
    return best;
}

struct Concurrency {
    unsigned batches; // under way at once
    unsigned cap;     // files in flight in each
};

// Several batches at once, so that one's last files (or a large one) do
// not leave the link idle, each keeping its own files in flight within
// its share of --jobs: one batch per 8 (2 to 8). Those many files in
// flight pay where a file spends its time waiting, on a long round trip
// or on flushes a disk must write. Where it waits on neither, they only
// add threads and connections that compete for the processors (each
// batch's target grows at the others' expense), so two batches run, each
// with the share it would have had.
Concurrency ConcurrencyFor(AGENT_LOGON logon, const BackupOptions &options)
{
    const unsigned jobs = std::max(1u, options.jobs);
    const unsigned batches = std::max(jobs >= 2 ? 2u : 1u, std::min(8u, jobs / 8));
    const Concurrency waiting{batches, jobs / batches};
    if (batches <= 2 || options.dryRun)
        return waiting;
    const bool quickFlush =
        !options.flush || (options.localFlushSeconds >= 0 && options.localFlushSeconds < kQuickFlush);
    if (!quickFlush || RoundTrip(logon, options.remoteRoot) >= kLongRoundTrip)
        return waiting;
    return {2, waiting.cap};
}

BackupReport RunBackup(AGENT_LOGON logon, const BackupOptions &options, BackupProgress *progress)
{
    const auto start = std::chrono::steady_clock::now();
    BackupReport report;
    TreeListing whole;
    Tally tally(report, options.control, options.onListing ? &whole : nullptr);
    const Concurrency concurrency = ConcurrencyFor(logon, options);
    ConfinedRoot destination;
    if (const uint32_t error = destination.Open(options.localRoot)) {
        tally.FailLocal(options.remoteRoot, options.localRoot, error, "local folder");
        return report;
    }
    Copier copier(logon, options, destination, concurrency.cap, progress, report, tally);
    report.fatal = StreamTree(logon, WalkOf(options, concurrency.batches, &whole), tally, copier);
    if (options.onListing)
        options.onListing(whole);
    report.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return report;
}

} // namespace agentcli
