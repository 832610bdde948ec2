#include "session/logon_exchange.h"

#include "protocol/logon_messages.h"
#include "protocol/wide_string.h"
#include "session/machine_identity.h"

namespace agent {

int Logon(AgentConnection &connection, const WCHAR *user, const WCHAR *password, const MachineIdentity &identity,
          int initialLogon)
{
    if (IsEmpty(user) || password == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    if (connection.state != Connected) {
        SetLastError(ERROR_INVALID_ACCESS);
        return -1;
    }
    if (connection.RunEncoded(OpLogon, [&](ACE_OutputCDR &out) {
            const bool initial = (initialLogon & 0xFF) != 0;
            return protocol::EncodeLogonRequest(out, user, password, identity.machineId, identity.computerName,
                                                initial);
        }) != 0)
        return -1;
    connection.state = Ready;
    return 0;
}

int Logout(AgentConnection &connection)
{
    return SendLogout(connection) != 0 ? -1 : ReceiveLogout(connection);
}

int SendLogout(AgentConnection &connection)
{
    if (connection.state != Ready) {
        SetLastError(ERROR_INVALID_ACCESS);
        return -1;
    }
    return connection.SendBareRequest(OpLogout);
}

int ReceiveLogout(AgentConnection &connection)
{
    if (connection.state != Ready) {
        SetLastError(ERROR_INVALID_ACCESS);
        return -1;
    }
    uint32_t status = 0;
    if (connection.ReceiveStatus(OpLogout, status) != 0)
        return -1;
    if (status == 0)
        connection.state = Connected;
    else
        SetLastError(status);
    return 0;
}

} // namespace agent
