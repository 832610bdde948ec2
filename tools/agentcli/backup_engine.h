// Copies a remote folder tree into a local folder, keeping its structure:
// lists the tree (backup_walk), creates the folders, then copies the files
// on several threads that share one logon. A check of a past backup
// (backup_verify) works from the same listing.
#ifndef AGENTCLI_BACKUP_ENGINE_H
#define AGENTCLI_BACKUP_ENGINE_H

#include "agent_stub.h"
#include "backup_walk.h"
#include "run_control.h"
#include "wide_text.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace agentcli {

struct BackupOptions {
    WString remoteRoot;       // a folder (or a single file) on the agent
    std::string localRoot;    // created when missing
    unsigned jobs = 4;        // files copied at once
    size_t chunkSize = 1 << 20; // reads of --verify=content; copies use the library's own
    RunControl *control = nullptr; // may be null: sees every failure, and stops the run
    const NameFilter *filter = nullptr; // may be null: --exclude/--include
    bool dryRun = false;      // list and count what would be copied; write nothing
    std::function<void(const TreeListing &)> onListing; // sees the whole listing before anything is copied
    bool followLinks = false; // descend into directory links inside the served folder
    bool incremental = false; // keep local files whose size and last-write time match
    bool flush = true;        // each file on the disk before it takes its name
};

struct BackupProgress {
    std::atomic<uint64_t> filesDone{0};
    std::atomic<uint64_t> filesTotal{0};
    std::atomic<uint64_t> bytesDone{0};
    std::atomic<uint64_t> bytesTotal{0};
    std::atomic<uint64_t> bytesResumed{0}; // of bytesDone, what partial files already held
};

struct BackupReport {
    uint64_t files = 0;       // copied completely (or, for a check, found equal)
    uint64_t folders = 0;     // held locally (the root included)
    uint64_t bytes = 0;
    uint64_t unchanged = 0;   // left as they were by an incremental run
    double seconds = 0;
    std::vector<SkippedEntry> skipped;
    std::vector<BackupFailure> failures;
    uint32_t fatal = 0;       // the root could not be read at all

    std::array<uint64_t, kSkipCauseCount> SkippedBy() const;
};

// A report that starts with what the listing found: skips, failures and
// whether the root could be read at all. Moves them out of `listing`.
BackupReport ReportOfListing(TreeListing &listing);

// Runs the backup; `progress` may be null. Failures of single files and
// folders are collected and the rest goes on.
BackupReport RunBackup(AGENT_LOGON logon, const BackupOptions &options, BackupProgress *progress);

} // namespace agentcli

#endif
