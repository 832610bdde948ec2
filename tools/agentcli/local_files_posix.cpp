// The local file calls on a POSIX host.
#include "local_files.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace agentcli {

uint32_t Win32FromSystemCode(int code, const std::string &path) { return Win32FromErrno(code, path); }

uint32_t ReadLocalStamp(const std::string &path, LocalStamp &stamp)
{
    stamp = LocalStamp();
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return errno == ENOENT ? 0 : Win32FromErrno(errno, path);
    stamp.exists = true;
    stamp.regular = S_ISREG(st.st_mode);
    stamp.size = static_cast<uint64_t>(st.st_size);
    stamp.lastWrite = kFileTimeUnixEpoch + static_cast<uint64_t>(st.st_mtim.tv_sec) * 10000000ull +
                      static_cast<uint64_t>(st.st_mtim.tv_nsec) / 100;
    return 0;
}

bool LocalNameAllowed(const std::string &name)
{
    return !name.empty() && name.size() <= 255 && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

bool IsTerminal(std::FILE *stream) { return ::isatty(::fileno(stream)) == 1; }

} // namespace agentcli
