// Receiving a reply whose header must answer the request, and reading the
// status word that opens it. Shared by the export families.
#ifndef AGENT_API_CHECKED_REPLY_H
#define AGENT_API_CHECKED_REPLY_H

#include "transport/agent_connection.h"

namespace agent {

// An input stream that ReceiveReply points at the connection's buffer.
inline ACE_InputCDR EmptyInput() { return ACE_InputCDR(static_cast<const char *>(nullptr), 0); }

// The minimum test on a received header: a Reply to `opcode` with room for
// the status word. Anything else breaks the connection (the peer is not
// speaking our protocol any more) and leaves the last error alone. 0 / -1.
int CheckMinimumReply(AgentConnection &connection, const MessageHeader &header, uint32_t opcode);

// Receives a reply that must be a Reply to `opcode` with at least a status
// word. A header that fails the test breaks the connection (the peer is not
// speaking our protocol any more) and leaves the last error alone. 0 / -1.
int ReceiveMinimumReply(AgentConnection &connection, uint32_t opcode, ACE_InputCDR &in, MessageHeader &header);

// As above, with a payload of exactly `length` bytes.
int ReceiveExactReply(AgentConnection &connection, uint32_t opcode, uint32_t length, ACE_InputCDR &in);

// The same two tests, decoding through the connection's own stream (no
// allocation): the payload's stream, valid until the connection's next
// receive, or null.
ACE_InputCDR *ReceiveMinimumReply(AgentConnection &connection, uint32_t opcode, MessageHeader &header);
ACE_InputCDR *ReceiveExactReply(AgentConnection &connection, uint32_t opcode, uint32_t length);

// Reads the status word: 0 when it is 0; -1 when it cannot be read or is an
// agent error, which then becomes the thread's last error unchanged.
int TakeStatus(ACE_InputCDR &in);

} // namespace agent

#endif
