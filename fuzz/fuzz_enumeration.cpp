// The exports that read entry streams: searches, drive enumerations, path
// lists (stopped by the callback after a few entries when the parameter
// says so) and PST lists.
#include "fuzz_round.h"

#include <cstring>

using namespace fuzzing;

namespace {

const std::basic_string<WCHAR> kPattern = Wide(u"C:\\Users\\*");
constexpr int kMostNext = 64;

void CheckFind(const WIN32_FIND_DATAW &data)
{
    Require(TerminatedWithin(data.cFileName, 260), "find record name not terminated");
    Require(TerminatedWithin(data.cAlternateFileName, 14), "find record short name not terminated");
}

void CheckDrive(const AgentDriveInfo &info)
{
    Require(TerminatedWithin(info.Text1, 261) && TerminatedWithin(info.Text2, 261), "drive texts not terminated");
}

void Search(AGENT_LOGON logon, bool withValue, int32_t value)
{
    WIN32_FIND_DATAW data;
    Arm();
    HANDLE search = withValue ? AgentFindFirstFile2W(logon, kPattern.c_str(), value, &data)
                              : AgentFindFirstFileW(logon, kPattern.c_str(), &data);
    if (search == nullptr) {
        RequireCause("AgentFindFirstFileW");
        return;
    }
    CheckFind(data);
    for (int i = 0; i < kMostNext; ++i) {
        Arm();
        if (AgentFindNextFileW(search, &data) == 1) {
            CheckFind(data);
            continue;
        }
        RequireCause("AgentFindNextFileW");
        if (GetLastError() != 13) // an undecodable entry is skipped, the search goes on
            break;
    }
    Require(AgentCloseHandle(logon, search) == 1 || GetLastError() != 0, "AgentCloseHandle failed without a cause");
}

void Drives(AGENT_LOGON logon)
{
    AgentDriveInfo info;
    Arm();
    HANDLE drives = AgentFindFirstLogicalDriveW(logon, &info);
    if (drives == nullptr) {
        RequireCause("AgentFindFirstLogicalDriveW");
        return;
    }
    CheckDrive(info);
    for (int i = 0; i < kMostNext; ++i) {
        std::memset(&info, 0, sizeof info);
        Arm();
        if (AgentFindNextLogicalDriveW(drives, &info) != 1) {
            RequireCause("AgentFindNextLogicalDriveW");
            break;
        }
        CheckDrive(info);
    }
    Require(AgentCloseHandle(logon, drives) == 1 || GetLastError() != 0, "AgentCloseHandle failed without a cause");
}

struct ListState {
    unsigned seen = 0;
    unsigned stopAfter = 0; // 0: never
};

void AGENTAPI OnPath(const WCHAR *path, const WIN32_FIND_DATAW *data, void *context)
{
    auto *state = static_cast<ListState *>(context);
    Require(path != nullptr && data != nullptr, "path list entry without path or record");
    CheckFind(*data);
    if (++state->seen == state->stopAfter)
        Require(AgentStopPathList() == 1, "AgentStopPathList inside the callback");
}

void PathList(AGENT_LOGON logon, uint8_t parameter)
{
    ListState state;
    state.stopAfter = parameter % 4;
    Arm();
    const BOOL ok = AgentGetPathList(logon, kPattern.c_str(), OnPath, &state);
    // The end of the list is 18 whatever the result says; a stopped list
    // never reports its end.
    if (ok == 1)
        Require(GetLastError() == ERROR_NO_MORE_FILES, "path list succeeded without 18");
    else
        RequireCause("AgentGetPathList");
    if (state.stopAfter != 0 && state.seen >= state.stopAfter)
        Require(ok == 0 && GetLastError() == ERROR_CANCELLED, "a stopped path list did not end with 1223");
}

void AGENTAPI OnStore(const WCHAR *path, const WCHAR *second, void *context)
{
    Require(path != nullptr && second != nullptr, "PST entry without texts");
    ++*static_cast<unsigned *>(context);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Round round(data, size);
    if (round.logon() == nullptr)
        return 0;
    AGENT_LOGON logon = round.logon();
    switch (round.selector() % 5) {
    case 0:
        Search(logon, false, 0);
        break;
    case 1:
        Search(logon, true, round.parameter());
        break;
    case 2:
        Drives(logon);
        break;
    case 3:
        PathList(logon, round.parameter());
        break;
    default: {
        unsigned stores = 0;
        Arm();
        if (AgentGetPSTList(logon, OnStore, &stores) != 1)
            RequireCause("AgentGetPSTList");
        break;
    }
    }
    return 0;
}
