#include "local_files.h"

#include <cerrno>
#include <filesystem>

namespace agentcli {

namespace {

bool ParentExists(const std::string &path)
{
    std::error_code ec;
    const std::filesystem::path parent = std::filesystem::u8path(path).parent_path();
    return parent.empty() || std::filesystem::is_directory(parent, ec);
}

} // namespace

uint32_t Win32FromErrno(int error, const std::string &path)
{
    switch (error) {
    case 0:
        return 0;
    case ENOENT:
        return ParentExists(path) ? kLocalFileNotFound : kLocalPathNotFound;
    case ENOTDIR:
        return kLocalPathNotFound; // a file stands where a folder should be
    case EEXIST:
        return kLocalFileExists;
    case EACCES:
    case EPERM:
    case EISDIR:
        return kLocalAccessDenied;
    case ENOSPC:
#ifdef EDQUOT
    case EDQUOT:
#endif
    case EFBIG:
        return kLocalDiskFull;
    case EROFS:
        return kLocalWriteProtect;
    case ENAMETOOLONG:
        return 206; // ERROR_FILENAME_EXCED_RANGE
    case EINVAL:
    case EILSEQ:
        return 123; // ERROR_INVALID_NAME
    case EMFILE:
    case ENFILE:
        return 4; // ERROR_TOO_MANY_OPEN_FILES
    case ENOMEM:
        return 8; // ERROR_NOT_ENOUGH_MEMORY
    case EBUSY:
    case ETXTBSY:
        return 32; // ERROR_SHARING_VIOLATION
    case EXDEV:
        return 17; // ERROR_NOT_SAME_DEVICE
    case ENOTEMPTY:
        return 145; // ERROR_DIR_NOT_EMPTY
    case EIO:
    default:
        return kLocalWriteFault;
    }
}

uint32_t Win32FromError(const std::error_code &error, const std::string &path)
{
    if (!error)
        return 0;
    if (error.category() == std::generic_category())
        return Win32FromErrno(error.value(), path);
    if (error.category() == std::system_category())
        return Win32FromSystemCode(error.value(), path);
    return kLocalWriteFault;
}

} // namespace agentcli

namespace agentcli {

uint32_t CreateLocalFolder(const std::string &path)
{
    std::error_code ec;
    const std::filesystem::path folder = std::filesystem::u8path(path);
    std::filesystem::create_directories(folder, ec);
    if (!ec)
        return 0;
    std::error_code ignored;
    if (std::filesystem::exists(folder, ignored) && !std::filesystem::is_directory(folder, ignored))
        return kLocalFileExists;
    return Win32FromError(ec, path);
}

} // namespace agentcli
