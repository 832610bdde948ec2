// AgentGetDiskFreeSpace.
#include "transport/agent_connection.h"
#include "protocol/search_messages.h"
#include "session/export_frame.h"

namespace agent {

namespace {

void Store(DWORD *out, DWORD value)
{
    if (out != nullptr)
        *out = value;
}

int GetDiskFreeSpace(AgentConnection &connection, const WCHAR *path, DWORD *sectorsPerCluster,
                     DWORD *bytesPerSector, DWORD *freeClusters, DWORD *totalClusters)
{
    if (IsEmpty(path)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    if (connection.state != Ready) {
        SetLastError(ERROR_INVALID_ACCESS);
        return -1;
    }
    ACE_OutputCDR &payload = connection.StartRequest(OpGetDiskFreeSpace);
    if (!protocol::EncodeGetDiskFreeSpaceRequest(payload, path)) {
        NoteOutOfMemory();
        return -1;
    }
    if (connection.SendStartedRequest() != 0)
        return -1;
    MessageHeader header;
    ACE_InputCDR *reply = connection.ReceiveReply(header);
    if (reply == nullptr)
        return -1;
    ACE_InputCDR &in = *reply;
    if (CheckReply(header, Reply, OpGetDiskFreeSpace) != 0 || header.length < 4) {
        connection.Break();
        return -1;
    }
    // Any success reply but the 20-byte one delivers zeros.
    protocol::GetDiskFreeSpaceReply space;
    if (!protocol::DecodeGetDiskFreeSpaceReply(in, space))
        return -1;
    const DWORD status = space.status;
    Store(sectorsPerCluster, space.sectorsPerCluster);
    Store(bytesPerSector, space.bytesPerSector);
    Store(freeClusters, space.freeClusters);
    Store(totalClusters, space.totalClusters);
    // Also on success, as GetDiskFreeSpaceW callers may look.
    SetLastError(status);
    return status == 0 ? 0 : -1;
}

} // namespace

} // namespace agent

using namespace agent;

extern "C" {

BOOL AGENTAPI AgentGetDiskFreeSpace(AGENT_LOGON logon, const WCHAR *path, DWORD *sectorsPerCluster,
                                    DWORD *bytesPerSector, DWORD *freeClusters, DWORD *totalClusters)
{
    if (logon == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return Guarded<BOOL>(0, [&]() -> BOOL {
        return RunOnPooledConnection(logon, Record::Never, [&](AgentConnection &connection) {
                   return GetDiskFreeSpace(connection, path, sectorsPerCluster, bytesPerSector, freeClusters,
                                           totalClusters);
               }) == 0
                   ? 1
                   : 0;
    }, Record::Never);
}

} // extern "C"
