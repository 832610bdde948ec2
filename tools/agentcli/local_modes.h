// Who may read what agentcli writes. Backups hold another PC's files, so
// everything agentcli creates is private to its user (files 0600, folders
// 0700) whatever the umask it was started with; --chmod widens that the
// way rsync's option of that name does. Both work through the process's
// file mode creation mask, so the files the library creates for agentcli
// (copies, their partial files) follow it too.
#ifndef AGENTCLI_LOCAL_MODES_H
#define AGENTCLI_LOCAL_MODES_H

#include <string>

namespace agentcli {

// The mask that makes new files 0600 and new folders 0700.
constexpr unsigned kPrivateCreationMask = 077;

// The creation mask for an rsync-style --chmod value: comma-separated
// items, each an octal mode or chmod's symbolic form ([ugoa]*[-+=][rwxX]*,
// several operations allowed), optionally prefixed by D (folders only) or
// F (files only), applied in order to 0600 for files and 0700 for folders.
// A mask can only give files the folders' mode without x bits, so a value
// whose result differs otherwise (F644 alone, go+x, setuid) is refused:
// false with the reason in `error`.
bool CreationMaskForChmod(const std::string &value, unsigned &mask, std::string &error);

// Sets the process's creation mask (POSIX; Windows folders pass on their
// own permissions, so nothing is done there).
void SetCreationMask(unsigned mask);

} // namespace agentcli

#endif
