// AgentCopyFileFromAgent: a remote file into a new local file, in chunks
// read at explicit offsets through the file-handle exports; and
// AgentCopyFileFromAgentExW, the fast copy of copy/copy_file_ex.cpp.
#include "copy/copy_file_ex.h"
#include "copy/copy_handles.h"
#include "protocol/wide_string.h"
#include "session/export_frame.h"

#include <cstdint>

using namespace agent;

namespace {

constexpr DWORD kChunkSize = 4096;
constexpr DWORD kFromStart = 0; // FILE_BEGIN

// The chunk loop. 0 at the end of the file; -1 on the first failure, with
// its cause in the thread's last error.
int CopyChunks(HANDLE remote, HANDLE local)
{
    unsigned char chunk[kChunkSize];
    uint64_t position = 0;
    for (;;) {
        DWORD n = 0;
        if (!AgentReadFilePosition(remote, chunk, kChunkSize, &n, static_cast<DWORD>(position),
                                   static_cast<DWORD>(position >> 32)))
            return -1;
        position += n;
        // The agent's file pointer follows the copy. An agent that reports
        // another position than the one asked for would make the next read
        // skip or repeat data: the copy stops rather than write a file with
        // a hole or a repeat in it.
        LARGE_INTEGER target;
        target.u.LowPart = static_cast<DWORD>(position);
        target.u.HighPart = static_cast<LONG>(position >> 32);
        LARGE_INTEGER reported = target;
        if (!AgentSetFilePointerEx(remote, target, &reported, kFromStart))
            return -1;
        if ((static_cast<uint64_t>(static_cast<uint32_t>(reported.u.HighPart)) << 32 | reported.u.LowPart) !=
            position) {
            SetLastError(ERROR_INVALID_DATA);
            return -1;
        }
        DWORD written = 0;
        if (!WriteFile(local, chunk, n, &written, nullptr))
            return -1;
        if (written != n) {
            SetLastError(ERROR_WRITE_FAULT);
            return -1;
        }
        if (n < kChunkSize)
            return 0;
    }
}

BOOL CopyFromAgent(AgentLogon *logon, const WCHAR *remotePath, const WCHAR *localPath)
{
    // Occupies one connection for the whole call, and fails before the
    // local file is touched when the agent cannot be reached at all.
    ConnectionHolder held(logon);
    if (held.get() == nullptr)
        return 0;
    LocalFile local(CreateFileW(localPath, GENERIC_WRITE | FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!local.valid())
        return 0;
    RemoteFile remote(logon, AgentCreateFileW(logon, remotePath, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                                              FILE_ATTRIBUTE_NORMAL));
    if (remote.get() == nullptr)
        return 0;

    bool copied = CopyChunks(remote.get(), local.get()) == 0;
    DWORD cause = copied ? 0 : GetLastError();
    remote.Close();
    // A local file that cannot be closed may not hold what was written.
    if (!local.Close() && copied) {
        copied = false;
        cause = GetLastError();
    }
    if (copied)
        return 1;
    // The first failure is the cause, not whatever the closes left behind.
    SetLastError(cause);
    return 0;
}

} // namespace

extern "C" BOOL AGENTAPI AgentCopyFileFromAgent(AGENT_LOGON logon, const WCHAR *remote, const WCHAR *local)
{
    if (logon == nullptr || remote == nullptr || local == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return Guarded<BOOL>(0, [&] { return CopyFromAgent(logon, remote, local); });
}

extern "C" BOOL AGENTAPI AgentCopyFileFromAgentExW(AGENT_LOGON logon, const WCHAR *remotePath, const WCHAR *localPath,
                                                   AgentCopyProgressRoutine progress, void *context, BOOL *cancel,
                                                   DWORD flags)
{
    if (logon == nullptr || IsEmpty(remotePath) || IsEmpty(localPath) || (flags & ~copy_ex::kKnownFlags) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const copy_ex::CopyRequest request{logon, remotePath, localPath, progress, context, cancel, flags};
    return Guarded<BOOL>(0, [&] { return copy_ex::CopyFile(request); });
}
