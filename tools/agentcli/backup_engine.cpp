#include "backup_engine.h"

#include "confined_local.h"
#include "local_files.h"
#include "parallel_jobs.h"
#include "remote_copy.h"
#include "remote_info.h"

#include <algorithm>
#include <chrono>
#include <mutex>

namespace agentcli {


std::array<uint64_t, kSkipCauseCount> BackupReport::SkippedBy() const
{
    std::array<uint64_t, kSkipCauseCount> counts{};
    for (const SkippedEntry &s : skipped)
        ++counts[static_cast<size_t>(s.cause)];
    return counts;
}

namespace {

class FileCopier {
public:
    FileCopier(AGENT_LOGON logon, const BackupOptions &options, const ConfinedRoot &destination,
               BackupProgress *progress, BackupReport &report)
        : logon_(logon), options_(options), destination_(destination), progress_(progress), report_(report)
    {
    }

    void CopyAll(const std::vector<FileEntry> &files)
    {
        RunParallel(files.size(), options_.jobs, [&](size_t i) { CopyOne(files[i]); });
    }

private:
    void CopyOne(const FileEntry &file)
    {
        if (options_.control != nullptr && options_.control->Stopped())
            return; // left for the next run
        uint64_t size = file.size, lastWrite = file.lastWrite;
        if (file.link) {
            // The listing describes the link; what gets copied is its target.
            const uint32_t error = ReadTargetStamp(logon_, file.remote, size, lastWrite);
            if (error != 0) {
                LinkOrFailure(file, error, "open");
                return;
            }
        }
        if (options_.incremental && Unchanged(file.local, size, lastWrite)) {
            std::lock_guard<std::mutex> lock(mutex_);
            ++report_.unchanged;
            if (progress_ != nullptr) {
                ++progress_->filesDone;
                progress_->bytesDone += file.size;
            }
            return;
        }
        if (options_.dryRun) {
            Copied(file, size);
            return;
        }
        // The file's folder as resolved beneath the destination, links refused.
        ConfinedRoot::Target target;
        if (const uint32_t error = destination_.Resolve(file.local, target)) {
            Fail(file, error, "local folder");
            return;
        }
        // An incremental run continues what an interrupted one left behind.
        const CopyResult r = CopyRemoteFile(logon_, file.remote, target.path(),
                                            progress_ != nullptr ? &progress_->bytesDone : nullptr,
                                            options_.incremental ? CopyMode::Restartable : CopyMode::Fresh,
                                            progress_ != nullptr ? &progress_->bytesResumed : nullptr,
                                            options_.flush);
        if (r.error != 0) {
            LinkOrFailure(file, r.error, r.where.c_str());
            return;
        }
        // The copy carries the remote last-write time, set before it took
        // its name: the next incremental run knows an unchanged file by it.
        Copied(file, r.bytes);
    }

    void Copied(const FileEntry &file, uint64_t bytes)
    {
        if (options_.control != nullptr)
            options_.control->Copied(Narrow(file.remote));
        std::lock_guard<std::mutex> lock(mutex_);
        ++report_.files;
        report_.bytes += bytes;
        if (progress_ != nullptr)
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
        if (file.link && LinkSkipCause(error, cause)) {
            std::lock_guard<std::mutex> lock(mutex_);
            report_.skipped.push_back({Narrow(file.remote), cause});
            return;
        }
        Fail(file, error, where);
    }

    void Fail(const FileEntry &file, uint32_t error, const char *where)
    {
        // A copy the operator stopped is not a failure: its partial file waits.
        if (error == kStoppedOnRequest && InterruptSignal() != 0)
            return;
        if (options_.control != nullptr)
            options_.control->Failed({Narrow(file.remote), error, where, Side::Remote}, file.local);
        std::lock_guard<std::mutex> lock(mutex_);
        report_.failures.push_back({Narrow(file.remote), error, where});
    }

    static constexpr uint32_t kStoppedOnRequest = 1235;

    AGENT_LOGON logon_;
    const BackupOptions &options_;
    const ConfinedRoot &destination_;
    BackupProgress *progress_;
    BackupReport &report_;
    std::mutex mutex_;
};

} // namespace

BackupReport ReportOfListing(TreeListing &listing)
{
    BackupReport report;
    report.fatal = listing.fatal;
    report.skipped = std::move(listing.skipped);
    report.failures = std::move(listing.failures);
    return report;
}

BackupReport RunBackup(AGENT_LOGON logon, const BackupOptions &options, BackupProgress *progress)
{
    const auto start = std::chrono::steady_clock::now();
    TreeListing listing = ListTree(logon, options.remoteRoot, options.localRoot, options.followLinks,
                                   options.control, options.filter);
    if (options.onListing)
        options.onListing(listing);
    BackupReport report = ReportOfListing(listing);
    if (report.fatal != 0)
        return report;
    ConfinedRoot destination;
    if (const uint32_t error = destination.Open(options.localRoot)) {
        report.failures.push_back({Narrow(options.remoteRoot), error, "local folder"});
        return report;
    }
    for (const FolderEntry &folder : listing.folders) {
        if (options.control != nullptr && options.control->Stopped())
            break;
        const uint32_t error = options.dryRun ? 0 : destination.MakeFolder(folder.local);
        if (error != 0) {
            report.failures.push_back({Narrow(folder.remote), error, "local folder"});
            if (options.control != nullptr)
                options.control->Failed({folder.local, error, "local folder", Side::Local});
        } else {
            ++report.folders;
        }
    }
    if (progress != nullptr) {
        progress->filesTotal = listing.files.size();
        uint64_t bytes = 0;
        for (const FileEntry &f : listing.files)
            bytes += f.size;
        progress->bytesTotal = bytes;
    }
    FileCopier(logon, options, destination, progress, report).CopyAll(listing.files);
    report.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return report;
}

} // namespace agentcli
