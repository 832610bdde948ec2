// Streams a remote folder tree for a backup or its check through the
// library's AgentListTreeW (which applies the link rules: directory links
// entered only when asked, loops found by volume serial and file index):
// folders are handed over on the listing thread, files in batches on
// worker threads through a queue of fixed size, so memory stays bounded
// whatever the tree's size. Names the local file system cannot hold are
// left out here, folders with their whole content.
#ifndef AGENTCLI_BACKUP_WALK_H
#define AGENTCLI_BACKUP_WALK_H

#include "agent_stub.h"
#include "wide_text.h"

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace agentcli {

enum class SkipCause {
    DirectoryLink,  // a directory link or junction, not descended by default
    Loop,           // a folder reached again through a link
    LinkLeadsOut,   // a link whose target lies outside what the agent serves
    BrokenLink,     // a link whose target does not exist
    UnholdableName, // a name the local file system cannot hold
    Excluded,       // left out by an --exclude rule
    TooDeep,        // a folder below the depth limit
    TooMany,        // a folder found while too many waited to be listed
};
constexpr int kSkipCauseCount = 8;
const char *SkipCauseText(SkipCause cause);

struct SkippedEntry {
    std::string remotePath; // UTF-8
    SkipCause cause;
};

struct BackupFailure {
    std::string remotePath;   // UTF-8 for messages
    uint32_t error = 0;
    std::string where;
};

// What the local file system may not keep of a listed entry (the backup's
// manifest records it): Windows attributes and the other two times.
struct EntryMetadata {
    uint32_t attributes = 0;
    uint64_t created = 0, lastWrite = 0, lastAccess = 0; // FILETIME ticks
};

struct FolderEntry {
    WString remote;
    std::string local;
    EntryMetadata meta;       // as listed; empty for the root
};

struct FileEntry {
    WString remote;
    std::string local;
    uint64_t size = 0;
    uint64_t lastWrite = 0;   // FILETIME ticks from the listing
    bool link = false;        // a reparse point: size and time belong to the link, not its target
    bool inNewFolder = false; // its local folder was made by this run: nothing of it is there yet
    EntryMetadata meta;
};

// A whole listing, kept only where a run needs all of it (--delete, and a
// check that names local extras): memory then grows with the tree.
struct TreeListing {
    std::vector<FolderEntry> folders; // parents before children, the root first
    std::vector<FileEntry> files;
    std::vector<SkippedEntry> skipped;
    std::vector<BackupFailure> failures;
    uint32_t fatal = 0;               // the root could not be read at all
};

class RunControl;
class NameFilter;

// Skips and failures: every one counted, the first kKeptEntries kept with
// their paths for messages, so a hostile tree cannot grow the report.
struct WalkTally {
    static constexpr size_t kKeptEntries = 10000;
    std::vector<SkippedEntry> skipped;
    std::vector<BackupFailure> failures;
    std::array<uint64_t, kSkipCauseCount> skippedBy{};
    std::map<uint32_t, uint64_t> failedBy;
    uint64_t skippedTotal = 0, failedTotal = 0;
};

// The tally shared by the listing and the workers. `control` (may be
// null) sees every failure as it happens; `whole` (may be null) keeps
// every skip and failure of the listing (ofListing).
class Tally {
public:
    explicit Tally(WalkTally &tally, RunControl *control = nullptr, TreeListing *whole = nullptr)
        : tally_(tally), control_(control), whole_(whole)
    {
    }
    void Skip(const WString &remote, SkipCause cause, bool ofListing = true);
    // A failure on the agent's side; with `localPath`, one whose cause may
    // be the local folder (RunControl probes it).
    void Fail(const WString &remote, uint32_t error, const char *where, const std::string &localPath = std::string(),
              bool ofListing = true);
    // A failure of the local side (a folder that cannot be created).
    void FailLocal(const WString &remote, const std::string &localPath, uint32_t error, const char *where);

private:
    void Keep(const WString &remote, uint32_t error, const char *where, bool ofListing);

    std::mutex mutex_;
    WalkTally &tally_;
    RunControl *control_;
    TreeListing *whole_;
};

struct WalkOptions {
    WString remoteRoot;
    std::string localRoot;
    RunControl *control = nullptr;     // may be null: stops the walk
    const NameFilter *filter = nullptr; // may be null: --exclude/--include
    TreeListing *whole = nullptr;      // may be null: receives every folder and file too
    // May be empty: each sees every folder (the root first) or file on the
    // listing thread as it is listed, whatever the sink does with it.
    std::function<void(const FolderEntry &)> onFolder;
    std::function<void(const FileEntry &)> onFile;
    bool followLinks = false;
    unsigned maxDepth = 0;    // 0: the library's limit
    unsigned workers = 1;     // threads calling Files
    size_t batch = 128;       // files per Files call at most (their folders held open)
    size_t queued = 4096;     // files waiting for a worker at most
};

class TreeSink {
public:
    virtual ~TreeSink() = default;
    // The listing thread; the root first, parents before children. The
    // folder is listed either way. True when the sink made the local folder
    // just now, so that its files have nothing there to look for.
    virtual bool Folder(const FolderEntry &folder) = 0;
    // A worker thread; one batch at a time per worker.
    virtual void Files(std::vector<FileEntry> &batch) = 0;
    // The listing thread, as each file is found.
    virtual void Found(const FileEntry &) {}
    // The listing thread, before a file goes to the workers: true when
    // the sink has settled it there and then (its Files never sees it).
    virtual bool Settled(const FileEntry &) { return false; }
    // The listing thread: every entry of the folder `local` has been found.
    virtual void FolderDone(const std::string & /*local*/) {}
};

// Lists and hands over everything below options.remoteRoot (a folder, or a
// single file that lands in localRoot). 0, or the Win32 code for a root
// that could not be read at all.
uint32_t StreamTree(AGENT_LOGON logon, const WalkOptions &options, Tally &tally, TreeSink &sink);

// True for a name a remote listing may hand out safely: not empty, not "."
// or "..", no separator or NUL that could lead outside the local folder.
bool IsSafeName(const WString &name);

// The cause for a link that could not be opened, or false for a failure.
bool LinkSkipCause(uint32_t error, SkipCause &cause);

} // namespace agentcli

#endif
