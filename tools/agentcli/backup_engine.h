// Copies a remote folder tree into a local folder, keeping its structure:
// the tree streams from the listing (backup_walk) into the library's
// many-file copy, folders created as they are found. A check of a past
// backup (backup_verify) works from the same stream.
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
    unsigned jobs = 64;       // a cap on files in flight; the library finds how many the network is worth
    size_t chunkSize = 1 << 20; // reads of --verify=content; copies use the library's own
    RunControl *control = nullptr; // may be null: sees every failure, and stops the run
    const NameFilter *filter = nullptr; // may be null: --exclude/--include
    bool dryRun = false;      // list and count what would be copied; write nothing
    // Sees the whole listing once it is complete (the copies run meanwhile);
    // setting it keeps the whole listing in memory.
    std::function<void(const TreeListing &)> onListing;
    // Each sees every folder (the root first) or file as it is listed,
    // without keeping the listing.
    std::function<void(const FolderEntry &)> onFolder;
    std::function<void(const FileEntry &)> onFile;
    bool followLinks = false; // descend into directory links inside the served folder
    bool incremental = false; // keep local files whose size and last-write time match
    bool rootMade = false; // the local root did not exist before this run
    bool flush = true;        // each file on the disk before it takes its name
    double localFlushSeconds = -1; // one flush at the destination took this long (-1: not known)
    unsigned maxDepth = 0;    // folders below are skipped (0: the library's limit)
};

struct BackupProgress {
    std::atomic<uint64_t> filesDone{0};
    std::atomic<uint64_t> filesTotal{0}; // grows while the listing runs
    std::atomic<uint64_t> bytesDone{0};
    std::atomic<uint64_t> bytesTotal{0};
    std::atomic<uint64_t> bytesResumed{0}; // of bytesDone, what partial files already held
};

// skipped and failures keep the first entries for messages; the totals
// count every one.
struct BackupReport : WalkTally {
    uint64_t files = 0;       // copied completely (or, for a check, found equal)
    uint64_t folders = 0;     // held locally (the root included)
    uint64_t bytes = 0;
    uint64_t unchanged = 0;   // left as they were by an incremental run
    double seconds = 0;
    uint32_t fatal = 0;       // the root could not be read at all

    std::array<uint64_t, kSkipCauseCount> SkippedBy() const { return skippedBy; }
};

// The walk's settings for a backup or a check; `whole` receives the
// whole listing when options.onListing wants it.
WalkOptions WalkOf(const BackupOptions &options, unsigned workers, TreeListing *whole);

// Runs the backup; `progress` may be null. Failures of single files and
// folders are collected and the rest goes on.
BackupReport RunBackup(AGENT_LOGON logon, const BackupOptions &options, BackupProgress *progress);

} // namespace agentcli

#endif
