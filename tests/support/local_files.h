// A fresh local directory per test, removed afterwards, with its paths as
// WCHAR strings in the library's form (backslash separators).
#ifndef AGENT_TEST_LOCAL_FILES_H
#define AGENT_TEST_LOCAL_FILES_H

#include "wire.h"

#include <filesystem>

namespace fake {

class TempDirectory {
public:
    TempDirectory();
    ~TempDirectory();
    TempDirectory(const TempDirectory &) = delete;
    TempDirectory &operator=(const TempDirectory &) = delete;

    WString Root() const;
    // Root, a backslash, then `name` (which may hold backslashes itself).
    WString Path(const char16_t *name) const;
    bool Exists(const char16_t *name) const;
    Bytes Read(const char16_t *name) const; // empty when missing
    // Every regular file below the root, as relative paths with '/'.
    std::vector<std::string> Files() const;
    // The file system's path of `name`.
    std::filesystem::path Native(const char16_t *name) const;

private:
    std::filesystem::path root_;
};

// The names in a folder, links included and not followed, sorted.
std::vector<std::string> NamesIn(const std::filesystem::path &folder);

} // namespace fake

#endif
