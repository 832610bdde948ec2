// OpLogon and OpLogout, the two exchanges that belong to a connection
// itself. Both are answered by the status reply (status_reply.h), read
// without any test of the reply header. OpLogout is a bare request (no
// payload).
#ifndef AGENT_PROTOCOL_LOGON_MESSAGES_H
#define AGENT_PROTOCOL_LOGON_MESSAGES_H

#include "platform/platform.h"
#include "protocol/wide_string.h"

#include <ace/CDR_Stream.h>

#include <cstdint>
#include <string>

namespace agent {
namespace protocol {

// User name, password, the machine's identity and host name, then the
// initial-logon flag as one octet (1 or 0).
struct LogonRequest {
    WideText user, password, machineId, computerName;
    uint8_t initial = 0;
};
bool EncodeLogonRequest(ACE_OutputCDR &out, const WCHAR *user, const WCHAR *password, const WCHAR *machineId,
                        const WCHAR *computerName, bool initial);
bool DecodeLogonRequest(ACE_InputCDR &in, LogonRequest &request);

} // namespace protocol
} // namespace agent

#endif
