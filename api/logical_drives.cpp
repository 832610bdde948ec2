// AgentFindFirstLogicalDriveW, AgentFindNextLogicalDriveW.
#include "api/logical_drives.h"

#include "session/pending_handle.h"
#include "protocol/entry_stream.h"
#include "protocol/wide_string.h"
#include "session/export_frame.h"

namespace agent {

namespace {

constexpr size_t kDriveTextCapacity = sizeof(AgentDriveInfo::Text1) / sizeof(WCHAR);

bool ReadValue(ACE_InputCDR &in, DWORD &field)
{
    ACE_CDR::ULong value = 0;
    if (!in.read_ulong(value))
        return false;
    field = value;
    return true;
}

bool ReadText(ACE_InputCDR &in, WCHAR (&field)[kDriveTextCapacity])
{
    OwnedWideString text;
    if (!text.Read(in))
        return false;
    CopyWide(field, kDriveTextCapacity, text.get());
    return true;
}

} // namespace

bool ReadDriveInfo(ACE_InputCDR &in, AgentDriveInfo &info)
{
    DWORD *const values[] = {&info.Value1, &info.Value2, &info.Value3, &info.Value4, &info.Value5,
                             &info.Value6, &info.Value7, &info.Value8, &info.Value9};
    for (DWORD *value : values)
        if (!ReadValue(in, *value))
            return false;
    return ReadText(in, info.Text1) && ReadText(in, info.Text2);
}

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
    return NextStreamRecord(connection, DriveEnumerating, info, ReadDriveInfo);
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
        return OpenStreamHandle(logon, HandleKind::Drive, [&](AgentConnection &c) { return FindFirstDrive(c, *info); });
    });
}

BOOL AGENTAPI AgentFindNextLogicalDriveW(HANDLE drives, AgentDriveInfo *info)
{
    if (drives == nullptr || info == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return Guarded<BOOL>(0, [&]() -> BOOL {
        return StepStreamHandle(drives, HandleKind::Drive, [&](AgentConnection &c) { return FindNextDrive(c, *info); });
    });
}

} // extern "C"
