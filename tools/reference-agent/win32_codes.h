// The Win32 vocabulary the agent answers in: error codes from errno,
// FILETIMEs from POSIX times, attributes from a stat record.
#ifndef REFAGENT_WIN32_CODES_H
#define REFAGENT_WIN32_CODES_H

#include "util/win32_codes.h"

#include <cstdint>
#include <string>
#include <sys/stat.h>
#include <time.h>

namespace refagent {

using agent::util::kErrorInvalidFunction;
using agent::util::kErrorFileNotFound;
using agent::util::kErrorPathNotFound;
using agent::util::kErrorTooManyOpenFiles;
using agent::util::kErrorAccessDenied;
using agent::util::kErrorInvalidHandle;
using agent::util::kErrorNotSameDevice;
using agent::util::kErrorWriteProtect;
using agent::util::kErrorGenFailure;
using agent::util::kErrorReqNotAccepted;
using agent::util::kErrorFileExists;
using agent::util::kErrorInvalidParameter;
using agent::util::kErrorDiskFull;
using agent::util::kErrorInvalidName;
using agent::util::kErrorNegativeSeek;
using agent::util::kErrorDirNotEmpty;
using agent::util::kErrorBadPathname;
using agent::util::kErrorAlreadyExists;
using agent::util::kErrorFilenameTooLong;
using agent::util::kErrorDirectory;
using agent::util::kErrorNotLoggedOn;
using agent::util::kErrorLogonFailure;

constexpr uint32_t kAttributeReadOnly = 0x1;
constexpr uint32_t kAttributeHidden = 0x2;
constexpr uint32_t kAttributeDirectory = 0x10;
constexpr uint32_t kAttributeArchive = 0x20;
constexpr uint32_t kAttributeNormal = 0x80;
constexpr uint32_t kAttributeReparsePoint = 0x400;

// The base table, except that an existing name is ALREADY_EXISTS and a
// link loop is refused access, as a Windows agent answers; what the base
// table does not name, and the memory, busy and size faults, are a
// general failure.
uint32_t Win32FromErrno(int error);

struct FileTime {
    uint32_t low = 0;
    uint32_t high = 0;
};
// 100 ns ticks since 1601-01-01 UTC; times before 1601 clamp to 0.
FileTime ToFileTime(const struct timespec &t);
// A zero FILETIME means "leave unchanged" and yields false.
bool FromFileTime(FileTime ft, struct timespec &out);

// Directory, read-only (no owner write bit), hidden (dot name), archive
// for files; NORMAL when nothing else applies.
uint32_t AttributesOf(const struct stat &st, const std::string &name);

} // namespace refagent

#endif
