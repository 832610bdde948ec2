// The local side of a mirror: which entries below a backup's local folder
// the agent's listing no longer holds (for --delete, and for a check that
// mentions them). Nothing outside the local folder is ever looked at or
// removed: links inside it are removed as links, never followed.
#ifndef AGENTCLI_LOCAL_MIRROR_H
#define AGENTCLI_LOCAL_MIRROR_H

#include "backup_walk.h"

#include <set>
#include <string>
#include <vector>

namespace agentcli {

// Every path the listing accounts for, relative to the local folder with
// '/' between names: copied or not, skipped (an excluded or skipped entry
// is protected) or failed.
std::set<std::string> ListedPaths(const TreeListing &listing, const WString &remoteRoot,
                                  const std::string &localRoot);

// Entries below localRoot that `listed` does not hold, parents before their
// children and a folder's contents left out. A partial file of a listed
// file belongs to it.
std::vector<std::string> LocalExtras(const std::string &localRoot, const std::set<std::string> &listed);

// Removes one extra entry (a folder with what it holds). 0 or the Win32 code.
uint32_t RemoveLocalEntry(const std::string &localRoot, const std::string &relative);

} // namespace agentcli

#endif
