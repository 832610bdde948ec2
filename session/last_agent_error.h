// LastAgentError: the module-wide copy of the last failure, read by
// AgentGetLastError. Deliberately one value for all threads: the last
// failing call wins. Relaxed atomic so concurrent writers are well defined.
#ifndef AGENT_LAST_AGENT_ERROR_H
#define AGENT_LAST_AGENT_ERROR_H

#include "platform/platform.h"

#include <atomic>

namespace agent {

extern std::atomic<DWORD> LastAgentError;

// Copies the thread's last error into LastAgentError.
inline void RecordLastAgentError() { LastAgentError.store(GetLastError(), std::memory_order_relaxed); }

} // namespace agent

#endif
