// folders, bookmarks, pst: where the user's data live on the agent's
// machine, and fetching the bookmark file and the mail stores.
#include "cli_common.h"
#include "commands.h"
#include "local_files.h"
#include "progress_line.h"
#include "remote_copy.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

namespace agentcli {

namespace {

struct FolderName {
    DWORD csidl;
    const char *name;
};

const FolderName kFolders[] = {
    {0x00, "Desktop"},     {0x05, "Documents"},   {0x06, "Favorites"},   {0x0d, "Music"},
    {0x0e, "Videos"},      {0x27, "Pictures"},    {0x1a, "AppData"},     {0x1c, "LocalAppData"},
    {0x28, "Profile"},     {0x23, "ProgramData"}, {0x24, "Windows"},     {0x26, "ProgramFiles"},
};

const char *FolderLabel(DWORD csidl)
{
    for (const FolderName &f : kFolders)
        if (f.csidl == csidl)
            return f.name;
    return "folder";
}

int CopyToLocal(AGENT_LOGON logon, const WString &remote, const std::string &local,
                BackupProgress *progress = nullptr)
{
    const CopyResult r = CopyRemoteFile(logon, remote, local, progress != nullptr ? &progress->bytesDone : nullptr);
    if (progress != nullptr)
        ++progress->filesDone;
    if (r.error != 0)
        return Fail("copying " + Narrow(remote) + " (" + r.where + ")", r.error);
    std::printf("%s -> %s (%llu bytes)\n", Narrow(remote).c_str(), local.c_str(),
                static_cast<unsigned long long>(r.bytes));
    return kExitOk;
}

} // namespace

int RunFolders(const Args &args, AGENT_LOGON logon)
{
    const DWORD flag = args.Has("--default") ? 1 : 0;
    std::vector<DWORD> wanted;
    for (const std::string &p : args.positional) {
        unsigned long v = 0;
        if (!ParseNumber(p, 0, 0xFFFF, v, 0))
            return UsageError("not a CSIDL number: " + p);
        wanted.push_back(static_cast<DWORD>(v));
    }
    const bool explicitList = !wanted.empty();
    if (!explicitList)
        for (const FolderName &f : kFolders)
            wanted.push_back(f.csidl);
    int result = kExitOk;
    for (DWORD csidl : wanted) {
        WCHAR path[260] = {};
        if (AgentGetFolderPathW(logon, csidl, flag, path)) {
            std::printf("%-13s 0x%02X  %s\n", FolderLabel(csidl), static_cast<unsigned>(csidl), Narrow(path).c_str());
        } else if (explicitList) {
            result = Fail(std::string("folder ") + FolderLabel(csidl) + " (" + std::to_string(csidl) + ")",
                          GetLastError());
        } else {
            std::printf("%-13s 0x%02X  (not present: error %u)\n", FolderLabel(csidl), static_cast<unsigned>(csidl),
                        static_cast<unsigned>(GetLastError()));
        }
    }
    return result;
}

int RunBookmarks(const Args &args, AGENT_LOGON logon)
{
    WCHAR firefox[260] = {}, favorites[260] = {};
    const bool haveFirefox = AgentFirefox3Exists(logon) && AgentGetFirefox3BookmarkPath(logon, firefox);
    const uint32_t firefoxError = haveFirefox ? 0 : GetLastError();
    if (haveFirefox)
        std::printf("Firefox 3 bookmarks: %s\n", Narrow(firefox).c_str());
    else
        std::printf("Firefox 3 bookmarks: none (error %u)\n", firefoxError);
    if (AgentGetIEFavoritePath(logon, favorites))
        std::printf("IE favorites:        %s\n", Narrow(favorites).c_str());
    else
        std::printf("IE favorites:        none (error %u)\n", static_cast<unsigned>(GetLastError()));
    if (args.values.count("--get")) {
        if (!haveFirefox)
            return Fail("fetching the Firefox 3 bookmarks", firefoxError);
        return CopyToLocal(logon, firefox, args.Value("--get"));
    }
    return kExitOk;
}

namespace {

struct Store {
    WString path;
    WString name;
};

void AGENTAPI CollectStore(const WCHAR *path, const WCHAR *secondText, void *context)
{
    static_cast<std::vector<Store> *>(context)->push_back(
        {path != nullptr ? WString(path) : WString(), secondText != nullptr ? WString(secondText) : WString()});
}

struct LocalName {
    WString name;   // empty when the store gets no copy
    uint32_t error; // then why
};

// The names the library gives local copies (AgentGetPst2Local's rule), so
// stores of one file name each get a file of their own.
std::vector<LocalName> LocalStoreNames(const std::vector<Store> &stores)
{
    constexpr size_t kBlock = 260;
    std::vector<const WCHAR *> paths;
    for (const Store &s : stores)
        paths.push_back(s.path.c_str());
    std::vector<WCHAR> names(stores.size() * kBlock + 1, 0);
    std::vector<DWORD> errors(stores.size(), 0);
    AgentGetPstLocalNames(paths.data(), static_cast<DWORD>(paths.size()), names.data(), errors.data());
    std::vector<LocalName> out;
    for (size_t i = 0; i < stores.size(); ++i)
        out.push_back({WString(&names[i * kBlock]), errors[i]});
    return out;
}

} // namespace

int RunPst(const Args &args, AGENT_LOGON logon)
{
    const std::string action = args.positional[0];
    if (action != "list" && action != "get")
        return UsageError("pst wants list or get");
    if (action == "get" && args.positional.size() != 2)
        return UsageError("pst get wants a local folder");
    if (action == "list" && args.positional.size() != 1)
        return UsageError("pst list takes no further argument");
    DWORD count = 0;
    if (!AgentGetAgentPstCount(logon, &count))
        return Fail("counting mail stores", GetLastError());
    std::vector<Store> stores;
    if (!AgentGetPSTList(logon, &CollectStore, &stores))
        return Fail("listing mail stores", GetLastError());
    if (action == "list") {
        std::printf("%u mail stores\n", static_cast<unsigned>(count));
        for (const Store &s : stores)
            std::printf("  %s  (%s)\n", Narrow(s.path).c_str(), Narrow(s.name).c_str());
        return kExitOk;
    }
    const std::string folder = args.positional[1];
    if (const uint32_t error = CreateLocalFolder(folder))
        return Fail("creating " + folder, error);
    BackupProgress progress;
    std::unique_ptr<ProgressLine> line;
    if (WantProgress(args)) {
        uint64_t bytes = 0;
        for (const Store &s : stores) {
            WIN32_FILE_ATTRIBUTE_DATA data;
            std::memset(&data, 0, sizeof data);
            if (AgentGetFileAttributesExW(logon, s.path.c_str(), &data))
                bytes += (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        }
        line = StartProgress(args, progress, stores.size(), bytes);
    }
    const std::vector<LocalName> names = LocalStoreNames(stores);
    int result = kExitOk;
    for (const Store &s : stores) {
        const LocalName &named = names[&s - stores.data()];
        if (named.error != 0) {
            result = Fail("no local name for " + Narrow(s.path), named.error);
            continue;
        }
        const WString &name = named.name;
        const std::string local = (std::filesystem::u8path(folder) / std::filesystem::u8path(Narrow(name))).u8string();
        if (CopyToLocal(logon, s.path, local, &progress) != kExitOk)
            result = kExitPartial;
    }
    return result;
}

} // namespace agentcli
