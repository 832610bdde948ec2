// The copy behind AgentCopyFileFromAgent, for exports that copy into a
// folder they hold open themselves.
#ifndef AGENT_API_COPY_FILE_H
#define AGENT_API_COPY_FILE_H

#include "platform/platform.h"
#include "session/agent_logon.h"

namespace agent {

// AgentCopyFileFromAgent into the plain name `name` of an open folder,
// with the export's frame: a connection held for the call, the result and
// the cause recorded as the export records them.
BOOL CopyFromAgentInto(AgentLogon *logon, const WCHAR *remotePath, const platform::LocalFolder &folder,
                       const WCHAR *name);

} // namespace agent

#endif
