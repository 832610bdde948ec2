#include "remote_copy.h"

#include "wide_text.h"

namespace agentcli {

namespace {

constexpr uint32_t kInvalidName = 123;

// Turns the library's running total into additions to the caller's counter.
struct Counter {
    std::atomic<uint64_t> *total;
    uint64_t seen = 0;
    uint64_t size = 0;

    static DWORD AGENTAPI Progress(ULONGLONG totalBytes, ULONGLONG bytesCopied, void *context)
    {
        auto *self = static_cast<Counter *>(context);
        self->size = totalBytes;
        if (self->total != nullptr && bytesCopied > self->seen)
            *self->total += bytesCopied - self->seen;
        if (bytesCopied > self->seen)
            self->seen = bytesCopied;
        return PROGRESS_CONTINUE;
    }
};

} // namespace

std::string PartialName(const std::string &finalPath) { return finalPath + ".agent-partial"; }

CopyResult CopyRemoteFile(AGENT_LOGON logon, const std::basic_string<WCHAR> &remote, const std::string &localPath,
                          std::atomic<uint64_t> *progress, CopyMode mode)
{
    CopyResult result;
    WString local;
    if (!Widen(localPath, local)) {
        result.error = kInvalidName;
        result.where = "local path";
        return result;
    }
    Counter counter{progress};
    const DWORD flags = mode == CopyMode::Restartable ? COPY_FILE_RESTARTABLE : 0;
    if (!AgentCopyFileFromAgentExW(logon, remote.c_str(), local.c_str(), &Counter::Progress, &counter, nullptr,
                                   flags)) {
        result.error = GetLastError();
        result.where = "copy";
        return result;
    }
    result.bytes = counter.size;
    return result;
}

CopyResult PutLocalFile(AGENT_LOGON logon, const std::string &localPath, const std::basic_string<WCHAR> &remote,
                        std::atomic<uint64_t> *progress, CopyMode mode)
{
    CopyResult result;
    WString local;
    if (!Widen(localPath, local)) {
        result.error = kInvalidName;
        result.where = "local path";
        return result;
    }
    Counter counter{progress};
    const DWORD flags = mode == CopyMode::Restartable ? COPY_FILE_RESTARTABLE : 0;
    if (!AgentCopyFileToAgentExW(logon, local.c_str(), remote.c_str(), &Counter::Progress, &counter, nullptr, flags)) {
        result.error = GetLastError();
        result.where = "copy";
        return result;
    }
    result.bytes = counter.size;
    return result;
}

} // namespace agentcli
