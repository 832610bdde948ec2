// The logon and the exports that are one request and one reply on a pooled
// connection: paths and attributes, disk space, OS version, folder paths,
// browser paths, PST count and merge. The selected export runs twice, so
// the second call shows what the first left in the pool.
#include "fuzz_round.h"

#include <algorithm>

using namespace fuzzing;

namespace {

const std::basic_string<WCHAR> kPath = Wide(u"C:\\Users\\alice\\file.txt");
const WCHAR kUntouched = 0x5A5A;
const std::basic_string<WCHAR> kTarget = Wide(u"C:\\Users\\alice\\moved.txt");

// A path buffer filled by the agent: terminated within 260 on success;
// after a failure empty, or untouched when no exchange took place.
void CheckPathBuffer(BOOL ok, const WCHAR *path, const char *name)
{
    if (ok == 1) {
        Require(TerminatedWithin(path, 260), name);
    } else {
        RequireCause(name);
        Require(path[0] == 0 || path[0] == kUntouched, name);
    }
}

void RunOne(AGENT_LOGON logon, unsigned which, uint8_t parameter)
{
    WCHAR path[260];
    std::fill(path, path + 260, kUntouched);
    Arm();
    switch (which) {
    case 0:
        if (AgentPathFileExistsW(logon, kPath.c_str()) != 1)
            RequireCause("AgentPathFileExistsW");
        break;
    case 1:
        if (AgentPathIsRootW(logon, kPath.c_str()) != 1)
            RequireCause("AgentPathIsRootW");
        break;
    case 2: {
        std::basic_string<WCHAR> text = kPath;
        if (AgentPathStripToRootW(logon, &text[0]) != 1)
            RequireCause("AgentPathStripToRootW");
        Require(text == kPath, "AgentPathStripToRootW wrote the caller's buffer");
        break;
    }
    case 3:
        if (AgentGetFileAttributesW(logon, kPath.c_str()) == 0xFFFFFFFFu)
            RequireCause("AgentGetFileAttributesW");
        break;
    case 4: {
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (AgentGetFileAttributesExW(logon, kPath.c_str(), &data) != 1)
            RequireCause("AgentGetFileAttributesExW");
        break;
    }
    case 5:
        if (AgentSetFileAttributesW(logon, kPath.c_str(), parameter) != 1)
            RequireCause("AgentSetFileAttributesW");
        break;
    case 6:
        if (AgentCreateDirectoryW(logon, kPath.c_str()) != 1)
            RequireCause("AgentCreateDirectoryW");
        break;
    case 7:
        if (AgentRemovePath(logon, kPath.c_str()) != 1)
            RequireCause("AgentRemovePath");
        break;
    case 8:
        if (AgentMoveFile(logon, kPath.c_str(), kTarget.c_str()) != 1)
            RequireCause("AgentMoveFile");
        break;
    case 9: {
        DWORD a = 0, b = 0, c = 0, d = 0;
        if (AgentGetDiskFreeSpace(logon, kPath.c_str(), &a, &b, &c, &d) != 1)
            RequireCause("AgentGetDiskFreeSpace");
        break;
    }
    case 10:
        AgentGetOSVersion(logon); // any value is a version
        break;
    case 11:
        CheckPathBuffer(AgentGetFolderPathW(logon, parameter, parameter & 1, path), path, "AgentGetFolderPathW");
        break;
    case 12:
        if (AgentFirefox3Exists(logon) != 1)
            RequireCause("AgentFirefox3Exists");
        break;
    case 13:
        CheckPathBuffer(AgentGetFirefox3BookmarkPath(logon, path), path, "AgentGetFirefox3BookmarkPath");
        break;
    case 14:
        CheckPathBuffer(AgentGetIEFavoritePath(logon, path), path, "AgentGetIEFavoritePath");
        break;
    case 15: {
        DWORD count = 7;
        if (AgentGetAgentPstCount(logon, &count) != 1) {
            RequireCause("AgentGetAgentPstCount");
            Require(count == 0, "AgentGetAgentPstCount: count after a failure");
        }
        break;
    }
    case 16: {
        const WCHAR *names[] = {kPath.c_str(), kTarget.c_str()};
        const DWORD values[] = {1, parameter};
        if (AgentMergePST(logon, kPath.c_str(), kTarget.c_str(), kPath.c_str(), names, values, 2) != 1)
            RequireCause("AgentMergePST");
        break;
    }
    default:
        // An idle connection has no list to cancel: nothing may be sent.
        Require(AgentCancelPathList(logon) == 0, "AgentCancelPathList on an idle connection");
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Round round(data, size);
    if (round.logon() == nullptr)
        return 0;
    const unsigned which = round.selector() % 18;
    RunOne(round.logon(), which, round.parameter());
    RunOne(round.logon(), which, round.parameter());
    return 0;
}
