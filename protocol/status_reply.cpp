#include "protocol/status_reply.h"

#include "protocol/fss_util.h"

namespace agent {
namespace protocol {

bool EncodeStatusReply(ACE_OutputCDR &out, const StatusReply &reply) { return out.write_ulong(reply.status); }

bool DecodeStatusReply(ACE_InputCDR &in, StatusReply &reply) { return ReadWord(in, reply.status); }

} // namespace protocol
} // namespace agent
