// Texts for the Win32 codes an agent or the library reports.
#ifndef AGENTCLI_WIN32_MESSAGES_H
#define AGENTCLI_WIN32_MESSAGES_H

#include <cstdint>
#include <string>

namespace agentcli {

// The system's message for a code, or "unknown error".
const char *Win32Message(uint32_t code);
// "error 5 (Access is denied.)"
std::string DescribeError(uint32_t code);

} // namespace agentcli

#endif
