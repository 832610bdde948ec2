// The logon and logout of one connection: the exchanges that turn a
// Connected connection into a Ready one and back.
#ifndef AGENT_SESSION_LOGON_EXCHANGE_H
#define AGENT_SESSION_LOGON_EXCHANGE_H

#include "session/machine_identity.h"
#include "transport/agent_connection.h"

namespace agent {

// All return 0 on success and -1 on failure, the cause in the thread's
// last error. The reply is read whatever its header says.

// Sends the credentials with this PC's identity; status 0 makes the
// connection Ready. A null or empty user or a null password is refused
// (87) and a connection that is not Connected too (12), sending nothing.
int Logon(AgentConnection &connection, const WCHAR *user, const WCHAR *password, const MachineIdentity &identity,
          int initialLogon);
// The connection must be Ready; status 0 makes it Connected, another
// becomes the last error and leaves it Ready. Either way it succeeds.
int Logout(AgentConnection &connection);
// Logout in two halves, so that a caller closing many connections can
// send every request before it waits for the replies.
int SendLogout(AgentConnection &connection);
int ReceiveLogout(AgentConnection &connection);

} // namespace agent

#endif
