#include "session/checked_reply.h"

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

ACE_InputCDR *ReceiveMinimumReply(AgentConnection &connection, uint32_t opcode, MessageHeader &header)
{
    ACE_InputCDR *in = connection.ReceiveReply(header);
    if (in == nullptr || CheckMinimumReply(connection, header, opcode) != 0)
        return nullptr;
    return in;
}

ACE_InputCDR *ReceiveExactReply(AgentConnection &connection, uint32_t opcode, uint32_t length)
{
    MessageHeader header;
    ACE_InputCDR *in = connection.ReceiveReply(header);
    if (in == nullptr)
        return nullptr;
    if (CheckReplyLength(header, Reply, opcode, length) != 0) {
        connection.Break();
        return nullptr;
    }
    return in;
}

int ReceiveMinimumReply(AgentConnection &connection, uint32_t opcode, ACE_InputCDR &in, MessageHeader &header)
{
    ACE_InputCDR *reply = ReceiveMinimumReply(connection, opcode, header);
    if (reply == nullptr)
        return -1;
    in = *reply;
    return 0;
}

int ReceiveExactReply(AgentConnection &connection, uint32_t opcode, uint32_t length, ACE_InputCDR &in)
{
    ACE_InputCDR *reply = ReceiveExactReply(connection, opcode, length);
    if (reply == nullptr)
        return -1;
    in = *reply;
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
