#include "backup_verify.h"

#include "local_files.h"
#include "parallel_jobs.h"
#include "remote_info.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

namespace agentcli {

namespace {

constexpr uint32_t kInvalidData = 13; // the copy does not hold what the agent does
constexpr DWORD kGenericRead = 0x80000000u;
constexpr DWORD kFileShareRead = 1;
constexpr DWORD kOpenExisting = 3;
constexpr DWORD kAttributeNormal = 0x80;

struct FileCloser {
    void operator()(std::FILE *f) const { std::fclose(f); }
};

class Checker : public TreeSink {
public:
    Checker(AGENT_LOGON logon, const BackupOptions &options, bool content, BackupProgress *progress,
            BackupReport &report, Tally &tally)
        : logon_(logon), options_(options), content_(content), progress_(progress), report_(report), tally_(tally)
    {
    }

    bool Folder(const FolderEntry &folder) override
    {
        if (!IsLocalFolder(folder.local)) {
            tally_.Fail(folder.remote, kLocalPathNotFound, "missing folder", std::string(), false);
            return false;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        ++report_.folders;
        return false;
    }

    void Found(const FileEntry &file) override
    {
        if (progress_ != nullptr) {
            ++progress_->filesTotal;
            progress_->bytesTotal += file.size;
        }
    }

    void Files(std::vector<FileEntry> &batch) override
    {
        RunParallel(batch.size(), options_.jobs, [&](size_t i) { CheckOne(batch[i]); });
    }

private:
    void CheckOne(const FileEntry &file)
    {
        if (options_.control != nullptr && options_.control->Stopped())
            return;
        uint64_t size = file.size, lastWrite = file.lastWrite;
        if (file.link) {
            const uint32_t error = ReadTargetStamp(logon_, file.remote, size, lastWrite);
            SkipCause cause;
            if (error != 0 && LinkSkipCause(error, cause)) {
                tally_.Skip(file.remote, cause, false);
                return;
            }
            if (error != 0)
                return Fail(file, error, "open");
        }
        LocalStamp stamp;
        const uint32_t error = ReadLocalStamp(file.local, stamp);
        if (error != 0)
            return Fail(file, error, "local file");
        if (!stamp.exists || !stamp.regular)
            return Fail(file, kLocalFileNotFound, "missing");
        if (stamp.size != size)
            return Fail(file, kInvalidData,
                        ("size (local " + std::to_string(stamp.size) + ", agent " + std::to_string(size) + " bytes)")
                            .c_str());
        if (stamp.lastWrite != lastWrite)
            return Fail(file, kInvalidData, "last-write time");
        if (content_) {
            std::string where;
            const uint32_t differs = CompareContent(file, where);
            if (differs != 0)
                return Fail(file, differs, where.c_str());
        } else if (progress_ != nullptr) {
            progress_->bytesDone += size;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        ++report_.files;
        report_.bytes += size;
        if (progress_ != nullptr)
            ++progress_->filesDone;
    }

    // 0 when the local file holds exactly the remote bytes.
    uint32_t CompareContent(const FileEntry &file, std::string &where)
    {
        HANDLE handle = AgentCreateFileW(logon_, file.remote.c_str(), kGenericRead, kFileShareRead, kOpenExisting,
                                         kAttributeNormal);
        if (handle == nullptr) {
            where = "open";
            return GetLastError();
        }
        std::unique_ptr<std::FILE, FileCloser> local(OpenLocalForRead(file.local));
        uint32_t result = 0;
        if (!local) {
            where = "local file";
            result = Win32FromErrno(errno, file.local);
        }
        const size_t chunk = std::min<size_t>(std::max<size_t>(options_.chunkSize, 4096), 64u << 20);
        std::vector<char> remoteBytes(chunk), localBytes(chunk);
        uint64_t offset = 0;
        while (result == 0) {
            DWORD got = 0;
            if (!AgentReadFilePosition(handle, remoteBytes.data(), static_cast<DWORD>(chunk), &got,
                                       static_cast<DWORD>(offset), static_cast<DWORD>(offset >> 32))) {
                where = "read";
                result = GetLastError();
                break;
            }
            const size_t have = std::fread(localBytes.data(), 1, got == 0 ? 1 : got, local.get());
            if (got == 0) {
                if (have != 0) {
                    where = "content (local copy is longer)";
                    result = kInvalidData;
                }
                break;
            }
            if (have != got || std::memcmp(remoteBytes.data(), localBytes.data(), got) != 0) {
                where = "content (differs within bytes " + std::to_string(offset) + " to " +
                        std::to_string(offset + got) + ")";
                result = kInvalidData;
                break;
            }
            offset += got;
            if (progress_ != nullptr)
                progress_->bytesDone += got;
        }
        AgentCloseHandle(logon_, handle);
        return result;
    }

    void Fail(const FileEntry &file, uint32_t error, const char *where)
    {
        tally_.Fail(file.remote, error, where, std::string(), false);
    }

    AGENT_LOGON logon_;
    const BackupOptions &options_;
    bool content_;
    BackupProgress *progress_;
    BackupReport &report_;
    Tally &tally_;
    std::mutex mutex_;
};

} // namespace

BackupReport VerifyBackup(AGENT_LOGON logon, const BackupOptions &options, bool content, BackupProgress *progress)
{
    const auto start = std::chrono::steady_clock::now();
    BackupReport report;
    TreeListing whole;
    Tally tally(report, options.control, options.onListing ? &whole : nullptr);
    Checker checker(logon, options, content, progress, report, tally);
    report.fatal = StreamTree(logon, WalkOf(options, 1, &whole), tally, checker);
    if (options.onListing)
        options.onListing(whole);
    report.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return report;
}

} // namespace agentcli
