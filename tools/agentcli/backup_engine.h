// Copies a remote folder tree into a local folder, keeping its structure:
// lists the tree with searches, creates the folders, then copies the files
// on several threads that share one logon.
#ifndef AGENTCLI_BACKUP_ENGINE_H
#define AGENTCLI_BACKUP_ENGINE_H

#include "agent_stub.h"
#include "wide_text.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace agentcli {

struct BackupOptions {
    WString remoteRoot;       // a folder (or a single file) on the agent
    std::string localRoot;    // created when missing
    unsigned jobs = 4;        // files copied at once
    size_t chunkSize = 1 << 20;
};

struct BackupFailure {
    std::string remotePath;   // UTF-8 for messages
    uint32_t error = 0;
    std::string where;
};

struct BackupProgress {
    std::atomic<uint64_t> filesDone{0};
    std::atomic<uint64_t> filesTotal{0};
    std::atomic<uint64_t> bytesDone{0};
    std::atomic<uint64_t> bytesTotal{0};
};

struct BackupReport {
    uint64_t files = 0;       // copied completely
    uint64_t folders = 0;     // created locally (the root included)
    uint64_t bytes = 0;
    double seconds = 0;
    std::vector<BackupFailure> failures;
    uint32_t fatal = 0;       // the root could not be read at all
};

// Runs the backup; `progress` may be null. Failures of single files and
// folders are collected and the rest goes on.
BackupReport RunBackup(AGENT_LOGON logon, const BackupOptions &options, BackupProgress *progress);

// True for a name a remote listing may hand out safely: not empty, not "."
// or "..", no separator or NUL that could lead outside the local folder.
bool IsSafeName(const WString &name);

} // namespace agentcli

#endif
