// Remote file handles, and the copies built on them: reads (sequential and
// at offsets), information, pointer moves, times, writes, the copy into a
// local file, the Firefox bookmark copy and the PST stores' local copies.
#include "fuzz_round.h"

#include <cstring>
#include <memory>
#include <vector>

using namespace fuzzing;

namespace {

const std::basic_string<WCHAR> kPath = Wide(u"C:\\Users\\alice\\file.bin");
constexpr DWORD kGenericRead = 0x80000000u;
constexpr DWORD kOpenExisting = 3;

// A read into a buffer of exactly toRead bytes (so an overrun is seen)
// must report no more than it was asked for.
void Read(HANDLE file, DWORD toRead, bool atOffset, DWORD offset)
{
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[toRead == 0 ? 1 : toRead]);
    DWORD read = 0xFFFFFFFFu;
    Arm();
    const BOOL ok = atOffset ? AgentReadFilePosition(file, buffer.get(), toRead, &read, offset, 0)
                             : AgentReadFile(file, buffer.get(), toRead, &read);
    if (ok == 1)
        Require(read <= toRead, "read reports more bytes than asked for");
    else
        RequireCause(atOffset ? "AgentReadFilePosition" : "AgentReadFile");
}

void Handles(AGENT_LOGON logon, uint8_t parameter, bool sequential)
{
    Arm();
    HANDLE file = AgentCreateFileW(logon, kPath.c_str(), kGenericRead, 1, kOpenExisting, 0);
    if (file == nullptr) {
        RequireCause("AgentCreateFileW");
        return;
    }
    Require(file != reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)), "AgentCreateFileW gave INVALID_HANDLE_VALUE");
    const DWORD size = 1u + parameter * 37u;
    if (sequential) {
        for (int i = 0; i < 4; ++i)
            Read(file, size, false, 0);
    } else {
        BY_HANDLE_FILE_INFORMATION info;
        Arm();
        if (AgentGetFileInformationByHandle(file, &info) != 1)
            RequireCause("AgentGetFileInformationByHandle");
        Read(file, size, true, parameter);
        LARGE_INTEGER distance, position;
        distance.QuadPart = parameter;
        Arm();
        if (AgentSetFilePointerEx(file, distance, &position, parameter % 3) != 1)
            RequireCause("AgentSetFilePointerEx");
        FILETIME time = {parameter, 0};
        Arm();
        if (AgentSetFileTime(file, &time, nullptr, &time) != 1)
            RequireCause("AgentSetFileTime");
        std::vector<unsigned char> data(size, parameter);
        DWORD written = 0;
        Arm();
        if (AgentWriteFile(file, data.data(), size, &written) != 1)
            RequireCause("AgentWriteFile");
    }
    Require(AgentCloseHandle(logon, file) == 1 || GetLastError() != 0, "AgentCloseHandle failed without a cause");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Round round(data, size);
    if (round.logon() == nullptr)
        return 0;
    AGENT_LOGON logon = round.logon();
    const std::basic_string<WCHAR> local = Wide(Round::ScratchDir() + "/copy");
    switch (round.selector() % 5) {
    case 0:
        Handles(logon, round.parameter(), true);
        break;
    case 1:
        Handles(logon, round.parameter(), false);
        break;
    case 2:
        Arm();
        if (AgentCopyFileFromAgent(logon, kPath.c_str(), local.c_str()) != 1)
            RequireCause("AgentCopyFileFromAgent");
        break;
    case 3:
        Arm();
        if (AgentGetFirefox3Bookmark(logon, local.c_str()) != 1)
            RequireCause("AgentGetFirefox3Bookmark");
        break;
    default:
        Arm();
        if (AgentGetPst2Local(logon, Wide(Round::ScratchDir() + "/stores").c_str()) != 1)
            RequireCause("AgentGetPst2Local");
        break;
    }
    return 0;
}
