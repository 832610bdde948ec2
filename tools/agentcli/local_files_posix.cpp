// The local file calls on a POSIX host.
#include "local_files.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace agentcli {

uint32_t Win32FromSystemCode(int code, const std::string &path) { return Win32FromErrno(code, path); }

void StampFromStat(const struct stat &st, LocalStamp &stamp)
{
    stamp.exists = true;
    stamp.regular = S_ISREG(st.st_mode);
    stamp.size = static_cast<uint64_t>(st.st_size);
    stamp.lastWrite = kFileTimeUnixEpoch + static_cast<uint64_t>(st.st_mtim.tv_sec) * 10000000ull +
                      static_cast<uint64_t>(st.st_mtim.tv_nsec) / 100;
}

uint32_t ReadLocalStamp(const std::string &path, LocalStamp &stamp)
{
    stamp = LocalStamp();
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return errno == ENOENT ? 0 : Win32FromErrno(errno, path);
    StampFromStat(st, stamp);
    return 0;
}

bool LocalNameAllowed(const std::string &name)
{
    return !name.empty() && name.size() <= 255 && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

bool IsTerminal(std::FILE *stream) { return ::isatty(::fileno(stream)) == 1; }

int TerminalColumns(std::FILE *stream)
{
    struct winsize size;
    if (!IsTerminal(stream) || ::ioctl(::fileno(stream), TIOCGWINSZ, &size) != 0)
        return 0;
    return size.ws_col;
}

bool IsLocalFolder(const std::string &path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::FILE *OpenLocalForRead(const std::string &path) { return std::fopen(path.c_str(), "rb"); }

uint32_t ProbeLocalFolder(const std::string &folder, double *flushSeconds)
{
    if (flushSeconds != nullptr)
        *flushSeconds = -1;
    std::string name = (folder.empty() ? std::string(".") : folder) + "/.agentcli-probe-XXXXXX";
    const int fd = ::mkstemp(&name[0]);
    if (fd < 0)
        return Win32FromErrno(errno, name);
    if (flushSeconds != nullptr) {
        const std::string block(4096, '\0');
        if (::write(fd, block.data(), block.size()) == static_cast<ssize_t>(block.size())) {
            const auto start = std::chrono::steady_clock::now();
            if (::fsync(fd) == 0)
                *flushSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        }
    }
    ::close(fd);
    ::unlink(name.c_str());
    return 0;
}

} // namespace agentcli

namespace agentcli {
bool LocalNamesIgnoreCase() { return false; }
} // namespace agentcli
