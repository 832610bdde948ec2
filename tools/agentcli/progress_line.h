// One status line on stderr, redrawn in place four times a second while a
// copy runs: files and bytes done of the total, percentage, rate and the
// time left, clipped to the terminal's width so it never wraps.
#ifndef AGENTCLI_PROGRESS_LINE_H
#define AGENTCLI_PROGRESS_LINE_H

#include "backup_engine.h"
#include "cli_common.h"

#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>

namespace agentcli {

// --progress forces the line, --no-progress (and --quiet) suppress it;
// otherwise it is drawn when stderr is a terminal.
bool WantProgress(const Args &args);

class ProgressLine;
// A line for a copy of `files` files and `bytes` bytes, or null when no
// progress is wanted.
std::unique_ptr<ProgressLine> StartProgress(const Args &args, BackupProgress &progress, uint64_t files,
                                            uint64_t bytes);

// The text of one redraw, at most `columns` characters (0: no limit). The
// rate counts only bytes transferred: not the `resumed` ones a partial file
// already held.
std::string RenderProgress(uint64_t filesDone, uint64_t filesTotal, uint64_t bytesDone, uint64_t bytesTotal,
                           double seconds, int columns, uint64_t resumed = 0);

// Prints a whole line to `stream`, clearing the progress line first (it is
// drawn again at its next turn), so messages and the line never mix.
void PrintAboveProgress(std::FILE *stream, const std::string &line);
// A failure (stderr) or a listed name (stdout) as a line, made printable.
void PrintFailure(const std::string &line);
void PrintListed(const std::string &line);

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

// Runs `run` with the progress line drawn while it lasts, when wanted.
template <typename Run>
auto WithProgress(const Args &args, const BackupProgress &progress, Run run) -> decltype(run())
{
    std::unique_ptr<ProgressLine> line;
    if (WantProgress(args))
        line = std::make_unique<ProgressLine>(progress);
    return run();
}

} // namespace agentcli

#endif
