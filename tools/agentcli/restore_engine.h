// Puts a backup made by `backup` back onto the agent: the backup folder is
// read without following links, compared with a listing of the remote
// folder, and what differs is written through the library's many-file copy
// toward the agent. Attributes and times come from the backup's manifest
// and are set after each file's data, and a folder's after its contents.
#ifndef AGENTCLI_RESTORE_ENGINE_H
#define AGENTCLI_RESTORE_ENGINE_H

#include "agent_stub.h"
#include "backup_engine.h"
#include "run_control.h"
#include "wide_text.h"

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace agentcli {

class NameFilter;

struct RestoreOptions {
    std::string localRoot;   // a backup folder; read, never written
    WString remoteRoot;      // created (with its parents) when missing
    unsigned jobs = 64;      // a cap on files in flight
    RunControl *control = nullptr;      // may be null: sees every failure, and stops the run
    const NameFilter *filter = nullptr; // may be null: --exclude/--include, on paths below localRoot
    bool dryRun = false;        // list what would change; write nothing
    bool ignoreTimes = false;   // rewrite files whose size and last-write time match too
    bool overwriteNewer = false; // replace agent files newer than the backup's copy
    // Each may be empty. `notice` takes trouble (manifest refusals, the
    // backup's own failures), `list` what a dry run would change besides
    // the files (which RunControl lists).
    std::function<void(const std::string &)> notice;
    std::function<void(const std::string &)> list;
};

enum class RestoreSkip {
    LocalLink,      // a link in the backup: never followed, its target never read
    NotRegular,     // a fifo, socket or device in the backup
    UnholdableName, // a name no remote path can hold (\ or :, invalid UTF-8)
    Excluded,       // left out by an --exclude rule
    NewerOnAgent,   // the agent's file is newer than the backup's copy
};
constexpr int kRestoreSkipCount = 5;
const char *RestoreSkipText(RestoreSkip cause);

enum class ManifestUse { Used, Missing, Damaged };

struct RestoreReport {
    static constexpr size_t kKeptEntries = 10000;
    uint64_t files = 0;          // written onto the agent (or, for a dry run, would be)
    uint64_t folders = 0;        // the backup's folders the agent now holds (the root not counted)
    uint64_t foldersCreated = 0; // of those, created by this run
    uint64_t bytes = 0;
    uint64_t unchanged = 0;      // same size and last-write time on the agent: left as they were
    uint64_t attributesSet = 0;  // of the unchanged, those whose attributes were put right
    std::array<uint64_t, kRestoreSkipCount> skippedBy{};
    uint64_t skippedTotal = 0;
    std::vector<std::pair<std::string, RestoreSkip>> skipped; // the first kKeptEntries, paths below the backup
    std::map<uint32_t, uint64_t> failedBy;
    uint64_t failedTotal = 0;
    uint64_t localFailures = 0;  // of those, the backup's side (a folder or file that could not be read)
    ManifestUse manifest = ManifestUse::Used;
    std::string manifestError;   // why a damaged manifest was refused
    uint64_t manifestRefused = 0; // entries refused one by one (a path leading outside the backup)
    bool creationTimesSet = false; // the agent took the creation times it was given
    double seconds = 0;
    uint32_t fatal = 0;          // the backup or the remote folder could not be used at all
    Side fatalSide = Side::Remote;
};

// Runs the restore; `progress` may be null. Failures of single entries are
// counted and the rest goes on.
RestoreReport RunRestore(AGENT_LOGON logon, const RestoreOptions &options, BackupProgress *progress);

} // namespace agentcli

#endif
