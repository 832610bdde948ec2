// ls, stat, get and put: looking at remote files, fetching one, sending one.
#include "cli_common.h"
#include "commands.h"
#include "progress_line.h"
#include "remote_copy.h"

#include <cstdio>
#include <cstring>
#include <filesystem>

namespace agentcli {

namespace {
constexpr uint32_t kNoMoreFiles = 18;
constexpr uint32_t kNotFound = 2;
constexpr uint32_t kNotAFile = 5;
constexpr uint32_t kInvalidName = 123;
constexpr DWORD kDirectory = 0x10;
} // namespace

int RunLs(const Args &args, AGENT_LOGON logon)
{
    WString path;
    if (!RemotePath(args.positional[0], path))
        return kExitUsage;
    WString pattern = path;
    if (pattern.find_first_of(WidenOrEmpty("*?")) == WString::npos) {
        if (pattern.back() != static_cast<WCHAR>('\\'))
            pattern += static_cast<WCHAR>('\\');
        pattern += static_cast<WCHAR>('*');
    }
    const bool all = args.Has("--all");
    WIN32_FIND_DATAW data;
    std::memset(&data, 0, sizeof data);
    HANDLE search = AgentFindFirstFileW(logon, pattern.c_str(), &data);
    if (search == nullptr) {
        const uint32_t error = GetLastError();
        if (error != kNoMoreFiles)
            return Fail("listing " + args.positional[0], error);
        // A search has no error channel: an empty answer for a folder that
        // is not there is told apart by asking for the folder itself.
        const bool wholeFolder = pattern == path + WidenOrEmpty("\\*") || pattern == path + WidenOrEmpty("*");
        if (wholeFolder && AgentGetFileAttributesW(logon, path.c_str()) == 0xFFFFFFFFu)
            return Fail(args.positional[0], GetLastError());
        std::printf("0 entries\n");
        return kExitOk;
    }
    uint64_t count = 0;
    uint32_t error = 0;
    for (;;) {
        const std::string name = Narrow(data.cFileName);
        if (all || (name != "." && name != "..")) {
            const uint64_t size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
            std::printf("%s %14llu  %s  %s\n", FormatAttributes(data.dwFileAttributes).c_str(),
                        static_cast<unsigned long long>(size), FormatFileTime(data.ftLastWriteTime).c_str(),
                        name.c_str());
            ++count;
        }
        std::memset(&data, 0, sizeof data);
        if (!AgentFindNextFileW(search, &data)) {
            error = GetLastError();
            break;
        }
    }
    AgentCloseHandle(logon, search);
    if (error != kNoMoreFiles)
        return Fail("listing " + args.positional[0] + " broke off", error);
    std::printf("%llu entries\n", static_cast<unsigned long long>(count));
    return kExitOk;
}

int RunStat(const Args &args, AGENT_LOGON logon)
{
    WString path;
    if (!RemotePath(args.positional[0], path))
        return kExitUsage;
    WIN32_FILE_ATTRIBUTE_DATA data;
    std::memset(&data, 0, sizeof data);
    if (!AgentGetFileAttributesExW(logon, path.c_str(), &data))
        return Fail(args.positional[0], GetLastError());
    const uint64_t size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    std::printf("path:       %s\n", args.positional[0].c_str());
    std::printf("kind:       %s\n", (data.dwFileAttributes & 0x10) ? "folder" : "file");
    std::printf("attributes: 0x%08X (%s)\n", static_cast<unsigned>(data.dwFileAttributes), FormatAttributes(data.dwFileAttributes).c_str());
    std::printf("size:       %llu\n", static_cast<unsigned long long>(size));
    std::printf("created:    %s UTC\n", FormatFileTime(data.ftCreationTime).c_str());
    std::printf("accessed:   %s UTC\n", FormatFileTime(data.ftLastAccessTime).c_str());
    std::printf("written:    %s UTC\n", FormatFileTime(data.ftLastWriteTime).c_str());
    return kExitOk;
}

int RunGet(const Args &args, AGENT_LOGON logon)
{
    WString remote;
    if (!RemotePath(args.positional[0], remote))
        return kExitUsage;
    std::string local = args.positional.size() > 1 ? args.positional[1] : std::string();
    if (local.empty() || std::filesystem::is_directory(std::filesystem::u8path(local))) {
        const size_t slash = args.positional[0].find_last_of("\\/");
        const std::string name = slash == std::string::npos ? args.positional[0] : args.positional[0].substr(slash + 1);
        local = (std::filesystem::u8path(local.empty() ? "." : local) / std::filesystem::u8path(name)).u8string();
    }
    BackupProgress progress;
    std::unique_ptr<ProgressLine> line;
    if (WantProgress(args)) {
        // The size is only for the progress line; the copy learns it itself.
        WIN32_FILE_ATTRIBUTE_DATA data;
        std::memset(&data, 0, sizeof data);
        AgentGetFileAttributesExW(logon, remote.c_str(), &data);
        line = StartProgress(args, progress, 1, (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
    }
    const CopyResult r = CopyRemoteFile(logon, remote, local, &progress.bytesDone,
                                        args.Has("--resume") ? CopyMode::Restartable : CopyMode::Fresh);
    line.reset();
    if (r.error != 0)
        return Fail("copying " + args.positional[0], r.error);
    std::printf("%s -> %s (%llu bytes)\n", args.positional[0].c_str(), local.c_str(),
                static_cast<unsigned long long>(r.bytes));
    return kExitOk;
}

int RunPut(const Args &args, AGENT_LOGON logon)
{
    const std::string &local = args.positional[0];
    WString remote;
    if (!RemotePath(args.positional[1], remote))
        return kExitUsage;
    std::error_code error;
    const std::filesystem::path localPath = std::filesystem::u8path(local);
    if (!std::filesystem::is_regular_file(localPath, error))
        return Fail(local, error ? kNotFound : kNotAFile);
    // Into a remote folder under the local file's own name, as cp does.
    const DWORD attributes = AgentGetFileAttributesW(logon, remote.c_str());
    if (attributes != 0xFFFFFFFFu && (attributes & kDirectory) != 0) {
        if (remote.back() != static_cast<WCHAR>('\\'))
            remote += static_cast<WCHAR>('\\');
        WString name;
        if (!Widen(localPath.filename().u8string(), name))
            return Fail(local, kInvalidName);
        remote += name;
    }
    BackupProgress progress;
    std::unique_ptr<ProgressLine> line;
    if (WantProgress(args))
        line = StartProgress(args, progress, 1, std::filesystem::file_size(localPath, error));
    const CopyResult r = PutLocalFile(logon, local, remote, &progress.bytesDone,
                                      args.Has("--resume") ? CopyMode::Restartable : CopyMode::Fresh);
    line.reset();
    if (r.error != 0)
        return Fail("copying " + local, r.error);
    std::printf("%s -> %s (%llu bytes)\n", local.c_str(), Narrow(remote).c_str(), static_cast<unsigned long long>(r.bytes));
    return kExitOk;
}

} // namespace agentcli
