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
    if (connection.SendEncoded(OpGetDiskFreeSpace, [&](ACE_OutputCDR &out) {
            return protocol::EncodeGetDiskFreeSpaceRequest(out, path);
        }) != 0)
        return -1;
    MessageHeader header;
    ACE_InputCDR *in = connection.Receive(ReplyShape::Minimum(OpGetDiskFreeSpace, 4), header);
    if (in == nullptr)
        return -1;
    // Any success reply but the 20-byte one delivers zeros.
    protocol::GetDiskFreeSpaceReply space;
    if (!protocol::DecodeGetDiskFreeSpaceReply(*in, space)) {
        SetLastError(ERROR_INVALID_DATA);
        return -1;
    }
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
        return RunOnPooledConnection(logon, [&](AgentConnection &connection) {
                   return GetDiskFreeSpace(connection, path, sectorsPerCluster, bytesPerSector, freeClusters,
                                           totalClusters);
               }) == 0
                   ? 1
                   : 0;
    }, Record::Never);
}

} // extern "C"
