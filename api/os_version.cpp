// AgentGetOSVersion.
#include "transport/agent_connection.h"
#include "session/agent_logon.h"
#include "session/export_frame.h"

namespace agent {

namespace {

constexpr DWORD kVersionFailed = 0xFFFFFFFFu;

// The reply has no status word: its first u32 is the version itself, so a
// failure cannot be told from an agent that answers 0xFFFFFFFF.
DWORD GetOSVersion(AgentConnection &connection)
{
    if (connection.state != Ready) {
        SetLastError(ERROR_INVALID_ACCESS);
        return kVersionFailed;
    }
    uint32_t version = 0;
    if (connection.SendBareRequest(OpGetOSVersion) != 0 || connection.ReceiveStatus(OpGetOSVersion, version) != 0)
        return kVersionFailed;
    return version;
}

} // namespace

} // namespace agent

using namespace agent;

extern "C" {

DWORD AGENTAPI AgentGetOSVersion(AGENT_LOGON logon)
{
    if (logon == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return Guarded<DWORD>(kVersionFailed, [&]() -> DWORD {
        ConnectionHolder connection(logon);
        if (connection.get() == nullptr)
            return 0;
        return GetOSVersion(*connection.get());
    }, Record::Never);
}

} // extern "C"
