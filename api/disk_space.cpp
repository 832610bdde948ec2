// AgentGetDiskFreeSpace.
#include "transport/agent_connection.h"
#include "protocol/wide_string.h"
#include "session/export_frame.h"

namespace agent {

namespace {

struct DiskSpace {
    DWORD sectorsPerCluster = 0;
    DWORD bytesPerSector = 0;
    DWORD freeClusters = 0;
    DWORD totalClusters = 0;
};

// Status, then the four values only when the payload is exactly their size:
// any other success reply delivers zeros.
bool ReadDiskSpace(ACE_InputCDR &in, uint32_t length, ACE_CDR::ULong &status, DiskSpace &space)
{
    if (!in.read_ulong(status))
        return false;
    if (status != 0 || length != 20)
        return true;
    ACE_CDR::ULong v[4] = {};
    if (!in.read_ulong_array(v, 4))
        return false;
    space.sectorsPerCluster = v[0];
    space.bytesPerSector = v[1];
    space.freeClusters = v[2];
    space.totalClusters = v[3];
    return true;
}

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
    if (connection.SendStringRequest(OpGetDiskFreeSpace, path) != 0)
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
    ACE_CDR::ULong status = 0;
    DiskSpace space;
    if (!ReadDiskSpace(in, header.length, status, space))
        return -1;
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
