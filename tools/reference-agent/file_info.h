// What the Win32 records need to know about a local file.
#ifndef REFAGENT_FILE_INFO_H
#define REFAGENT_FILE_INFO_H

#include "win32_codes.h"

#include <cstdint>
#include <string>

namespace refagent {

struct FileInfo {
    uint32_t attributes = 0;
    FileTime creation, lastAccess, lastWrite;
    uint64_t size = 0;
    uint64_t device = 0;
    uint64_t index = 0;
    uint32_t links = 0;
    bool directory = false;
};

// 0, or errno. Links are followed; `name` decides the hidden attribute.
int StatPath(const std::string &local, const std::string &name, FileInfo &info);
int StatDescriptor(int fd, const std::string &name, FileInfo &info);

// ERROR_FILE_NOT_FOUND when the parent directory exists, else
// ERROR_PATH_NOT_FOUND, as Windows tells a missing file from a missing folder.
uint32_t NotFoundStatus(const std::string &local);
// Win32FromErrno, with ENOENT told apart as above.
uint32_t StatusOf(int error, const std::string &local);

} // namespace refagent

#endif
