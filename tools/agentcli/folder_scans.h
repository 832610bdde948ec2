// An incremental backup's local side, read ahead: each listed folder's
// local entries are read on a thread of their own while the agent lists
// it, so that a file found unchanged is settled where it is listed,
// without a worker's look at it. Only what was read says "unchanged": a
// file not read yet, not found or different is looked at as before.
#ifndef AGENTCLI_FOLDER_SCANS_H
#define AGENTCLI_FOLDER_SCANS_H

#include "confined_local.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace agentcli {

class FolderScans {
public:
    // A folder of more entries than this is not kept: its files are looked
    // at one by one, and memory stays bounded.
    static constexpr size_t kMostEntries = 65536;

    explicit FolderScans(const ConfinedRoot &root) : root_(root) {}
    ~FolderScans();
    FolderScans(const FolderScans &) = delete;
    FolderScans &operator=(const FolderScans &) = delete;

    // Reads the folder `local` (below the root) soon, on the scanning thread.
    void Start(const std::string &local);
    // True when the folder's read found the file `local` regular, of this
    // size and last-write time (not 0); false when it did not, or has not
    // been read yet.
    bool Unchanged(const std::string &local, uint64_t size, uint64_t lastWrite);
    // The folder's entries are needed no more.
    void Forget(const std::string &local);

private:
    struct Scan {
        bool done = false;
        std::vector<LocalEntry> entries; // sorted by name; empty when the read failed
    };
    void Run();

    const ConfinedRoot &root_;
    std::mutex mutex_;
    std::condition_variable work_;
    // By the folder's local path; looked up by a view into a file's path.
    std::map<std::string, std::shared_ptr<Scan>, std::less<>> scans_;
    std::deque<std::string> queue_;
    std::thread thread_;
    bool stop_ = false;
    bool unable_ = false; // the thread could not be started
};

} // namespace agentcli

#endif
