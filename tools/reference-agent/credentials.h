// The logon request and the one check of its credentials, shared by the
// logon lobby and by sessions that log on again after a logout.
#ifndef REFAGENT_CREDENTIALS_H
#define REFAGENT_CREDENTIALS_H

#include "agent_config.h"

#include "protocol/logon_messages.h"

#include <string>

namespace refagent {

using agent::protocol::LogonRequest;

// User names compare without regard to ASCII case, passwords exactly.
bool CredentialsMatch(const AgentConfig &config, const LogonRequest &request);
// The user name for a log line: printable ASCII, everything else escaped,
// at most 64 characters, so that a client cannot forge log lines.
std::string LoggableName(const std::u16string &user);

} // namespace refagent

#endif
