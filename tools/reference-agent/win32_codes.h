// The Win32 vocabulary the agent answers in: error codes from errno,
// FILETIMEs from POSIX times, attributes from a stat record.
#ifndef REFAGENT_WIN32_CODES_H
#define REFAGENT_WIN32_CODES_H

#include <cstdint>
#include <string>
#include <sys/stat.h>
#include <time.h>

namespace refagent {

constexpr uint32_t kErrorInvalidFunction = 1;
constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorPathNotFound = 3;
constexpr uint32_t kErrorTooManyOpenFiles = 4;
constexpr uint32_t kErrorAccessDenied = 5;
constexpr uint32_t kErrorInvalidHandle = 6;
constexpr uint32_t kErrorNotSameDevice = 17;
constexpr uint32_t kErrorWriteProtect = 19;
constexpr uint32_t kErrorGenFailure = 31;
constexpr uint32_t kErrorReqNotAccepted = 71;
constexpr uint32_t kErrorFileExists = 80;
constexpr uint32_t kErrorInvalidParameter = 87;
constexpr uint32_t kErrorDiskFull = 112;
constexpr uint32_t kErrorInvalidName = 123;
constexpr uint32_t kErrorNegativeSeek = 131;
constexpr uint32_t kErrorDirNotEmpty = 145;
constexpr uint32_t kErrorBadPathname = 161;
constexpr uint32_t kErrorAlreadyExists = 183;
constexpr uint32_t kErrorFilenameTooLong = 206;
constexpr uint32_t kErrorDirectory = 267;
constexpr uint32_t kErrorNotLoggedOn = 1245;
constexpr uint32_t kErrorLogonFailure = 1326;

constexpr uint32_t kAttributeReadOnly = 0x1;
constexpr uint32_t kAttributeHidden = 0x2;
constexpr uint32_t kAttributeDirectory = 0x10;
constexpr uint32_t kAttributeArchive = 0x20;
constexpr uint32_t kAttributeNormal = 0x80;
constexpr uint32_t kAttributeReparsePoint = 0x400;

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
