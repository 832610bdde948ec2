// LastAgentError: the module-wide copy of the last failure, read by
// AgentGetLastError and written by the export frame. Deliberately one value
// for all threads: the last failing call wins. Relaxed atomic so concurrent
// writers are well defined.
#ifndef AGENT_LAST_AGENT_ERROR_H
#define AGENT_LAST_AGENT_ERROR_H

#include "platform/platform.h"

#include <atomic>

namespace agent {

extern std::atomic<DWORD> LastAgentError;

// Keeps the thread's last error across a cleanup: on Windows a successful
// socket, lock or runtime call may reset it, and the cause of the failure
// being cleaned up after must survive.
class KeptLastError {
public:
    KeptLastError() : error_(GetLastError()) {}
    ~KeptLastError() { SetLastError(error_); }
    KeptLastError(const KeptLastError &) = delete;
    KeptLastError &operator=(const KeptLastError &) = delete;

private:
    DWORD error_;
};

} // namespace agent

#endif
