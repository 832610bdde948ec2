#include "protocol/logon_messages.h"

#include "protocol/wide_string.h"

namespace agent {
namespace protocol {

bool EncodeLogonRequest(ACE_OutputCDR &out, const WCHAR *user, const WCHAR *password, const WCHAR *machineId,
                        const WCHAR *computerName, bool initial)
{
    return WriteWideString(out, user) && WriteWideString(out, password) && WriteWideString(out, machineId) &&
           WriteWideString(out, computerName) && out.write_octet(initial ? 1 : 0);
}

bool DecodeLogonRequest(ACE_InputCDR &in, LogonRequest &request)
{
    ACE_CDR::Octet initial = 0;
    if (!ReadWideString(in, request.user) || !ReadWideString(in, request.password) ||
        !ReadWideString(in, request.machineId) || !ReadWideString(in, request.computerName) ||
        !in.read_octet(initial))
        return false;
    request.initial = initial;
    return true;
}

} // namespace protocol
} // namespace agent
