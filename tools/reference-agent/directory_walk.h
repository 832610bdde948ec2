// Directory listings in a stable order, and a depth-first walk that stays
// on the served tree: it descends only through real folders, each opened
// relative to its parent's descriptor, so links are never followed.
#ifndef REFAGENT_DIRECTORY_WALK_H
#define REFAGENT_DIRECTORY_WALK_H

#include <functional>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace refagent {

// The names in the directory `dirfd` (an O_PATH descriptor will do), "."
// and ".." left out, sorted bytewise. 0 or errno.
int ListDirectory(int dirfd, std::vector<std::string> &names);

// Calls visit(parts, dirfd, st) for every entry below `dirfd`: `parts` its
// path from the drive root (starting with `baseParts`), `dirfd` the folder
// holding it, `st` the entry itself (a link is not followed). Parents come
// before children; visit returns false to stop. Returns false when stopped.
using WalkVisitor = std::function<bool(const std::vector<std::string> &parts, int dirfd, const struct stat &st)>;
bool WalkTree(int dirfd, const std::vector<std::string> &baseParts, const WalkVisitor &visit);

} // namespace refagent

#endif
