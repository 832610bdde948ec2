// AgentGetFirefox3Bookmark: the agent names its Firefox 3 bookmark store,
// and the store is copied into a local file in the same call.
#include "api/user_data_paths.h"
#include "session/export_frame.h"

using namespace agent;

namespace {

BOOL FetchBookmarks(AgentLogon *logon, const WCHAR *localFile)
{
    // Held for the whole call; the copy takes further connections of the
    // same logon.
    ConnectionHolder held(logon);
    if (held.get() == nullptr) {
        RecordLastAgentError();
        return 0;
    }
    // The agent's path is used whole: cutting it to a caller-buffer length
    // would name some other file on the agent.
    protocol::PathReply remote;
    if (QueryAgentPath(*held.get(), OpGetFirefox3BookmarkPath, remote) != 0) {
        RecordLastAgentError();
        return 0;
    }
    // Only a complete copy counts as fetched; a failed one has recorded its
    // cause already.
    return AgentCopyFileFromAgent(logon, remote.path.get(), localFile);
}

} // namespace

extern "C" BOOL AGENTAPI AgentGetFirefox3Bookmark(AGENT_LOGON logon, const WCHAR *localFile)
{
    if (logon == nullptr || localFile == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return Guarded<BOOL>(0, [&] { return FetchBookmarks(logon, localFile); });
}
