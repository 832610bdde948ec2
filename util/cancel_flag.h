// A host's cancel flag: another of its threads may raise it while a copy
// reads it, so the read is atomic.
#ifndef AGENT_UTIL_CANCEL_FLAG_H
#define AGENT_UTIL_CANCEL_FLAG_H

#include "platform/platform.h"

namespace agent {

inline bool CancelRaised(const BOOL *flag) { return flag != nullptr && __atomic_load_n(flag, __ATOMIC_ACQUIRE) != 0; }

} // namespace agent

#endif
