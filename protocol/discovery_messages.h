// Discovery over UDP: the probe a client broadcasts and the text an agent
// answers with. Plain single-byte text, no header, no CDR, no terminator
// on the wire.
//
// Probe:  "0,<wireless 0|1>,<host name>,<machine id>"
// Reply:  "<number><separators><value><separators><name>", separators
//         being any run of ", \t\r\n"; the name runs to the end.
#ifndef AGENT_PROTOCOL_DISCOVERY_MESSAGES_H
#define AGENT_PROTOCOL_DISCOVERY_MESSAGES_H

#include "platform/platform.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace agent {
namespace protocol {

constexpr size_t kProbeDatagramBytes = 512;
// Room for one reply: at most 511 bytes are taken so that a terminator fits.
constexpr size_t kProbeReplyBytes = 512;

// Formats the probe into `datagram`; returns the number of bytes to send
// (a text too long is cut to fit).
int EncodeProbeRequest(char (&datagram)[kProbeDatagramBytes], bool wireless, const char *hostName,
                       const char *machineId);

struct ProbeRequest {
    uint32_t number = 0;
    bool wireless = false;
    std::string hostName;
    std::string machineId;
};
// False for a datagram that does not start with a digit (no probe); the
// fields a shorter text lacks stay empty.
bool DecodeProbeRequest(const char *data, size_t length, ProbeRequest &probe);

std::string EncodeProbeReply(uint32_t number, uint32_t value, const std::string &name);

struct ProbeReply {
    DWORD value;
    const char *name; // points into the text that was decoded
};
// Reads a zero-terminated reply text the way a 32-bit strtoul reads its
// numbers. The leading number is ignored; the value is 0 unless at least
// one separator follows it; the name is everything after that run of
// separators, line ends included.
ProbeReply DecodeProbeReply(const char *text);

} // namespace protocol
} // namespace agent

#endif
