#include "progress_line.h"

#include "local_files.h"

#include <chrono>
#include <cstdio>

namespace agentcli {

bool WantProgress(const Args &args)
{
    return args.Has("--progress") || (!args.Has("--no-progress") && IsTerminal(stderr));
}

std::unique_ptr<ProgressLine> StartProgress(const Args &args, BackupProgress &progress, uint64_t files,
                                            uint64_t bytes)
{
    if (!WantProgress(args))
        return nullptr;
    progress.filesTotal = files;
    progress.bytesTotal = bytes;
    return std::make_unique<ProgressLine>(progress);
}

ProgressLine::ProgressLine(const BackupProgress &progress) : progress_(progress), thread_([this] { Loop(); }) {}

ProgressLine::~ProgressLine()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
    std::fprintf(stderr, "\r%*s\r", 100, "");
    std::fflush(stderr);
}

void ProgressLine::Loop()
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

} // namespace agentcli
