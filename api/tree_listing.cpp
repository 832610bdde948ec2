// AgentListTreeW: the whole-tree listing of copy/tree_walk.cpp.
#include "copy/tree_walk.h"
#include "session/export_frame.h"

#include <algorithm>

using namespace agent;

extern "C" BOOL AGENTAPI AgentListTreeW(AGENT_LOGON logon, const WCHAR *root, DWORD flags, DWORD maxDepth,
                                        DWORD maxQueued, DWORD maxInFlight, AgentTreeCallback callback, void *context,
                                        AGENT_TREE_COUNTS *counts)
{
    if (logon == nullptr || root == nullptr || root[0] == 0 || callback == nullptr ||
        (flags & ~static_cast<DWORD>(AGENT_TREE_FOLLOW_LINKS)) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    tree::Walk walk;
    walk.logon = logon;
    walk.root = root;
    walk.followLinks = (flags & AGENT_TREE_FOLLOW_LINKS) != 0;
    walk.maxDepth = maxDepth == 0 ? tree::kDefaultDepth : maxDepth;
    walk.maxQueued = maxQueued == 0 ? tree::kDefaultQueued : maxQueued;
    walk.searches = maxInFlight == 0 ? tree::kDefaultSearches : std::min<DWORD>(maxInFlight, tree::kMaxSearches);
    walk.callback = callback;
    walk.context = context;
    return Guarded<BOOL>(0, [&] { return tree::ListTree(walk, counts); });
}
