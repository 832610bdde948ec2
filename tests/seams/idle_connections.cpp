#include "test_seams.h"

#include "session/agent_logon.h"

namespace agent {

int IdleConnections(AGENT_LOGON logon) { return logon != nullptr ? logon->IdleCount() : 0; }

} // namespace agent
