#include "local_files.h"

#include "util/win32_codes.h"

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

// A local name that is missing in a folder that exists is FILE_NOT_FOUND,
// in one that does not PATH_NOT_FOUND; a name the file system refuses is an
// invalid name, and a bad descriptor is only a failed write here.
uint32_t Win32FromErrno(int error, const std::string &path)
{
    namespace u = agent::util;
    switch (error) {
    case ENOENT: return ParentExists(path) ? u::kErrorFileNotFound : u::kErrorPathNotFound;
    case EINVAL:
    case EILSEQ: return u::kErrorInvalidName;
    case EBADF: return u::kErrorWriteFault;
    default: return u::Win32FromErrno(error, u::kErrorWriteFault);
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
