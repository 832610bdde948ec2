// Resolution of paths beneath a drive's root in one step, with every later
// operation done relative to the descriptors that step produced, so that a
// client renaming folders or planting links cannot steer a request out of
// the served tree between a check and a use.
#ifndef REFAGENT_CONFINED_PATH_H
#define REFAGENT_CONFINED_PATH_H

#include "unique_fd.h"

#include <string>
#include <sys/stat.h>
#include <vector>

namespace refagent {

// How a path is walked: the kernel's openat2(RESOLVE_BENEATH) where it
// exists, else one O_NOFOLLOW step per component with links expanded here.
enum class Resolver { Auto, Openat2, Walk };
// Tests run both; Auto picks openat2 when the kernel has it.
void SetResolver(Resolver resolver);
Resolver ActiveResolver();

// A directory opened beneath the root and a name in it; an empty name is
// the directory itself.
struct Location {
    UniqueFd dir;
    std::string name;
    bool Self() const { return name.empty(); }
};

// Resolves `parts` (already-validated names, no separators) beneath the
// directory `rootFd`. Links inside the path are followed while they stay
// beneath the root; a link in the last place is followed too when
// followLast is set, so that `name` then names no link (or nothing yet).
// Returns 0 or an errno: EXDEV for a path that would leave the root (a
// link out, an absolute link), ELOOP for too many links, ENOENT or ENOTDIR
// for a folder on the way that is missing.
int Locate(int rootFd, const std::vector<std::string> &parts, bool followLast, Location &out);

// Opens a directory beneath the root (every link followed while it stays
// inside) as an O_PATH descriptor; the descriptor or -errno.
int OpenDirectoryBeneath(int rootFd, const std::vector<std::string> &parts);

// The Win32 status for a Locate failure: leaving the root or looping is
// ERROR_ACCESS_DENIED, a missing folder on the way ERROR_PATH_NOT_FOUND.
uint32_t LocateStatus(int error);

// The operations a request does on what Locate found; none follows a link
// in the last place.
int StatAt(const Location &at, struct stat &st);            // 0 or errno
int OpenAt(const Location &at, int flags, mode_t mode = 0);  // fd or -errno
// The target of the link at `name` in `dir`; false with errno set.
bool ReadLinkAt(int dir, const std::string &name, std::string &target);

} // namespace refagent

#endif
