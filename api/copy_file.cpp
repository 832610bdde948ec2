// AgentCopyFileFromAgent: a remote file into a local file, in chunks read
// at explicit offsets through the file-handle exports, by way of a partial
// file that takes the local name only when complete; and
// AgentCopyFileFromAgentExW, the fast copy of copy/copy_file_ex.cpp; and
// its mirror AgentCopyFileToAgentExW (copy/copy_to_agent.cpp).
#include "api/copy_file.h"
#include "copy/copy_file_ex.h"
#include "copy/copy_to_agent.h"
#include "copy/copy_handles.h"
#include "protocol/wide_string.h"
#include "session/export_frame.h"
#include "transport/call_watch.h"

#include <cstdint>

using namespace agent;

namespace {

constexpr DWORD kChunkSize = 4096;
constexpr DWORD kFromStart = 0; // FILE_BEGIN

// The checks both Ex copies make before any exchange: a logon, two paths
// and only flags they know. False with ERROR_INVALID_PARAMETER set.
bool ValidCopyArguments(AGENT_LOGON logon, const WCHAR *from, const WCHAR *to, DWORD flags)
{
    if (logon != nullptr && !IsEmpty(from) && !IsEmpty(to) && (flags & ~copy_ex::kKnownFlags) == 0)
        return true;
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
}

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

// The copy while the caller holds a connection of the logon.
BOOL CopyHeld(AgentLogon *logon, const WCHAR *remotePath, const platform::LocalFolder &folder, const WCHAR *name)
{
    const CallWatchFor watch(nullptr, logon->speed);
    // AgentCreateFileW records its own failure. Nothing local exists yet,
    // so a refused open leaves no trace.
    RemoteFile remote(logon, AgentCreateFileW(logon, remotePath, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                                              FILE_ATTRIBUTE_NORMAL));
    if (remote.get() == nullptr) {
        // Memory ran out in this call: the connection it holds is given up
        // as after any other allocation failure.
        if (GetLastError() == ERROR_NOT_ENOUGH_MEMORY)
            NoteOutOfMemory();
        return 0;
    }
    // The copy goes to a partial file: whatever the local name held stays
    // until the whole file is there.
    const copy_ex::RemoteVersion unknown; // no time is taken from the agent
    copy_ex::PartialFile partial(folder, name, 0);
    bool copied = partial.Open(unknown) == 0 && CopyChunks(remote.get(), partial.handle()) == 0;
    DWORD cause = copied ? 0 : GetLastError();
    remote.Close();
    if (copied && partial.Finish(unknown) != 0) {
        copied = false;
        cause = GetLastError();
    }
    if (copied)
        return 1;
    partial.Abandon(copy_ex::Ending::Failed, unknown, 0);
    // The first failure is the cause, not whatever the closes left behind.
    SetLastError(cause);
    return 0;
}

BOOL CopyFromAgent(AgentLogon *logon, const WCHAR *remotePath, const WCHAR *localPath)
{
    // Occupies one connection for the whole call, and fails before the
    // local file is touched when the agent cannot be reached at all; a
    // folder that cannot be opened fails before the agent is asked
    // anything.
    ConnectionHolder held(logon);
    if (held.get() == nullptr)
        return 0;
    platform::LocalFolder folder;
    const WCHAR *name = nullptr;
    if (copy_ex::OpenFolderOf(localPath, folder, &name) != 0)
        return 0;
    return CopyHeld(logon, remotePath, folder, name);
}

} // namespace

BOOL agent::CopyFromAgentInto(AgentLogon *logon, const WCHAR *remotePath, const platform::LocalFolder &folder,
                              const WCHAR *name)
{
    ConnectionHolder held(logon);
    if (held.get() == nullptr)
        return 0;
    return CopyHeld(logon, remotePath, folder, name);
}

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
    if (!ValidCopyArguments(logon, remotePath, localPath, flags))
        return 0;
    const copy_ex::CopyRequest request{{logon, progress, context, cancel, flags}, remotePath, nullptr, nullptr, nullptr};
    return Guarded<BOOL>(0, [&] { return copy_ex::CopyFile(request, localPath); });
}

extern "C" BOOL AGENTAPI AgentCopyFileToAgentExW(AGENT_LOGON logon, const WCHAR *localPath, const WCHAR *remotePath,
                                                 AgentCopyProgressRoutine progress, void *context, BOOL *cancel,
                                                 DWORD flags)
{
    if (!ValidCopyArguments(logon, localPath, remotePath, flags))
        return 0;
    const copy_to::CopyRequest request{{logon, progress, context, cancel, flags}, localPath, remotePath};
    return Guarded<BOOL>(0, [&] { return copy_to::CopyToAgent(request); });
}
