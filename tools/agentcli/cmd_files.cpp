// ls, stat, get and put: looking at remote files, fetching one, sending one.
#include "cli_common.h"
#include "commands.h"
#include "local_files.h"
#include "progress_line.h"
#include "remote_copy.h"
#include "remote_info.h"

#include <cstdio>
#include <cstring>

namespace agentcli {

namespace {
constexpr uint32_t kNoMoreFiles = 18;
constexpr uint32_t kInvalidName = 123;
constexpr DWORD kRemoteDirectory = 0x10;
#ifdef _WIN32
constexpr char kLocalSeparator = '\\';
constexpr const char *kLocalSeparators = "\\/";
#else
constexpr char kLocalSeparator = '/';
constexpr const char *kLocalSeparators = "/";
#endif
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
        // is not there, or that the agent cannot read, is told apart by
        // opening the folder itself.
        const bool wholeFolder = pattern == path + WidenOrEmpty("\\*") || pattern == path + WidenOrEmpty("*");
        BY_HANDLE_FILE_INFORMATION info;
        const uint32_t openError = wholeFolder ? ReadRemoteInfo(logon, path, info) : 0;
        if (openError != 0)
            return Fail("listing " + args.positional[0], openError);
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
                        Printable(name).c_str());
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
    std::printf("path:       %s\n", Printable(args.positional[0]).c_str());
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
    if (local.empty() || IsLocalFolder(local)) {
        const size_t slash = args.positional[0].find_last_of("\\/");
        const std::string name = slash == std::string::npos ? args.positional[0] : args.positional[0].substr(slash + 1);
        if (local.empty())
            local = ".";
        if (local.back() != '/' && local.back() != kLocalSeparator)
            local += kLocalSeparator;
        local += name;
    }
    // A missing local folder is the local side's fault, told before the
    // agent is asked for anything.
    const size_t cut = local.find_last_of(kLocalSeparators);
    const std::string folder = cut == std::string::npos ? std::string(".") : local.substr(0, cut == 0 ? 1 : cut);
    if (!IsLocalFolder(folder))
        return FailLocal("folder " + folder + " (for " + local + ")", kLocalPathNotFound);
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
                                        args.Has("--resume") ? CopyMode::Restartable : CopyMode::Fresh,
                                        &progress.bytesResumed);
    line.reset();
    if (r.error != 0 && InterruptSignal() != 0) {
        std::fprintf(stderr,
                     "agentcli: interrupted by signal %d after %s of %s; %s kept: run again with get --resume to "
                     "continue\n",
                     InterruptSignal(), FormatBytes(progress.bytesDone).c_str(), Printable(args.positional[0]).c_str(),
                     Printable(PartialName(local)).c_str());
        return kExitSignal;
    }
    if (r.error != 0) {
        // The library reports a refused local write with codes an agent
        // may send too: a folder that takes no new file decides.
        const uint32_t localError = ProbeLocalFolder(folder);
        if (localError != 0 || r.error == kLocalDiskFull)
            return FailLocal("file " + local, localError != 0 ? localError : r.error);
        return Fail("copying " + args.positional[0], r.error);
    }
    if (!args.Quiet())
        std::printf("%s -> %s (%llu bytes%s)\n", Printable(args.positional[0]).c_str(), Printable(local).c_str(),
                    static_cast<unsigned long long>(r.bytes),
                    r.resumed != 0 ? (", " + std::to_string(r.resumed) + " of them kept from the partial file").c_str()
                                   : "");
    return kExitOk;
}

int RunPut(const Args &args, AGENT_LOGON logon)
{
    const std::string &local = args.positional[0];
    WString remote;
    if (!RemotePath(args.positional[1], remote))
        return kExitUsage;
    // A missing or unreadable local file is the local side's fault, told
    // before the agent is asked for anything.
    LocalStamp stamp;
    const uint32_t stampError = ReadLocalStamp(local, stamp);
    if (stampError != 0 || !stamp.exists || !stamp.regular)
        return FailLocal("file " + local,
                         stampError != 0 ? stampError : !stamp.exists ? kLocalFileNotFound : kLocalAccessDenied);
    // Into a remote folder under the local file's own name, as cp does.
    const DWORD attributes = AgentGetFileAttributesW(logon, remote.c_str());
    if (attributes != 0xFFFFFFFFu && (attributes & kRemoteDirectory) != 0) {
        const size_t cut = local.find_last_of(kLocalSeparators);
        WString name;
        if (!Widen(cut == std::string::npos ? local : local.substr(cut + 1), name))
            return FailLocal("file " + local, kInvalidName);
        if (remote.back() != static_cast<WCHAR>('\\'))
            remote += static_cast<WCHAR>('\\');
        remote += name;
    }
    BackupProgress progress;
    std::unique_ptr<ProgressLine> line;
    if (WantProgress(args))
        line = StartProgress(args, progress, 1, stamp.size);
    const CopyResult r = PutLocalFile(logon, local, remote, &progress.bytesDone,
                                      args.Has("--resume") ? CopyMode::Restartable : CopyMode::Fresh);
    line.reset();
    if (r.error != 0 && InterruptSignal() != 0) {
        std::fprintf(stderr,
                     "agentcli: interrupted by signal %d after %s of %s; the agent keeps the partial file: run again "
                     "with put --resume to continue\n",
                     InterruptSignal(), FormatBytes(progress.bytesDone).c_str(), Printable(local).c_str());
        return kExitSignal;
    }
    if (r.error != 0)
        return r.where == "local path" ? FailLocal("file " + local, r.error) : Fail("copying " + local, r.error);
    if (!args.Quiet())
        std::printf("%s -> %s (%llu bytes)\n", Printable(local).c_str(), Printable(Narrow(remote)).c_str(),
                    static_cast<unsigned long long>(r.bytes));
    return kExitOk;
}

} // namespace agentcli
