// The Win32 error codes the library, agentcli and the reference agent
// report, and the one errno-to-Win32 table they start from. Each caller
// keeps its own exceptions in a small wrapper (a missing name reads
// differently for a local copy target than for a name an agent was asked
// for); the common cases live here only.
#ifndef AGENT_UTIL_WIN32_CODES_H
#define AGENT_UTIL_WIN32_CODES_H

#include <cerrno>
#include <cstdint>

namespace agent {
namespace util {

// Inline, so that only what is used by address leaves a symbol behind:
// the shipped library's symbol table is checked for test names.
inline constexpr uint32_t kErrorSuccess = 0;
inline constexpr uint32_t kErrorInvalidFunction = 1;
inline constexpr uint32_t kErrorFileNotFound = 2;
inline constexpr uint32_t kErrorPathNotFound = 3;
inline constexpr uint32_t kErrorTooManyOpenFiles = 4;
inline constexpr uint32_t kErrorAccessDenied = 5;
inline constexpr uint32_t kErrorInvalidHandle = 6;
inline constexpr uint32_t kErrorNotEnoughMemory = 8;
inline constexpr uint32_t kErrorInvalidData = 13;
inline constexpr uint32_t kErrorNotSameDevice = 17;
inline constexpr uint32_t kErrorNoMoreFiles = 18;
inline constexpr uint32_t kErrorWriteProtect = 19;
inline constexpr uint32_t kErrorWriteFault = 29;
inline constexpr uint32_t kErrorGenFailure = 31;
inline constexpr uint32_t kErrorSharingViolation = 32;
inline constexpr uint32_t kErrorReqNotAccepted = 71;
inline constexpr uint32_t kErrorFileExists = 80;
inline constexpr uint32_t kErrorInvalidParameter = 87;
inline constexpr uint32_t kErrorDiskFull = 112;
inline constexpr uint32_t kErrorInvalidName = 123;
inline constexpr uint32_t kErrorNegativeSeek = 131;
inline constexpr uint32_t kErrorDirNotEmpty = 145;
inline constexpr uint32_t kErrorBadPathname = 161;
inline constexpr uint32_t kErrorAlreadyExists = 183;
inline constexpr uint32_t kErrorFilenameTooLong = 206;
inline constexpr uint32_t kErrorDirectory = 267;
inline constexpr uint32_t kErrorNoUnicodeTranslation = 1113;
inline constexpr uint32_t kErrorNotLoggedOn = 1245;
inline constexpr uint32_t kErrorLogonFailure = 1326;
inline constexpr uint32_t kErrorCantResolveFilename = 1921;

// The common reading of a file-system errno; `unknown` for anything the
// table does not name. A missing name is FILE_NOT_FOUND here: callers that
// know the folder is missing too say PATH_NOT_FOUND themselves.
inline uint32_t Win32FromErrno(int error, uint32_t unknown = kErrorWriteFault)
{
    switch (error) {
    case 0: return kErrorSuccess;
    case ENOENT: return kErrorFileNotFound;
    case ENOTDIR: return kErrorPathNotFound; // a file stands where a folder should be
    case EACCES:
    case EPERM:
    case EISDIR: return kErrorAccessDenied;
    case EEXIST: return kErrorFileExists;
    case ENOSPC:
#ifdef EDQUOT
    case EDQUOT:
#endif
    case EFBIG: return kErrorDiskFull;
    case EROFS: return kErrorWriteProtect;
    case ENAMETOOLONG: return kErrorFilenameTooLong;
    case EMFILE:
    case ENFILE: return kErrorTooManyOpenFiles;
    case ENOMEM: return kErrorNotEnoughMemory;
    case EBADF: return kErrorInvalidHandle;
    case EBUSY:
    case ETXTBSY: return kErrorSharingViolation;
    case EXDEV: return kErrorNotSameDevice;
    case ENOTEMPTY: return kErrorDirNotEmpty;
    case EINVAL: return kErrorInvalidParameter;
    default: return unknown;
    }
}

} // namespace util
} // namespace agent

#endif
