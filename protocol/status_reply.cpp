#include "protocol/status_reply.h"

namespace agent {
namespace protocol {

bool EncodeStatusReply(ACE_OutputCDR &out, const StatusReply &reply) { return out.write_ulong(reply.status); }

bool DecodeStatusReply(ACE_InputCDR &in, StatusReply &reply)
{
    ACE_CDR::ULong status = 0;
    if (!in.read_ulong(status))
        return false;
    reply.status = status;
    return true;
}

} // namespace protocol
} // namespace agent
