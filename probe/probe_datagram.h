// The probe text: "0,<wireless>,<host name>,<MachineId>", single-byte,
// without terminator or line end.
#ifndef AGENT_PROBE_DATAGRAM_H
#define AGENT_PROBE_DATAGRAM_H

#include <cstddef>

namespace agent {

constexpr size_t kProbeDatagramBytes = 512;

// Formats the probe into `datagram`; returns the number of bytes to send.
int FormatProbe(char (&datagram)[kProbeDatagramBytes], bool wireless, const char *hostName, const char *machineId);

} // namespace agent

#endif
