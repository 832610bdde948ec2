#include "remote_copy.h"

#include "local_files.h"
#include "run_control.h"
#include "wide_text.h"

namespace agentcli {

namespace {

constexpr uint32_t kInvalidName = 123;
constexpr uint64_t kRestartRecordSize = 32;

// Turns the library's running total into additions to the caller's counter.
struct Counter {
    std::atomic<uint64_t> *total;
    std::atomic<uint64_t> *resumedTotal;
    uint64_t held = 0; // what a partial file held before the copy, if it is continued
    uint64_t seen = 0;
    uint64_t size = 0;
    uint64_t resumed = 0;
    bool first = true;

    static DWORD AGENTAPI Progress(ULONGLONG totalBytes, ULONGLONG bytesCopied, void *context)
    {
        auto *self = static_cast<Counter *>(context);
        self->size = totalBytes;
        // A continued copy reports its first chunk on top of what the
        // partial file held; one started over reports the chunk alone.
        if (self->first) {
            self->first = false;
            if (self->held != 0 && bytesCopied > self->held) {
                self->resumed = self->held;
                if (self->resumedTotal != nullptr)
                    *self->resumedTotal += self->held;
            }
        }
        if (self->total != nullptr && bytesCopied > self->seen)
            *self->total += bytesCopied - self->seen;
        if (bytesCopied > self->seen)
            self->seen = bytesCopied;
        // A signal stops the copy the way that keeps its partial file and
        // restart record, so the next run continues it.
        // A copy that holds every byte is let finish.
        return InterruptSignal() != 0 && bytesCopied < totalBytes ? PROGRESS_STOP : PROGRESS_CONTINUE;
    }
};

} // namespace

std::string PartialName(const std::string &finalPath) { return finalPath + ".agent-partial"; }

CopyResult CopyRemoteFile(AGENT_LOGON logon, const std::basic_string<WCHAR> &remote, const std::string &localPath,
                          std::atomic<uint64_t> *progress, CopyMode mode, std::atomic<uint64_t> *resumed)
{
    CopyResult result;
    WString local;
    if (!Widen(localPath, local)) {
        result.error = kInvalidName;
        result.where = "local path";
        return result;
    }
    Counter counter{progress, resumed};
    // A partial file ends in a 32-byte restart record after the bytes it holds.
    LocalStamp partial;
    if (mode == CopyMode::Restartable && ReadLocalStamp(PartialName(localPath), partial) == 0 && partial.exists &&
        partial.size > kRestartRecordSize)
        counter.held = partial.size - kRestartRecordSize;
    const DWORD flags = mode == CopyMode::Restartable ? COPY_FILE_RESTARTABLE : 0;
    if (!AgentCopyFileFromAgentExW(logon, remote.c_str(), local.c_str(), &Counter::Progress, &counter, nullptr,
                                   flags)) {
        result.error = GetLastError();
        result.where = "copy";
        return result;
    }
    result.bytes = counter.size;
    result.resumed = counter.resumed;
    return result;
}

} // namespace agentcli
