// Lists a remote folder tree for a backup or its check: every folder to
// hold locally, every file to copy, and every entry left out with its
// cause. Directory links are descended only when asked, and then a folder
// already visited (same volume serial number and file index) is a loop.
#ifndef AGENTCLI_BACKUP_WALK_H
#define AGENTCLI_BACKUP_WALK_H

#include "agent_stub.h"
#include "wide_text.h"

#include <cstdint>
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
};
constexpr int kSkipCauseCount = 6;
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
    EntryMetadata meta;
};

struct TreeListing {
    std::vector<FolderEntry> folders; // parents before children, the root first
    std::vector<FileEntry> files;
    std::vector<SkippedEntry> skipped;
    std::vector<BackupFailure> failures;
    uint32_t fatal = 0;               // the root could not be read at all
};

// True for a name a remote listing may hand out safely: not empty, not "."
// or "..", no separator or NUL that could lead outside the local folder.
bool IsSafeName(const WString &name);

class RunControl;
class NameFilter;

// Lists remoteRoot (a folder, or a single file that lands in localRoot).
// `control` (may be null) sees every failure and can stop the listing;
// `filter` (may be null) leaves entries out.
TreeListing ListTree(AGENT_LOGON logon, const WString &remoteRoot, const std::string &localRoot, bool followLinks,
                     RunControl *control = nullptr, const NameFilter *filter = nullptr);

// The cause for a link that could not be opened, or false for a failure.
bool LinkSkipCause(uint32_t error, SkipCause &cause);

} // namespace agentcli

#endif
