// AgentGetFolderPathW, AgentGetIEFavoritePath: where the agent's shell
// keeps a user's folders. The folder number is a CSIDL value the agent
// resolves; the library passes it through unchanged.
#include "api/user_data_paths.h"
#include "session/export_frame.h"

using namespace agent;

namespace {

int GetFolderPath(AgentConnection &connection, DWORD folder, DWORD flag, WCHAR *path)
{
    // Checked here rather than before the connection is taken, so that a
    // bad flag or buffer is recorded like any other failure of the call.
    if ((flag != 0 && flag != 1) || path == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    path[0] = 0;
    if (connection.state != Ready) {
        SetLastError(ERROR_INVALID_ACCESS);
        return -1;
    }
    if (connection.SendEncoded(OpGetFolderPath, [&](ACE_OutputCDR &out) {
            return protocol::EncodeGetFolderPathRequest(out, {folder, flag});
        }) != 0)
        return -1;
    protocol::PathReply reply;
    if (ReceivePathReply(connection, OpGetFolderPath, reply) != 0)
        return -1;
    CopyWide(path, kPathBufferChars, reply.path.get());
    return 0;
}

} // namespace

extern "C" {

BOOL AGENTAPI AgentGetFolderPathW(AGENT_LOGON logon, DWORD folder, DWORD flag, WCHAR *path)
{
    if (logon == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return Guarded<BOOL>(0, [&]() -> BOOL {
        return RunOnPooledConnection(logon, [&](AgentConnection &c) { return GetFolderPath(c, folder, flag, path); }) == 0
                   ? 1
                   : 0;
    });
}

BOOL AGENTAPI AgentGetIEFavoritePath(AGENT_LOGON logon, WCHAR *path)
{
    return PathIntoBuffer(logon, OpGetIEFavoritePath, path);
}

} // extern "C"
