// backup: a remote folder tree into a local folder, with progress on a
// terminal, a summary, and every file that could not be copied.
#include "backup_engine.h"
#include "cli_common.h"
#include "commands.h"
#include "win32_messages.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace agentcli {

namespace {

// Redraws one status line on stderr until stopped.
class ProgressLine {
public:
    explicit ProgressLine(const BackupProgress &p) : progress_(p), thread_([this] { Loop(); }) {}
    ~ProgressLine()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        thread_.join();
        std::fprintf(stderr, "\r%*s\r", 100, "");
    }

private:
    void Loop()
    {
        const auto start = std::chrono::steady_clock::now();
        std::unique_lock<std::mutex> lock(mutex_);
        while (!wake_.wait_for(lock, std::chrono::milliseconds(250), [this] { return stop_; })) {
            const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            const uint64_t bytes = progress_.bytesDone;
            std::fprintf(stderr, "\r  %llu/%llu files  %s/%s  %.1f MiB/s   ",
                         static_cast<unsigned long long>(progress_.filesDone.load()),
                         static_cast<unsigned long long>(progress_.filesTotal.load()), FormatBytes(bytes).c_str(),
                         FormatBytes(progress_.bytesTotal).c_str(), s > 0 ? bytes / 1048576.0 / s : 0.0);
            std::fflush(stderr);
        }
    }

    const BackupProgress &progress_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread thread_;
};

} // namespace

int RunBackup(const Args &args, AGENT_LOGON logon)
{
    BackupOptions options;
    if (!RemotePath(args.positional[0], options.remoteRoot))
        return kExitUsage;
    options.localRoot = args.positional[1];
    unsigned long jobs = options.jobs, chunk = options.chunkSize;
    if (!ParseNumber(args.Value("--jobs", std::to_string(jobs)), 1, 64, jobs))
        return UsageError("--jobs wants a number from 1 to 64");
    if (!ParseNumber(args.Value("--chunk-size", std::to_string(chunk)), 512, 64ul << 20, chunk))
        return UsageError("--chunk-size wants bytes from 512 to 67108864");
    options.jobs = static_cast<unsigned>(jobs);
    options.chunkSize = chunk;
    const bool showProgress = args.Has("--progress") || (!args.Has("--no-progress") && ::isatty(2));
    BackupProgress progress;
    BackupReport report;
    {
        std::unique_ptr<ProgressLine> line;
        if (showProgress)
            line = std::make_unique<ProgressLine>(progress);
        report = RunBackup(logon, options, &progress);
    }
    if (report.fatal != 0)
        return Fail("backup of " + args.positional[0], report.fatal);
    for (const BackupFailure &f : report.failures)
        std::fprintf(stderr, "FAILED %s (%s): %s\n", f.remotePath.c_str(), f.where.c_str(),
                     DescribeError(f.error).c_str());
    const double rate = report.seconds > 0 ? report.bytes / 1048576.0 / report.seconds : 0;
    std::printf("backup %s -> %s: %llu files, %llu folders, %s in %.2f s (%.1f MiB/s), %zu failed\n",
                args.positional[0].c_str(), options.localRoot.c_str(), static_cast<unsigned long long>(report.files),
                static_cast<unsigned long long>(report.folders), FormatBytes(report.bytes).c_str(), report.seconds,
                rate, report.failures.size());
    return report.failures.empty() ? kExitOk : kExitFailed;
}

} // namespace agentcli
