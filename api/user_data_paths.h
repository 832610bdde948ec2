// The question-and-path exchanges behind the shell folder and browser
// exports: the agent answers with a status and, on 0, one path.
#ifndef AGENT_API_USER_DATA_PATHS_H
#define AGENT_API_USER_DATA_PATHS_H

#include "transport/agent_connection.h"
#include "protocol/user_data_messages.h"

namespace agent {

// Caller path buffers hold this many code units, the terminator included.
constexpr size_t kPathBufferChars = 260;

// Receives and decodes the status-and-path reply to a request already
// sent. 0 with the path in `reply`; -1 otherwise: a header that is not this
// opcode's reply (or is shorter than the status) breaks the connection, a
// non-zero status becomes the thread's last error, a truncated path gives
// ERROR_INVALID_DATA.
int ReceivePathReply(AgentConnection &connection, uint32_t opcode, protocol::PathReply &reply);

// A bare request for `opcode`, then its status-and-path reply. 0 / -1.
int QueryAgentPath(AgentConnection &connection, uint32_t opcode, protocol::PathReply &reply);

// The frame of the exports that fill a caller's 260-unit buffer: the
// buffer is emptied once the exchange starts, and receives at most 259
// units of the agent's path (a longer one is cut) and the terminator.
BOOL PathIntoBuffer(AGENT_LOGON logon, uint32_t opcode, WCHAR *buffer);

} // namespace agent

#endif
