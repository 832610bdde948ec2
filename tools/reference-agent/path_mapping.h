// Windows paths of the served drives -> local paths, and the refusal of
// every path that would leave a drive's root.
#ifndef REFAGENT_PATH_MAPPING_H
#define REFAGENT_PATH_MAPPING_H

#include "unique_fd.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace refagent {

struct DriveRoot {
    char letter = 'C';     // upper case
    std::string localRoot; // canonical, no trailing slash (except "/")
    // The root opened once at start; every request resolves beneath it.
    std::shared_ptr<UniqueFd> root;
    int rootFd() const { return root ? root->get() : -1; }
};

class DriveMap {
public:
    // Maps letter to an existing local directory (canonicalised). False
    // with a reason for a bad letter, a duplicate or a missing directory.
    bool Add(char letter, const std::string &directory, std::string &error);
    // As Add, with the root taken as given (opened, but not checked).
    void AddResolved(char letter, const std::string &root);
    const DriveRoot *Find(char16_t letter) const;
    const std::vector<DriveRoot> &Roots() const { return roots_; }
    bool Empty() const { return roots_.empty(); }

private:
    std::vector<DriveRoot> roots_;
};

struct MappedPath {
    uint32_t status = 0;            // 0, or the Win32 code refusing the path
    const DriveRoot *drive = nullptr;
    std::vector<std::string> parts; // UTF-8 components below the root
    std::string local;              // root + parts
    bool IsRoot() const { return parts.empty(); }
};

// Lexical mapping, no file system access. "C:\a\b", "C:/a/b" and
// "\\?\C:\a" name a/b under C:'s root. Refused with ERROR_ACCESS_DENIED (5):
// any ".." component, paths without a drive (relative, "\x", "/etc", UNC).
// ERROR_PATH_NOT_FOUND (3) for a drive that is not served,
// ERROR_INVALID_NAME (123) for a malformed name ("C:x", "a:b", "<>|\"*?",
// control characters, unpaired surrogates).
MappedPath MapWindowsPath(const DriveMap &drives, const std::u16string &path);

// True when the canonical path stays inside the canonical root.
bool IsInside(const std::string &root, const std::string &canonical);

// "C:\a\b" for the letter and UTF-8 parts; false for a name the wire
// cannot carry.
bool ToWindowsPath(char letter, const std::vector<std::string> &parts, std::u16string &out);

// Splits "C:\dir\*.txt" into "C:\dir" and "*.txt" (last separator).
void SplitPattern(const std::u16string &pattern, std::u16string &directory, std::u16string &name);

} // namespace refagent

#endif
