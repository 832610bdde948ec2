#include "remote_info.h"

#include <cstring>

namespace agentcli {

namespace {
constexpr DWORD kGenericRead = 0x80000000u;
constexpr DWORD kShareReadWrite = 0x3;
constexpr DWORD kOpenExisting = 3;
constexpr DWORD kFlagBackupSemantics = 0x02000000u;
} // namespace

uint32_t ReadRemoteInfo(AGENT_LOGON logon, const WString &remote, BY_HANDLE_FILE_INFORMATION &info)
{
    std::memset(&info, 0, sizeof info);
    HANDLE handle = AgentCreateFileW(logon, remote.c_str(), kGenericRead, kShareReadWrite, kOpenExisting,
                                     kFlagBackupSemantics);
    if (handle == nullptr)
        return GetLastError();
    const uint32_t error = AgentGetFileInformationByHandle(handle, &info) ? 0 : GetLastError();
    AgentCloseHandle(logon, handle);
    return error;
}

} // namespace agentcli
