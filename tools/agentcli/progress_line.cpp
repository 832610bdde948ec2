#include "progress_line.h"

#include "local_files.h"

#include <algorithm>
#include <chrono>

namespace agentcli {

namespace {

// Serialises the line's redraws with messages printed above it.
std::mutex g_outputMutex;
size_t g_drawn = 0; // width of the line now on the terminal

// Without a terminal to ask (--progress into a file), a width that fits
// the smallest terminals.
constexpr int kDefaultColumns = 80;

std::string Duration(double seconds)
{
    char text[32];
    const long s = static_cast<long>(seconds + 0.5);
    if (s >= 3600)
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    else
        std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
    return text;
}

void ClearLocked(std::FILE *stream)
{
    if (g_drawn == 0)
        return;
    std::fprintf(stream, "\r%*s\r", static_cast<int>(g_drawn), "");
    g_drawn = 0;
}

} // namespace

bool WantProgress(const Args &args)
{
    return args.Has("--progress") || (!args.Has("--no-progress") && !args.Quiet() && IsTerminal(stderr));
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

std::string RenderProgress(uint64_t filesDone, uint64_t filesTotal, uint64_t bytesDone, uint64_t bytesTotal,
                           double seconds, int columns, uint64_t resumed)
{
    const double rate = seconds > 0 ? (bytesDone - std::min(resumed, bytesDone)) / seconds : 0;
    std::string percent, eta;
    if (bytesTotal > 0) {
        char text[16];
        std::snprintf(text, sizeof text, "%3d%%",
                      static_cast<int>(std::min<uint64_t>(bytesDone, bytesTotal) * 100 / bytesTotal));
        percent = text;
        if (rate > 0 && bytesDone < bytesTotal)
            eta = "ETA " + Duration((bytesTotal - bytesDone) / rate);
    }
    char speed[32];
    std::snprintf(speed, sizeof speed, "%.1f MiB/s", rate / 1048576.0);
    // Pieces in the order they are given up when the terminal is narrow:
    // the most telling first.
    const std::string pieces[] = {
        percent,
        eta,
        speed,
        std::to_string(filesDone) + "/" + std::to_string(filesTotal) + " files",
        FormatBytes(bytesDone) + "/" + FormatBytes(bytesTotal),
    };
    const size_t limit = columns > 0 ? static_cast<size_t>(columns) - 1 : SIZE_MAX; // the last column would wrap
    std::string line;
    for (const std::string &piece : pieces) {
        if (piece.empty())
            continue;
        const std::string next = line.empty() ? piece : line + "  " + piece;
        if (next.size() <= limit)
            line = next;
    }
    return line.substr(0, limit);
}

void PrintFailure(const std::string &line) { PrintAboveProgress(stderr, Printable(line) + "\n"); }
void PrintListed(const std::string &line) { PrintAboveProgress(stdout, Printable(line) + "\n"); }

void PrintAboveProgress(std::FILE *stream, const std::string &line)
{
    std::lock_guard<std::mutex> lock(g_outputMutex);
    ClearLocked(stderr);
    std::fputs(line.c_str(), stream);
    std::fflush(stream);
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
    std::lock_guard<std::mutex> lock(g_outputMutex);
    if (g_drawn == 0)
        std::fputc('\r', stderr);
    ClearLocked(stderr);
    std::fflush(stderr);
}

void ProgressLine::Loop()
{
    const auto start = std::chrono::steady_clock::now();
    std::unique_lock<std::mutex> lock(mutex_);
    while (!wake_.wait_for(lock, std::chrono::milliseconds(250), [this] { return stop_; })) {
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const int columns = TerminalColumns(stderr);
        const std::string text =
            RenderProgress(progress_.filesDone, progress_.filesTotal, progress_.bytesDone, progress_.bytesTotal, s,
                           columns > 0 ? columns : kDefaultColumns, progress_.bytesResumed);
        std::lock_guard<std::mutex> output(g_outputMutex);
        // Redrawn over the old line, padded where the old one was longer.
        const int pad = g_drawn > text.size() ? static_cast<int>(g_drawn - text.size()) : 0;
        std::fprintf(stderr, "\r%s%*s", text.c_str(), pad, "");
        g_drawn = text.size();
        std::fflush(stderr);
    }
}

} // namespace agentcli
