#include "protocol/discovery_messages.h"

#include <ace/OS_NS_stdio.h>

namespace agent {
namespace protocol {

namespace {

bool IsSeparator(char c)
{
    return c == ',' || c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool IsSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

const char *SkipSeparators(const char *p)
{
    while (IsSeparator(*p))
        ++p;
    return p;
}

// Reads a decimal number the way a 32-bit strtoul does (leading white
// space, optional sign, saturation at 0xFFFFFFFF), so that both targets
// report the same value. Returns where reading stopped: `text` itself when
// no digit stands there.
const char *ReadProbeNumber(const char *text, DWORD &value)
{
    const char *p = text;
    while (IsSpace(*p))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    value = 0;
    if (!IsDigit(*p))
        return text;
    uint64_t number = 0;
    bool overflow = false;
    for (; IsDigit(*p); ++p) {
        if (overflow)
            continue;
        number = number * 10 + static_cast<unsigned>(*p - '0');
        overflow = number > 0xFFFFFFFFu;
    }
    if (overflow)
        value = 0xFFFFFFFFu;
    else
        value = negative ? static_cast<DWORD>(0u - static_cast<uint32_t>(number)) : static_cast<DWORD>(number);
    return p;
}

} // namespace

ProbeReply DecodeProbeReply(const char *text)
{
    DWORD ignored = 0;
    const char *p = SkipSeparators(ReadProbeNumber(text, ignored));
    ProbeReply reply = {0, nullptr};
    const char *afterValue = ReadProbeNumber(p, reply.value);
    reply.name = SkipSeparators(afterValue);
    if (reply.name == afterValue)
        reply.value = 0;
    return reply;
}

int EncodeProbeRequest(char (&datagram)[kProbeDatagramBytes], bool wireless, const char *hostName,
                       const char *machineId)
{
    const int length = ACE_OS::snprintf(datagram, kProbeDatagramBytes, "%u,%u,%s,%s", 0u, wireless ? 1u : 0u,
                                        hostName != nullptr ? hostName : "", machineId != nullptr ? machineId : "");
    if (length < 0)
        return 0;
    // A cut text is sent as far as it fits; the terminator never goes out.
    return length < static_cast<int>(kProbeDatagramBytes) ? length : static_cast<int>(kProbeDatagramBytes) - 1;
}

bool DecodeProbeRequest(const char *data, size_t length, ProbeRequest &probe)
{
    probe = ProbeRequest();
    if (length == 0 || !IsDigit(data[0]))
        return false;
    const std::string text(data, length);
    std::string fields[4];
    size_t at = 0;
    for (int i = 0; i < 4 && at <= text.size(); ++i) {
        // The machine id is the rest: a host name holds no comma.
        const size_t comma = i == 3 ? std::string::npos : text.find(',', at);
        fields[i] = text.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
        at = comma == std::string::npos ? text.size() + 1 : comma + 1;
    }
    DWORD number = 0;
    ReadProbeNumber(fields[0].c_str(), number);
    probe.number = number;
    probe.wireless = fields[1] == "1";
    probe.hostName = fields[2];
    probe.machineId = fields[3];
    return true;
}

std::string EncodeProbeReply(uint32_t number, uint32_t value, const std::string &name)
{
    return std::to_string(number) + "," + std::to_string(value) + "," + name;
}

} // namespace protocol
} // namespace agent
