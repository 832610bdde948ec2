// Status-and-path exchanges shared by the shell folder and browser exports.
#include "api/user_data_paths.h"

#include "session/export_frame.h"

namespace agent {

int ReceivePathReply(AgentConnection &connection, uint32_t opcode, protocol::PathReply &reply)
{
    MessageHeader header;
    ACE_InputCDR *in = connection.Receive(ReplyShape::Minimum(opcode, 4), header);
    if (in == nullptr)
        return -1;
    const bool decoded = protocol::DecodePathReply(*in, reply);
    return ReplyVerdict(reply.status, decoded);
}

int QueryAgentPath(AgentConnection &connection, uint32_t opcode, protocol::PathReply &reply)
{
    if (connection.SendBareRequest(opcode) != 0)
        return -1;
    return ReceivePathReply(connection, opcode, reply);
}

BOOL PathIntoBuffer(AGENT_LOGON logon, uint32_t opcode, WCHAR *buffer)
{
    if (logon == nullptr || buffer == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return Guarded<BOOL>(0, [&]() -> BOOL {
        const int result = RunOnPooledConnection(logon, [&](AgentConnection &c) {
            buffer[0] = 0;
            protocol::PathReply reply;
            if (QueryAgentPath(c, opcode, reply) != 0)
                return -1;
            CopyWide(buffer, kPathBufferChars, reply.path.get());
            return 0;
        });
        return result == 0 ? 1 : 0;
    });
}

} // namespace agent
