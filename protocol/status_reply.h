// The reply that is a status word alone: the answer to logon, logout,
// directory creation and removal, moves, attribute setting, the path
// tests, file open, close and time setting, and the refusal of most
// requests.
#ifndef AGENT_PROTOCOL_STATUS_REPLY_H
#define AGENT_PROTOCOL_STATUS_REPLY_H

#include <ace/CDR_Stream.h>

#include <cstdint>

namespace agent {
namespace protocol {

// 0: the agent carried the request out; otherwise its Win32 error code.
struct StatusReply {
    uint32_t status = 0;
};

bool EncodeStatusReply(ACE_OutputCDR &out, const StatusReply &reply);
// False when the payload holds no status word. Bytes after it are ignored.
bool DecodeStatusReply(ACE_InputCDR &in, StatusReply &reply);

} // namespace protocol
} // namespace agent

#endif
