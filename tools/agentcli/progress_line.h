// One status line on stderr, redrawn four times a second while a copy
// runs: files and bytes done of the total, and the rate.
#ifndef AGENTCLI_PROGRESS_LINE_H
#define AGENTCLI_PROGRESS_LINE_H

#include "backup_engine.h"
#include "cli_common.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace agentcli {

// --progress forces the line, --no-progress suppresses it; otherwise it is
// drawn when stderr is a terminal.
bool WantProgress(const Args &args);

class ProgressLine;
// A line for a copy of `files` files and `bytes` bytes, or null when no
// progress is wanted.
std::unique_ptr<ProgressLine> StartProgress(const Args &args, BackupProgress &progress, uint64_t files,
                                            uint64_t bytes);

class ProgressLine {
public:
    explicit ProgressLine(const BackupProgress &progress);
    ~ProgressLine(); // stops and clears the line
    ProgressLine(const ProgressLine &) = delete;
    ProgressLine &operator=(const ProgressLine &) = delete;

private:
    void Loop();

    const BackupProgress &progress_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread thread_;
};

} // namespace agentcli

#endif
