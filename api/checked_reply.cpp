#include "api/checked_reply.h"

namespace agent {

namespace {
constexpr uint32_t kStatusSize = 4;
}

int CheckMinimumReply(AgentConnection &connection, const MessageHeader &header, uint32_t opcode)
{
    if (CheckReply(header, Reply, opcode) != 0 || header.length < kStatusSize) {
        connection.Break();
        return -1;
    }
    return 0;
}

int ReceiveMinimumReply(AgentConnection &connection, uint32_t opcode, ACE_InputCDR &in, MessageHeader &header)
{
    if (connection.ReceiveReply(in, header) != 0)
        return -1;
    return CheckMinimumReply(connection, header, opcode);
}

int ReceiveExactReply(AgentConnection &connection, uint32_t opcode, uint32_t length, ACE_InputCDR &in)
{
    MessageHeader header;
    if (connection.ReceiveReply(in, header) != 0)
        return -1;
    if (CheckReplyLength(header, Reply, opcode, length) != 0) {
        connection.Break();
        return -1;
    }
    return 0;
}

int TakeStatus(ACE_InputCDR &in)
{
    ACE_CDR::ULong status = 0;
    if (!in.read_ulong(status))
        return -1;
    if (status != 0) {
        SetLastError(status);
        return -1;
    }
    return 0;
}

} // namespace agent
