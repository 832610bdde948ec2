// AgentFirefox3Exists, AgentGetFirefox3BookmarkPath: whether the agent's
// user has Firefox 3 bookmarks, and where their store file lives.
#include "api/user_data_paths.h"
#include "session/export_frame.h"

using namespace agent;

namespace {

// Any non-zero status means "no" to the caller; the status is the cause.
int Firefox3Exists(AgentConnection &connection)
{
    if (connection.SendBareRequest(OpFirefox3Exists) != 0)
        return -1;
    return connection.ReceiveStatusResult(OpFirefox3Exists);
}

} // namespace

extern "C" {

BOOL AGENTAPI AgentFirefox3Exists(AGENT_LOGON logon)
{
    if (logon == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return Guarded<BOOL>(0, [&]() -> BOOL {
        return RunOnPooledConnection(logon, Firefox3Exists) == 0 ? 1 : 0;
    });
}

BOOL AGENTAPI AgentGetFirefox3BookmarkPath(AGENT_LOGON logon, WCHAR *path)
{
    return PathIntoBuffer(logon, OpGetFirefox3BookmarkPath, path);
}

} // extern "C"
