// The whole-tree listing behind AgentListTreeW: folders listed on several
// connections at once, entries handed to the host's callback on the
// calling thread through a queue of fixed size, with the link rules of a
// backup (directory links entered only when asked, after every real
// folder; a folder reached again, by volume serial and file index, is a
// loop) and bounds on depth and on folders waiting to be listed.
#ifndef AGENT_TREE_WALK_H
#define AGENT_TREE_WALK_H

#include "session/agent_logon.h"

#include <cstddef>

namespace agent {
namespace tree {

constexpr unsigned kDefaultDepth = 256;
constexpr unsigned kDefaultQueued = 100000;
constexpr unsigned kDefaultSearches = 8;
constexpr unsigned kMaxSearches = 64;
// Entries waiting for the callback (as many again may be in the batch it
// is being given); a worker that finds the queue full waits.
constexpr size_t kWaitingEntries = 128;
// Entries a search gathers before queueing them together (fewer when the
// agent's next record has not arrived yet); each search may hold as many.
constexpr size_t kBatchEntries = 96;

struct Walk {
    AgentLogon *logon = nullptr;
    const WCHAR *root = nullptr;
    bool followLinks = false;
    unsigned maxDepth = kDefaultDepth;
    size_t maxQueued = kDefaultQueued;
    unsigned searches = kDefaultSearches;
    AgentTreeCallback callback = nullptr;
    void *context = nullptr;
};

// 1 when the listing ran to its end, else 0 with the cause in the thread's
// last error. `held` (may be null) receives the most folders and entries
// the walk held at once.
BOOL ListTree(const Walk &walk, AGENT_TREE_COUNTS *counts, size_t *held = nullptr);

} // namespace tree
} // namespace agent

#endif
