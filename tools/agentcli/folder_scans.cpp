#include "folder_scans.h"

#include <algorithm>
#include <system_error>

namespace agentcli {

namespace {

// The folder part of a local path as the walk joins it, and the name:
// views into it, as every listed file is looked up.
bool SplitLocal(std::string_view local, std::string_view &folder, std::string_view &name)
{
    const size_t slash = local.find_last_of("/\\");
    if (slash == std::string_view::npos)
        return false;
    folder = local.substr(0, slash);
    name = local.substr(slash + 1);
    return true;
}

} // namespace

FolderScans::~FolderScans()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    work_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

void FolderScans::Start(const std::string &local)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (unable_ || !scans_.emplace(local, std::make_shared<Scan>()).second)
        return;
    queue_.push_back(local);
    if (!thread_.joinable()) {
        try {
            thread_ = std::thread(&FolderScans::Run, this);
        } catch (const std::system_error &) {
            // No thread to spare: every file is looked at one by one.
            unable_ = true;
            scans_.clear();
            queue_.clear();
            return;
        }
    }
    work_.notify_one();
}

bool FolderScans::Unchanged(const std::string &local, uint64_t size, uint64_t lastWrite)
{
    std::string_view folder, name;
    if (lastWrite == 0 || !SplitLocal(local, folder, name))
        return false;
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = scans_.find(folder);
    if (it == scans_.end() || !it->second->done)
        return false;
    const std::vector<LocalEntry> &entries = it->second->entries;
    const auto found = std::lower_bound(entries.begin(), entries.end(), name,
                                        [](const LocalEntry &e, std::string_view n) { return e.name < n; });
    return found != entries.end() && found->name == name && found->kind == LocalEntry::Kind::File &&
           found->size == size && found->lastWrite == lastWrite;
}

void FolderScans::Forget(const std::string &local)
{
    std::lock_guard<std::mutex> lock(mutex_);
    scans_.erase(local);
}

void FolderScans::Run()
{
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        work_.wait(lock, [&] { return stop_ || !queue_.empty(); });
        if (stop_)
            return;
        const std::string local = std::move(queue_.front());
        queue_.pop_front();
        const auto it = scans_.find(local);
        if (it == scans_.end())
            continue; // forgotten before its turn
        const std::shared_ptr<Scan> scan = it->second;
        lock.unlock();
        std::vector<LocalEntry> entries;
        // A failed read (a folder gone, a link planted) leaves nothing to
        // settle: its files are looked at one by one.
        if (root_.List(local, entries, kMostEntries) != 0)
            entries.clear();
        lock.lock();
        scan->entries = std::move(entries);
        scan->done = true;
    }
}

} // namespace agentcli
