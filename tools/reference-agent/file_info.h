// What the Win32 records need to know about a local file. A symbolic link
// is shown as Windows shows a reparse point: FILE_ATTRIBUTE_REPARSE_POINT,
// with FILE_ATTRIBUTE_DIRECTORY when its target is a folder beneath the
// root, ARCHIVE when it is a file there, and neither when the target lies
// outside the served tree or is missing (the target stays hidden).
#ifndef REFAGENT_FILE_INFO_H
#define REFAGENT_FILE_INFO_H

#include "win32_codes.h"

#include <cstdint>
#include <string>
#include <vector>

namespace refagent {

struct FileInfo {
    uint32_t attributes = 0;
    FileTime creation, lastAccess, lastWrite;
    uint64_t size = 0;
    uint64_t device = 0;
    uint64_t index = 0;
    uint32_t links = 0;
    bool directory = false; // a real folder, not a link to one
    bool symlink = false;
};

// `entry` in `dirfd` ("" for dirfd itself), a link not followed; `name`
// decides the hidden attribute. 0 or errno.
int InfoAt(int dirfd, const std::string &entry, const std::string &name, FileInfo &info);
int StatDescriptor(int fd, const std::string &name, FileInfo &info);
// For a link: the attributes above, its target looked up from the drive's
// root along `parts` (the link's own path below the root).
void DescribeLink(int rootFd, const std::vector<std::string> &parts, FileInfo &info);

// The volume serial number of a device, as by-handle replies carry it.
uint32_t VolumeSerial(uint64_t device);

} // namespace refagent

#endif
