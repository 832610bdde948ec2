#include "win32_codes.h"

#include <cerrno>

namespace refagent {

namespace {
constexpr uint64_t kEpochDifference = 11644473600ull; // 1601 -> 1970 in seconds
constexpr uint64_t kTicksPerSecond = 10000000ull;
} // namespace

uint32_t Win32FromErrno(int error)
{
    switch (error) {
    case EEXIST: return kErrorAlreadyExists;
    case ELOOP: return kErrorAccessDenied;
    case EFBIG:
    case ENOMEM:
    case EBUSY:
    case ETXTBSY: return kErrorGenFailure;
    default: return agent::util::Win32FromErrno(error, kErrorGenFailure);
    }
}

FileTime ToFileTime(const struct timespec &t)
{
    FileTime ft;
    if (t.tv_sec < -static_cast<int64_t>(kEpochDifference))
        return ft;
    const uint64_t ticks = (static_cast<uint64_t>(t.tv_sec + static_cast<int64_t>(kEpochDifference))) * kTicksPerSecond +
                           static_cast<uint64_t>(t.tv_nsec) / 100;
    ft.low = static_cast<uint32_t>(ticks);
    ft.high = static_cast<uint32_t>(ticks >> 32);
    return ft;
}

bool FromFileTime(FileTime ft, struct timespec &out)
{
    const uint64_t ticks = static_cast<uint64_t>(ft.high) << 32 | ft.low;
    if (ticks == 0)
        return false;
    out.tv_sec = static_cast<time_t>(static_cast<int64_t>(ticks / kTicksPerSecond) - static_cast<int64_t>(kEpochDifference));
    out.tv_nsec = static_cast<long>((ticks % kTicksPerSecond) * 100);
    return true;
}

uint32_t AttributesOf(const struct stat &st, const std::string &name)
{
    uint32_t attributes = 0;
    if (S_ISDIR(st.st_mode))
        attributes |= kAttributeDirectory;
    else
        attributes |= kAttributeArchive;
    if (!S_ISDIR(st.st_mode) && (st.st_mode & S_IWUSR) == 0)
        attributes |= kAttributeReadOnly;
    if (!name.empty() && name[0] == '.' && name != "." && name != "..")
        attributes |= kAttributeHidden;
    return attributes == 0 ? kAttributeNormal : attributes;
}

} // namespace refagent
