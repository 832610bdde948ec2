#include "backup_engine.h"

#include "local_files.h"
#include "remote_info.h"

#include <algorithm>
#include <chrono>
#include <mutex>

namespace agentcli {

namespace {

constexpr uint32_t kInvalidName = 123;

FILETIME FileTimeOf(uint64_t ticks)
{
    FILETIME t;
    t.dwLowDateTime = static_cast<DWORD>(ticks);
    t.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return t;
}

class Copier : public TreeSink {
public:
    Copier(AGENT_LOGON logon, const BackupOptions &options, unsigned cap, BackupProgress *progress,
           BackupReport &report, Tally &tally)
        : logon_(logon), options_(options), cap_(cap), progress_(progress), report_(report), tally_(tally)
    {
    }

    void Folder(const FolderEntry &folder) override
    {
        const uint32_t error = CreateLocalFolder(folder.local);
        if (error != 0) {
            tally_.Fail(folder.remote, error, "local folder");
            return;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        ++report_.folders;
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
        std::vector<const FileEntry *> entries;
        std::vector<WString> locals;
        std::vector<AGENT_COPY_ITEM> items;
        entries.reserve(batch.size());
        locals.reserve(batch.size());
        items.reserve(batch.size());
        for (const FileEntry &file : batch) {
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
            if (options_.incremental && Unchanged(file.local, size, lastWrite)) {
                std::lock_guard<std::mutex> lock(mutex_);
                ++report_.unchanged;
                if (progress_ != nullptr) {
                    ++progress_->filesDone;
                    progress_->bytesDone += file.size;
                }
                continue;
            }
            WString local;
            if (!Widen(file.local, local)) {
                tally_.Fail(file.remote, kInvalidName, "local path");
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
        }
        if (items.empty())
            return;
        // An incremental run continues what an interrupted one left behind.
        Seen seen{this, std::vector<uint64_t>(items.size())};
        AgentCopyFilesFromAgentW(logon_, items.data(), static_cast<DWORD>(items.size()), &Seen::Progress, &seen,
                                 nullptr, options_.incremental ? COPY_FILE_RESTARTABLE : 0, cap_);
        for (size_t i = 0; i < items.size(); ++i) {
            if (items[i].result != 0) {
                LinkOrFailure(*entries[i], items[i].result, "copy");
                continue;
            }
            std::lock_guard<std::mutex> lock(mutex_);
            ++report_.files;
            report_.bytes += seen.sizes[i]; // a link's is its target's
        }
    }

private:
    // Progress of one many-file call into the shared counters.
    struct Seen {
        Copier *copier;
        std::vector<uint64_t> sizes; // by item, once copied
        uint64_t bytes = 0;

        static DWORD AGENTAPI Progress(DWORD index, DWORD result, ULONGLONG itemBytes, ULONGLONG copied,
                                       void *context)
        {
            auto *self = static_cast<Seen *>(context);
            if (index < self->sizes.size())
                self->sizes[index] = itemBytes;
            BackupProgress *progress = self->copier->progress_;
            if (progress != nullptr) {
                if (copied > self->bytes)
                    progress->bytesDone += copied - self->bytes;
                if (index != AGENT_COPY_PROGRESS_BYTES && result == 0)
                    ++progress->filesDone;
            }
            self->bytes = std::max<uint64_t>(self->bytes, copied);
            return PROGRESS_CONTINUE;
        }
    };

    bool Unchanged(const std::string &local, uint64_t size, uint64_t lastWrite) const
    {
        LocalStamp stamp;
        return ReadLocalStamp(local, stamp) == 0 && stamp.exists && stamp.regular && stamp.size == size &&
               stamp.lastWrite == lastWrite && lastWrite != 0;
    }

    void LinkOrFailure(const FileEntry &file, uint32_t error, const char *where)
    {
        SkipCause cause;
        if (file.link && LinkSkipCause(error, cause))
            tally_.Skip(file.remote, cause);
        else
            tally_.Fail(file.remote, error, where);
    }

    AGENT_LOGON logon_;
    const BackupOptions &options_;
    unsigned cap_;
    BackupProgress *progress_;
    BackupReport &report_;
    Tally &tally_;
    std::mutex mutex_;
};

} // namespace

WalkOptions WalkOf(const BackupOptions &options, unsigned workers)
{
    WalkOptions walk;
    walk.remoteRoot = options.remoteRoot;
    walk.localRoot = options.localRoot;
    walk.followLinks = options.followLinks;
    walk.maxDepth = options.maxDepth;
    walk.workers = workers;
    return walk;
}

BackupReport RunBackup(AGENT_LOGON logon, const BackupOptions &options, BackupProgress *progress)
{
    const auto start = std::chrono::steady_clock::now();
    BackupReport report;
    Tally tally(report);
    // Two batches at once, so that one's last files do not leave the link
    // idle; together they stay within --jobs.
    const unsigned jobs = std::max(1u, options.jobs);
    const unsigned workers = jobs >= 2 ? 2 : 1;
    Copier copier(logon, options, jobs / workers, progress, report, tally);
    report.fatal = StreamTree(logon, WalkOf(options, workers), tally, copier);
    report.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return report;
}

} // namespace agentcli
