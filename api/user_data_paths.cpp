// Status-and-path exchanges shared by the shell folder and browser exports.
#include "api/user_data_paths.h"

#include "session/checked_reply.h"

#include "session/export_frame.h"

namespace agent {

int DecodePathReply(AgentConnection &connection, const MessageHeader &header, ACE_InputCDR &in, uint32_t opcode,
                    OwnedWideString &path)
{
    if (CheckMinimumReply(connection, header, opcode) != 0 || TakeStatus(in) != 0)
        return -1;
    if (!path.Read(in)) {
        // The whole reply has arrived, so the connection stays usable.
        SetLastError(ERROR_INVALID_DATA);
        return -1;
    }
    return 0;
}

int ReceivePathReply(AgentConnection &connection, uint32_t opcode, OwnedWideString &path)
{
    MessageHeader header;
    ACE_InputCDR *in = connection.ReceiveReply(header);
    if (in == nullptr)
        return -1;
    return DecodePathReply(connection, header, *in, opcode, path);
}

int QueryAgentPath(AgentConnection &connection, uint32_t opcode, OwnedWideString &path)
{
    if (connection.SendBareRequest(opcode) != 0)
        return -1;
    return ReceivePathReply(connection, opcode, path);
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
            OwnedWideString path;
            if (QueryAgentPath(c, opcode, path) != 0)
                return -1;
            CopyWide(buffer, kPathBufferChars, path.get());
            return 0;
        });
        return result == 0 ? 1 : 0;
    });
}

} // namespace agent
