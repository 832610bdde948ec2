// The manifest a backup leaves beside its copy: what the local file system
// cannot hold of what the agent reported (Windows attributes, creation and
// last-access times, entries that were skipped and why), for a restore and
// for a check.
//
// One UTF-8 text file, one record a line, fields split by tabs:
//
//   agentcli-manifest <TAB> 1
//   root <TAB> remote folder
//   d|f|l <TAB> attributes (hex) <TAB> created <TAB> last-write <TAB>
//         last-access (FILETIME ticks) <TAB> size <TAB> relative path
//   s <TAB> cause <TAB> relative path           (a skipped entry)
//   end <TAB> entries <TAB> skipped <TAB> checksum (FNV-1a 64, hex)
//
// d is a folder, f a file, l a file that is a link on the agent. Paths use
// '/' between names. In a text field '\' is "\\", a tab "\t", a newline
// "\n", a carriage return "\r" and any other control byte "\xHH". The
// checksum covers every byte before the end line, so a manifest cut short
// or damaged anywhere is refused as a whole; a sound one is read entry by
// entry, and an entry whose path could lead outside the backup is refused
// on its own.
#ifndef AGENTCLI_MANIFEST_H
#define AGENTCLI_MANIFEST_H

#include <cstdint>
#include <string>
#include <vector>

namespace agentcli {

constexpr char kManifestName[] = ".agent-manifest";

enum class ManifestKind : char { Folder = 'd', File = 'f', Link = 'l' };

struct ManifestEntry {
    std::string path; // relative to the backup, '/' between names
    ManifestKind kind = ManifestKind::File;
    uint32_t attributes = 0;
    uint64_t created = 0, lastWrite = 0, lastAccess = 0; // FILETIME ticks
    uint64_t size = 0;
};

struct ManifestSkip {
    std::string path;  // relative to the remote root, as the agent named it
    std::string cause;
};

struct Manifest {
    std::string remoteRoot;
    std::vector<ManifestEntry> entries;
    std::vector<ManifestSkip> skipped;
};

struct ManifestRefusal {
    size_t line = 0;
    std::string reason;
};

struct ManifestRead {
    bool ok = false;
    std::string error;                     // why the whole manifest was refused
    Manifest manifest;                     // the entries that were accepted
    std::vector<ManifestRefusal> refused;  // entries refused one by one
};

// True for a relative path that stays inside the folder it is joined to on
// POSIX and Windows alike: no empty, "." or ".." name, no leading '/', no
// '\', ':' (drive letters, streams) or NUL.
bool IsContainedPath(const std::string &path);

std::string FormatManifest(const Manifest &manifest);
ManifestRead ParseManifest(const std::string &bytes);

// Replaces folder/.agent-manifest whole: written to a temporary file beside
// it, flushed to the disk, renamed over the old one, and the folder flushed,
// so a crash leaves either manifest complete. 0 or the Win32 code.
uint32_t WriteManifestFile(const std::string &folder, const Manifest &manifest);
// A missing manifest is refused with the error "no manifest" and *missing set.
ManifestRead ReadManifestFile(const std::string &folder, bool *missing = nullptr);

} // namespace agentcli

#endif
