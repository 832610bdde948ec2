// The cause of a failure reaches the host twice: as the calling thread's
// last error and as AgentGetLastError(). Both must hold the same value
// after every export that records its failures, on a logon's first call
// and on a later one. On Windows a socket or pool call made after the
// exchange resets the thread's last error, so this is where a cause lost
// in the cleanup shows (the suite runs under Wine as well).
#include "agent_test.h"
#include "entries.h"
#include "file_messages.h"
#include "local_files.h"

#include <cstdint>
#include <string>
#include <thread>

using fake::Bytes;
using fake::W;
using namespace agent;

namespace {

#ifdef _WIN32
// The exports as a host calls them: in the shipped DLL, whose cleanup runs
// the runtime's code of its own.
HMODULE Dll()
{
    static HMODULE module = ::LoadLibraryA("agent_stub.dll");
    return module;
}
#define API(name) reinterpret_cast<decltype(&name)>(reinterpret_cast<void *>(::GetProcAddress(Dll(), #name)))
#else
#define API(name) (&name)
#endif

constexpr DWORD kRefused = 32; // the agent's status for every refused request

// Local files of the copies, all removed at the end.
fake::TempDirectory &Scratch()
{
    static fake::TempDirectory directory;
    return directory;
}

const fake::WString kPath = W(u"C:\\x");
WCHAR path[260];
char buffer[4];
DWORD count;
FILETIME times = {1, 2};
WIN32_FIND_DATAW found;
AgentDriveInfo drive;

HANDLE OpenFile(AGENT_LOGON l)
{
    return API(AgentCreateFileW)(l, kPath.c_str(), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
}
HANDLE OpenSearch(AGENT_LOGON l) { return API(AgentFindFirstFileW)(l, W(u"C:\\*").c_str(), &found); }
HANDLE OpenDrives(AGENT_LOGON l) { return API(AgentFindFirstLogicalDriveW)(l, &drive); }

void AGENTAPI IgnoreEntry(const WCHAR *, const WIN32_FIND_DATAW *, void *) {}

// Runs `call` on a handle that `open` made on `l` and closes it after; the
// call's cause stays the thread's last error. True when the call failed.
template <typename Call>
bool OnHandle(AGENT_LOGON l, HANDLE (*open)(AGENT_LOGON), Call &&call)
{
    HANDLE h = open(l);
    const bool failed = h != nullptr && call(h) == 0;
    const DWORD cause = GetLastError();
    if (h != nullptr)
        API(AgentCloseHandle)(l, h);
    SetLastError(cause);
    return failed;
}

// A failing call: true when the export reported a failure. The agent
// answers `op` (unless 0) with `reply`, or refuses it with kRefused when
// the reply is empty.
struct Case {
    const char *name;
    uint32_t op;
    bool (*fails)(AGENT_LOGON);
    Bytes reply = {};
    DWORD cause = kRefused;
};

const Case kCases[] = {
    {"PathFileExists", OpPathFileExists,
     [](AGENT_LOGON l) { return API(AgentPathFileExistsW)(l, kPath.c_str()) == 0; }},
    {"PathIsRoot", OpPathIsRoot, [](AGENT_LOGON l) { return API(AgentPathIsRootW)(l, kPath.c_str()) == 0; }},
    {"PathStripToRoot", OpPathStripToRoot,
     [](AGENT_LOGON l) {
         WCHAR root[8] = {'C', ':', '\\', 'x', 0};
         return API(AgentPathStripToRootW)(l, root) == 0;
     }},
    {"GetFileAttributes", OpGetFileAttributes,
     [](AGENT_LOGON l) { return API(AgentGetFileAttributesW)(l, kPath.c_str()) == 0xFFFFFFFFu; }},
    {"GetFileAttributesEx", OpGetFileAttributesEx,
     [](AGENT_LOGON l) {
         WIN32_FILE_ATTRIBUTE_DATA data;
         return API(AgentGetFileAttributesExW)(l, kPath.c_str(), &data) == 0;
     }},
    {"SetFileAttributes", OpSetFileAttributes,
     [](AGENT_LOGON l) { return API(AgentSetFileAttributesW)(l, kPath.c_str(), 1) == 0; }},
    {"CreateDirectory", OpCreateDirectory,
     [](AGENT_LOGON l) { return API(AgentCreateDirectoryW)(l, kPath.c_str()) == 0; }},
    {"RemovePath", OpRemovePath, [](AGENT_LOGON l) { return API(AgentRemovePath)(l, kPath.c_str()) == 0; }},
    {"MoveFile", OpMoveFile,
     [](AGENT_LOGON l) { return API(AgentMoveFile)(l, kPath.c_str(), W(u"C:\\y").c_str()) == 0; }},
    {"CreateFile", OpCreateFile, [](AGENT_LOGON l) { return OpenFile(l) == nullptr; }},
    {"GetFileInformationByHandle", OpGetFileInformation,
     [](AGENT_LOGON l) {
         BY_HANDLE_FILE_INFORMATION info;
         return OnHandle(l, OpenFile, [&](HANDLE h) { return API(AgentGetFileInformationByHandle)(h, &info); });
     }},
    {"ReadFile", OpReadFile,
     [](AGENT_LOGON l) {
         return OnHandle(l, OpenFile, [](HANDLE h) { return API(AgentReadFile)(h, buffer, sizeof buffer, &count); });
     },
     fake::CountReply(OpReadFile, kRefused, 0)},
    {"ReadFilePosition", OpReadFileAt,
     [](AGENT_LOGON l) {
         return OnHandle(l, OpenFile,
                         [](HANDLE h) { return API(AgentReadFilePosition)(h, buffer, sizeof buffer, &count, 0, 0); });
     },
     fake::CountReply(OpReadFileAt, kRefused, 0)},
    {"WriteFile", OpWriteFile,
     [](AGENT_LOGON l) {
         return OnHandle(l, OpenFile, [](HANDLE h) { return API(AgentWriteFile)(h, "abcd", 4, &count); });
     },
     fake::CountReply(OpWriteFile, kRefused, 0)},
    {"SetFilePointerEx", OpSetFilePointer,
     [](AGENT_LOGON l) {
         LARGE_INTEGER d;
         d.QuadPart = 1;
         return OnHandle(l, OpenFile, [&](HANDLE h) { return API(AgentSetFilePointerEx)(h, d, nullptr, 0); });
     }},
    {"SetFileTime", OpSetFileTime,
     [](AGENT_LOGON l) {
         return OnHandle(l, OpenFile, [](HANDLE h) { return API(AgentSetFileTime)(h, &times, &times, &times); });
     }},
    {"CloseHandle twice", 0,
     [](AGENT_LOGON l) {
         HANDLE h = OpenFile(l);
         return h != nullptr && API(AgentCloseHandle)(l, h) == 1 && API(AgentCloseHandle)(l, h) == 0;
     },
     {}, ERROR_INVALID_HANDLE},
    {"CopyFileFromAgent", OpCreateFile,
     [](AGENT_LOGON l) {
         return API(AgentCopyFileFromAgent)(l, kPath.c_str(), Scratch().Path(u"copy.bin").c_str()) == 0;
     }},
    {"CopyFileFromAgentExW", OpCreateFile,
     [](AGENT_LOGON l) {
         return API(AgentCopyFileFromAgentExW)(l, kPath.c_str(), Scratch().Path(u"copy_ex.bin").c_str(), nullptr,
                                               nullptr, nullptr, 0) == 0;
     }},
    {"FindFirstFile, no entries", OpFindFirst, [](AGENT_LOGON l) { return OpenSearch(l) == nullptr; },
     fake::Header(2, OpFindFirst, 0), ERROR_NO_MORE_FILES},
    {"FindNextFile at the end", OpFindFirst,
     [](AGENT_LOGON l) { return OnHandle(l, OpenSearch, [](HANDLE h) { return API(AgentFindNextFileW)(h, &found); }); },
     fake::SearchStream(OpFindFirst, {fake::FindRecord({})}), ERROR_NO_MORE_FILES},
    {"FindFirstLogicalDrive, none", OpFindFirstDrive, [](AGENT_LOGON l) { return OpenDrives(l) == nullptr; },
     fake::Header(2, OpFindFirstDrive, 0), ERROR_NO_MORE_FILES},
    {"FindNextLogicalDrive at the end", OpFindFirstDrive,
     [](AGENT_LOGON l) {
         return OnHandle(l, OpenDrives, [](HANDLE h) { return API(AgentFindNextLogicalDriveW)(h, &drive); });
     },
     fake::SearchStream(OpFindFirstDrive, {fake::DriveRecord({})}), ERROR_NO_MORE_FILES},
    {"GetPathList, complete", OpGetPathList,
     [](AGENT_LOGON l) { return API(AgentGetPathList)(l, W(u"C:\\").c_str(), IgnoreEntry, nullptr) == 0; },
     fake::Concat({fake::Header(2, OpGetPathList, 0), fake::EndChunk()}), ERROR_NO_MORE_FILES},
    {"GetFolderPath", OpGetFolderPath, [](AGENT_LOGON l) { return API(AgentGetFolderPathW)(l, 5, 0, path) == 0; }},
    {"Firefox3Exists", OpFirefox3Exists, [](AGENT_LOGON l) { return API(AgentFirefox3Exists)(l) == 0; }},
    {"GetFirefox3BookmarkPath", OpGetFirefox3BookmarkPath,
     [](AGENT_LOGON l) { return API(AgentGetFirefox3BookmarkPath)(l, path) == 0; }},
    {"GetIEFavoritePath", OpGetIEFavoritePath, [](AGENT_LOGON l) { return API(AgentGetIEFavoritePath)(l, path) == 0; }},
    {"GetFirefox3Bookmark", OpGetFirefox3BookmarkPath,
     [](AGENT_LOGON l) { return API(AgentGetFirefox3Bookmark)(l, Scratch().Path(u"places.sqlite").c_str()) == 0; }},
    {"GetAgentPstCount", OpGetPstCount, [](AGENT_LOGON l) { return API(AgentGetAgentPstCount)(l, &count) == 0; }},
    {"GetPst2Local", OpGetPstList,
     [](AGENT_LOGON l) { return API(AgentGetPst2Local)(l, Scratch().Path(u"pst").c_str()) == 0; }},
};

class LastErrorPairTest : public ::testing::Test {
protected:
    void SetUp() override
    {
#ifdef _WIN32
        ASSERT_NE(Dll(), nullptr) << "LoadLibrary failed with " << ::GetLastError();
#else
        fake::InstallTestAdapters();
#endif
        ASSERT_EQ(API(AgentInit)(), 1);
    }
    void TearDown() override { API(AgentFini)(); }

    AGENT_LOGON LogOn() { return API(AgentLogonW)(W(u"127.0.0.1").c_str(), agent_.port(), W(u"user").c_str(), W(u"secret").c_str()); }

    // Runs `c` on a new logon, on a thread of its own (whose first calls
    // set up the runtime's thread-local state, as a host's new thread
    // does), after a successful exchange on the logon when `used`.
    void Check(const Case &c, bool used)
    {
        SCOPED_TRACE(std::string(c.name) + (used ? ", used logon" : ", fresh logon"));
        AGENT_LOGON logon = LogOn();
        ASSERT_NE(logon, nullptr) << GetLastError();
        bool failed = false;
        DWORD thread = 0, recorded = 0;
        // A recorded failure of another cause first, so that only the call's
        // own record can match; made on this thread, so that the caller's
        // first call into the library is the one checked.
        API(AgentCloseHandle)(logon, reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x7FFE0001u)));
        std::thread caller([&] {
            if (used && API(AgentGetOSVersion)(logon) == 0)
                return;
            SetLastError(0);
            failed = c.fails(logon);
            thread = GetLastError();
            recorded = API(AgentGetLastError)();
        });
        caller.join();
        API(AgentLogoff)(logon);
        ASSERT_TRUE(failed);
        EXPECT_EQ(thread, c.cause);
        EXPECT_EQ(recorded, thread);
    }

    fake::FakeAgent agent_;
};

} // namespace

TEST_F(LastErrorPairTest, EveryRecordedFailureLeavesTheSameCauseInBothLastErrors)
{
    for (const Case &c : kCases) {
        agent_.Always(OpGetOSVersion, fake::StatusReply(OpGetOSVersion, 0x0601));
        agent_.Always(OpCreateFile, fake::StatusReply(OpCreateFile, 0));
        agent_.Always(OpCloseHandle, fake::StatusReply(OpCloseHandle, 0));
        if (c.op != 0)
            agent_.Always(c.op, c.reply.empty() ? fake::StatusReply(c.op, kRefused) : c.reply);
        for (bool used : {false, true})
            Check(c, used);
    }
    // And a refused logon.
    agent_.SetLogonStatus(1326);
    SetLastError(0);
    EXPECT_EQ(LogOn(), nullptr);
    EXPECT_EQ(GetLastError(), 1326u);
    EXPECT_EQ(API(AgentGetLastError)(), 1326u);
}
