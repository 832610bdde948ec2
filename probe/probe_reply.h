// The name in an agent's answer to a probe, as the callback receives it.
// The answer's layout is read in protocol/discovery_messages.
#ifndef AGENT_PROBE_REPLY_H
#define AGENT_PROBE_REPLY_H

#include "platform/platform.h"

#include <memory>

namespace agent {

struct HeapBlockFree {
    void operator()(WCHAR *block) const;
};
using ProbeName = std::unique_ptr<WCHAR[], HeapBlockFree>;

// The name as UTF-16 in a process-heap block of exactly the size needed,
// or null when the text cannot be converted or the block not allocated.
ProbeName DecodeProbeName(const char *utf8);

} // namespace agent

#endif
