// Directory listings in a stable order, and a depth-first walk that stays
// on the served tree (directory links are not descended).
#ifndef REFAGENT_DIRECTORY_WALK_H
#define REFAGENT_DIRECTORY_WALK_H

#include <functional>
#include <string>
#include <vector>

namespace refagent {

// The names in a directory, "." and ".." left out, sorted bytewise. 0 or errno.
int ListDirectory(const std::string &local, std::vector<std::string> &names);

// Calls visit(parts, local, isDirectory) for every entry below `local`
// (parts relative to the drive root start with `baseParts`), parents
// before children; visit returns false to stop. Links to directories are
// reported but not followed. Returns false when stopped.
using WalkVisitor = std::function<bool(const std::vector<std::string> &parts, const std::string &local, bool directory)>;
bool WalkTree(const std::string &local, const std::vector<std::string> &baseParts, const WalkVisitor &visit);

} // namespace refagent

#endif
