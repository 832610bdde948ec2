// AgentFindFirstLogicalDriveW, AgentFindNextLogicalDriveW.
#include "api/logical_drives.h"

#include "session/pending_handle.h"
#include "protocol/entry_stream.h"
#include "protocol/search_messages.h"
#include "session/export_frame.h"

namespace agent {

int FindFirstDrive(AgentConnection &connection, AgentDriveInfo &info)
{
    if (connection.state != Ready) {
        SetLastError(ERROR_INVALID_ACCESS);
        return -1;
    }
    if (connection.SendBareRequest(OpFindFirstDrive) != 0)
        return -1;
    const int opened = OpenEntryStream(connection, OpFindFirstDrive, DriveEnumerating);
    return opened != 0 ? opened : FindNextDrive(connection, info);
}

int FindNextDrive(AgentConnection &connection, AgentDriveInfo &info)
{
    return NextStreamRecord(connection, DriveEnumerating, info, protocol::DecodeDriveRecord);
}

} // namespace agent

using namespace agent;

extern "C" {

HANDLE AGENTAPI AgentFindFirstLogicalDriveW(AGENT_LOGON logon, AgentDriveInfo *info)
{
    if (logon == nullptr || info == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return Guarded<HANDLE>(nullptr, [&]() -> HANDLE {
        return OpenStreamHandle(logon, [&](AgentConnection &c) { return FindFirstDrive(c, *info); });
    });
}

BOOL AGENTAPI AgentFindNextLogicalDriveW(HANDLE drives, AgentDriveInfo *info)
{
    if (drives == nullptr || info == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return Guarded<BOOL>(0, [&]() -> BOOL {
        return StreamStepSucceeded(FindNextDrive(*ConnectionOf(drives), *info)) ? 1 : 0;
    });
}

} // extern "C"
