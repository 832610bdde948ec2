// Reading an agent's answer to a probe: "<number><sep><value><sep><name>".
// Kept free of socket code so that every shape of reply can be checked
// from bytes alone.
#ifndef AGENT_PROBE_REPLY_H
#define AGENT_PROBE_REPLY_H

#include "platform/platform.h"

#include <memory>

namespace agent {

// Room for one reply: at most 511 bytes are taken so that a terminator fits.
constexpr size_t kProbeReplyBytes = 512;

struct ProbeReply {
    DWORD value;
    const char *name; // points into the text that was parsed
};

// Reads a zero-terminated reply text. The leading number is ignored; the
// value is 0 unless at least one separator (", \t\r\n") follows it; the
// name is everything after that run of separators, line ends included.
ProbeReply ParseProbeReply(const char *text);

struct HeapBlockFree {
    void operator()(WCHAR *block) const;
};
using ProbeName = std::unique_ptr<WCHAR[], HeapBlockFree>;

// The name as UTF-16 in a process-heap block of exactly the size needed,
// or null when the text cannot be converted or the block not allocated.
ProbeName DecodeProbeName(const char *utf8);

} // namespace agent

#endif
