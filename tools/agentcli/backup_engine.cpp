#include "backup_engine.h"

#include "remote_copy.h"

#include <chrono>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>

namespace agentcli {

namespace fs = std::filesystem;

namespace {

constexpr DWORD kAttributeDirectory = 0x10;
constexpr DWORD kAttributeReparsePoint = 0x400;
constexpr uint32_t kNoMoreFiles = 18;

struct FileJob {
    WString remote;
    std::string local;
    uint64_t size = 0;
};

WString JoinRemote(const WString &folder, const WString &name)
{
    WString out = folder;
    if (out.empty() || out.back() != static_cast<WCHAR>('\\'))
        out += static_cast<WCHAR>('\\');
    return out + name;
}

class TreeCopier {
public:
    TreeCopier(AGENT_LOGON logon, const BackupOptions &options, BackupProgress *progress, BackupReport &report)
        : logon_(logon), options_(options), progress_(progress), report_(report)
    {
    }

    void Fail(const WString &remote, uint32_t error, const std::string &where)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        report_.failures.push_back({Narrow(remote), error, where});
    }

    // Lists a remote folder into jobs and subfolders, depth first.
    void Walk(const WString &remote, const std::string &local)
    {
        std::error_code ec;
        fs::create_directories(fs::u8path(local), ec);
        if (ec) {
            Fail(remote, 5, "local folder");
            return;
        }
        ++report_.folders;
        WIN32_FIND_DATAW data;
        std::memset(&data, 0, sizeof data);
        const WString pattern = JoinRemote(remote, WidenOrEmpty("*"));
        HANDLE search = AgentFindFirstFileW(logon_, pattern.c_str(), &data);
        if (search == nullptr) {
            const uint32_t error = GetLastError();
            if (error != kNoMoreFiles)
                Fail(remote, error, "list");
            return;
        }
        std::vector<std::pair<WString, std::string>> folders;
        for (;;) {
            const WString name(data.cFileName);
            const bool dot = name == WidenOrEmpty(".") || name == WidenOrEmpty("..");
            if (!dot) {
                const WString child = JoinRemote(remote, name);
                if (!IsSafeName(name)) {
                    Fail(child, 123, "unsafe name");
                } else {
                    const std::string childLocal = (fs::u8path(local) / fs::u8path(Narrow(name))).u8string();
                    if (data.dwFileAttributes & kAttributeDirectory) {
                        // Junctions would make the walk loop or leave the tree.
                        if (!(data.dwFileAttributes & kAttributeReparsePoint))
                            folders.emplace_back(child, childLocal);
                    } else {
                        FileJob job{child, childLocal,
                                    (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow};
                        if (progress_ != nullptr) {
                            ++progress_->filesTotal;
                            progress_->bytesTotal += job.size;
                        }
                        jobs_.push_back(std::move(job));
                    }
                }
            }
            std::memset(&data, 0, sizeof data);
            if (!AgentFindNextFileW(search, &data)) {
                const uint32_t error = GetLastError();
                if (error != kNoMoreFiles)
                    Fail(remote, error, "list");
                break;
            }
        }
        AgentCloseHandle(logon_, search);
        for (const auto &f : folders)
            Walk(f.first, f.second);
    }

    void AddSingleFile(const WString &remote, const std::string &local, uint64_t size)
    {
        if (progress_ != nullptr) {
            ++progress_->filesTotal;
            progress_->bytesTotal += size;
        }
        jobs_.push_back({remote, local, size});
    }

    void CopyAll()
    {
        std::atomic<size_t> next{0};
        std::atomic<uint64_t> localBytes{0};
        auto worker = [&] {
            for (;;) {
                const size_t i = next++;
                if (i >= jobs_.size())
                    return;
                const FileJob &job = jobs_[i];
                const CopyResult r = CopyRemoteFile(logon_, job.remote, job.local,
                                                    progress_ != nullptr ? &progress_->bytesDone : &localBytes);
                if (r.error != 0) {
                    Fail(job.remote, r.error, r.where);
                    continue;
                }
                std::lock_guard<std::mutex> lock(mutex_);
                ++report_.files;
                report_.bytes += r.bytes;
                if (progress_ != nullptr)
                    ++progress_->filesDone;
            }
        };
        const unsigned count = std::max(1u, std::min<unsigned>(options_.jobs, 64));
        std::vector<std::thread> threads;
        for (unsigned i = 1; i < count; ++i)
            threads.emplace_back(worker);
        worker();
        for (std::thread &t : threads)
            t.join();
    }

private:
    AGENT_LOGON logon_;
    const BackupOptions &options_;
    BackupProgress *progress_;
    BackupReport &report_;
    std::mutex mutex_;
    std::vector<FileJob> jobs_;
};

} // namespace

bool IsSafeName(const WString &name)
{
    if (name.empty() || name == WidenOrEmpty(".") || name == WidenOrEmpty(".."))
        return false;
    for (WCHAR c : name)
        if (c == static_cast<WCHAR>('/') || c == static_cast<WCHAR>('\\') || c == 0 || c == static_cast<WCHAR>(':'))
            return false;
    return true;
}

BackupReport RunBackup(AGENT_LOGON logon, const BackupOptions &options, BackupProgress *progress)
{
    BackupReport report;
    const auto start = std::chrono::steady_clock::now();
    TreeCopier copier(logon, options, progress, report);
    WIN32_FILE_ATTRIBUTE_DATA root;
    std::memset(&root, 0, sizeof root);
    if (!AgentGetFileAttributesExW(logon, options.remoteRoot.c_str(), &root)) {
        report.fatal = GetLastError();
        return report;
    }
    if (root.dwFileAttributes & kAttributeDirectory) {
        copier.Walk(options.remoteRoot, options.localRoot);
    } else {
        // A single file lands in the local folder under its own name.
        std::error_code ec;
        fs::create_directories(fs::u8path(options.localRoot), ec);
        const size_t slash = options.remoteRoot.find_last_of(static_cast<WCHAR>('\\'));
        const WString name = slash == WString::npos ? options.remoteRoot : options.remoteRoot.substr(slash + 1);
        if (!IsSafeName(name)) {
            report.fatal = 123;
            return report;
        }
        copier.AddSingleFile(options.remoteRoot, (fs::u8path(options.localRoot) / fs::u8path(Narrow(name))).u8string(),
                             (static_cast<uint64_t>(root.nFileSizeHigh) << 32) | root.nFileSizeLow);
    }
    copier.CopyAll();
    report.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return report;
}

} // namespace agentcli
