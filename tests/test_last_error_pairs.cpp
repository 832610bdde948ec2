// The cause of a failure reaches the host twice: as the calling thread's
// last error and as AgentGetLastError(). Both must hold the same value
// after every export that records its failures, on a logon's first call
// and on a later one. On Windows a socket or pool call made after the
// exchange resets the thread's last error, so this is where a cause lost
// in the cleanup shows (the suite runs under Wine as well).
#include "agent_test.h"
#include "entries.h"
#include "local_files.h"


#include <cstdint>
#include <functional>
#include <string>
#include <thread>

using fake::Bytes;
using fake::Payload;
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

Bytes DataReply(uint32_t opcode, uint32_t status)
{
    return fake::Concat({fake::Header(2, opcode, 8), Payload().u32(status).u32(0).bytes()});
}

fake::FindEntry Entry()
{
    fake::FindEntry e;
    e.name = W(u"a");
    return e;
}

fake::DriveEntry Drive()
{
    fake::DriveEntry d;
    d.text1 = W(u"C:\\");
    return d;
}

// Local files of the copies, all removed at the end.
fake::TempDirectory &Scratch()
{
    static fake::TempDirectory directory;
    return directory;
}

HANDLE OpenFile(AGENT_LOGON logon)
{
    return API(AgentCreateFileW)(logon, W(u"C:\\f").c_str(), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL);
}

void AGENTAPI IgnoreEntry(const WCHAR *, const WIN32_FIND_DATAW *, void *) {}

// A failing call: true when the export reported a failure.
struct Case {
    const char *name;
    DWORD cause;
    std::function<void(fake::FakeAgent &)> script;
    std::function<bool(AGENT_LOGON)> fails;
};

const Case kCases[] = {
    {"PathFileExists", kRefused, [](fake::FakeAgent &a) { a.Always(OpPathFileExists, fake::StatusReply(OpPathFileExists, kRefused)); },
     [](AGENT_LOGON l) { return API(AgentPathFileExistsW)(l, W(u"C:\\x").c_str()) == 0; }},
    {"PathIsRoot", kRefused, [](fake::FakeAgent &a) { a.Always(OpPathIsRoot, fake::StatusReply(OpPathIsRoot, kRefused)); },
     [](AGENT_LOGON l) { return API(AgentPathIsRootW)(l, W(u"C:\\x").c_str()) == 0; }},
    {"PathStripToRoot", kRefused,
     [](fake::FakeAgent &a) { a.Always(OpPathStripToRoot, fake::StatusReply(OpPathStripToRoot, kRefused)); },
     [](AGENT_LOGON l) {
         WCHAR path[8] = {'C', ':', '\\', 'x', 0};
         return API(AgentPathStripToRootW)(l, path) == 0;
     }},
    {"GetFileAttributes", kRefused,
     [](fake::FakeAgent &a) { a.Always(OpGetFileAttributes, fake::StatusReply(OpGetFileAttributes, kRefused)); },
     [](AGENT_LOGON l) { return API(AgentGetFileAttributesW)(l, W(u"C:\\x").c_str()) == 0xFFFFFFFFu; }},
    {"GetFileAttributesEx", kRefused,
     [](fake::FakeAgent &a) { a.Always(OpGetFileAttributesEx, fake::StatusReply(OpGetFileAttributesEx, kRefused)); },
     [](AGENT_LOGON l) {
         WIN32_FILE_ATTRIBUTE_DATA data;
         return API(AgentGetFileAttributesExW)(l, W(u"C:\\x").c_str(), &data) == 0;
     }},
    {"SetFileAttributes", kRefused,
     [](fake::FakeAgent &a) { a.Always(OpSetFileAttributes, fake::StatusReply(OpSetFileAttributes, kRefused)); },
     [](AGENT_LOGON l) { return API(AgentSetFileAttributesW)(l, W(u"C:\\x").c_str(), 1) == 0; }},
    {"CreateDirectory", kRefused,
     [](fake::FakeAgent &a) { a.Always(OpCreateDirectory, fake::StatusReply(OpCreateDirectory, kRefused)); },
     [](AGENT_LOGON l) { return API(AgentCreateDirectoryW)(l, W(u"C:\\x").c_str()) == 0; }},
    {"RemovePath", kRefused, [](fake::FakeAgent &a) { a.Always(OpRemovePath, fake::StatusReply(OpRemovePath, kRefused)); },
     [](AGENT_LOGON l) { return API(AgentRemovePath)(l, W(u"C:\\x").c_str()) == 0; }},
    {"MoveFile", kRefused, [](fake::FakeAgent &a) { a.Always(OpMoveFile, fake::StatusReply(OpMoveFile, kRefused)); },
     [](AGENT_LOGON l) { return API(AgentMoveFile)(l, W(u"C:\\x").c_str(), W(u"C:\\y").c_str()) == 0; }},
    {"CreateFile", kRefused, [](fake::FakeAgent &a) { a.Always(OpCreateFile, fake::StatusReply(OpCreateFile, kRefused)); },
     [](AGENT_LOGON l) { return OpenFile(l) == nullptr; }},
    {"GetFileInformationByHandle", kRefused,
     [](fake::FakeAgent &a) { a.Always(OpGetFileInformation, fake::StatusReply(OpGetFileInformation, kRefused)); },
     [](AGENT_LOGON l) {
         HANDLE h = OpenFile(l);
         BY_HANDLE_FILE_INFORMATION info;
         const bool failed = h != nullptr && API(AgentGetFileInformationByHandle)(h, &info) == 0;
         const DWORD cause = GetLastError();
         API(AgentCloseHandle)(l, h);
         SetLastError(cause); // the close succeeded: the cause is the call's
         return failed;
     }},
    {"ReadFile", kRefused, [](fake::FakeAgent &a) { a.Always(OpReadFile, DataReply(OpReadFile, kRefused)); },
     [](AGENT_LOGON l) {
         HANDLE h = OpenFile(l);
         char buffer[4];
         DWORD n = 0;
         const bool failed = h != nullptr && API(AgentReadFile)(h, buffer, sizeof buffer, &n) == 0;
         const DWORD cause = GetLastError();
         API(AgentCloseHandle)(l, h);
         SetLastError(cause);
         return failed;
     }},
    {"ReadFilePosition", kRefused, [](fake::FakeAgent &a) { a.Always(OpReadFileAt, DataReply(OpReadFileAt, kRefused)); },
     [](AGENT_LOGON l) {
         HANDLE h = OpenFile(l);
         char buffer[4];
         DWORD n = 0;
         const bool failed = h != nullptr && API(AgentReadFilePosition)(h, buffer, sizeof buffer, &n, 0, 0) == 0;
         const DWORD cause = GetLastError();
         API(AgentCloseHandle)(l, h);
         SetLastError(cause);
         return failed;
     }},
    {"WriteFile", kRefused, [](fake::FakeAgent &a) { a.Always(OpWriteFile, DataReply(OpWriteFile, kRefused)); },
     [](AGENT_LOGON l) {
         HANDLE h = OpenFile(l);
         DWORD n = 0;
         const bool failed = h != nullptr && API(AgentWriteFile)(h, "abcd", 4, &n) == 0;
         const DWORD cause = GetLastError();
         API(AgentCloseHandle)(l, h);
         SetLastError(cause);
         return failed;
     }},
    {"SetFilePointerEx", kRefused,
     [](fake::FakeAgent &a) { a.Always(OpSetFilePointer, fake::StatusReply(OpSetFilePointer, kRefused)); },
     [](AGENT_LOGON l) {
         HANDLE h = OpenFile(l);
         LARGE_INTEGER d;
         d.QuadPart = 1;
         const bool failed = h != nullptr && API(AgentSetFilePointerEx)(h, d, nullptr, 0) == 0;
         const DWORD cause = GetLastError();
         API(AgentCloseHandle)(l, h);
         SetLastError(cause);
         return failed;
     }},
    {"SetFileTime", kRefused, [](fake::FakeAgent &a) { a.Always(OpSetFileTime, fake::StatusReply(OpSetFileTime, kRefused)); },
     [](AGENT_LOGON l) {
         HANDLE h = OpenFile(l);
         FILETIME t = {1, 2};
         const bool failed = h != nullptr && API(AgentSetFileTime)(h, &t, &t, &t) == 0;
         const DWORD cause = GetLastError();
         API(AgentCloseHandle)(l, h);
         SetLastError(cause);
         return failed;
     }},
    {"CloseHandle twice", ERROR_INVALID_HANDLE, [](fake::FakeAgent &) {},
     [](AGENT_LOGON l) {
         HANDLE h = OpenFile(l);
         return h != nullptr && API(AgentCloseHandle)(l, h) == 1 && API(AgentCloseHandle)(l, h) == 0;
     }},
    {"CopyFileFromAgent", kRefused, [](fake::FakeAgent &a) { a.Always(OpCreateFile, fake::StatusReply(OpCreateFile, kRefused)); },
     [](AGENT_LOGON l) { return API(AgentCopyFileFromAgent)(l, W(u"C:\\f").c_str(), Scratch().Path(u"copy.bin").c_str()) == 0; }},
    {"CopyFileFromAgentExW", kRefused,
     [](fake::FakeAgent &a) { a.Always(OpCreateFile, fake::StatusReply(OpCreateFile, kRefused)); },
     [](AGENT_LOGON l) {
         return API(AgentCopyFileFromAgentExW)(l, W(u"C:\\f").c_str(), Scratch().Path(u"copy_ex.bin").c_str(), nullptr,
                                          nullptr, nullptr, 0) == 0;
     }},
    {"FindFirstFile, no entries", ERROR_NO_MORE_FILES,
     [](fake::FakeAgent &a) { a.Always(OpFindFirst, fake::Header(2, OpFindFirst, 0)); },
     [](AGENT_LOGON l) {
         WIN32_FIND_DATAW data;
         return API(AgentFindFirstFileW)(l, W(u"C:\\none*").c_str(), &data) == nullptr;
     }},
    {"FindNextFile at the end", ERROR_NO_MORE_FILES,
     [](fake::FakeAgent &a) { a.Always(OpFindFirst, fake::SearchStream(OpFindFirst, {fake::FindRecord(Entry())})); },
     [](AGENT_LOGON l) {
         WIN32_FIND_DATAW data;
         HANDLE h = API(AgentFindFirstFileW)(l, W(u"C:\\*").c_str(), &data);
         const bool failed = h != nullptr && API(AgentFindNextFileW)(h, &data) == 0;
         const DWORD cause = GetLastError();
         API(AgentCloseHandle)(l, h);
         SetLastError(cause);
         return failed;
     }},
    {"FindFirstLogicalDrive, none", ERROR_NO_MORE_FILES,
     [](fake::FakeAgent &a) { a.Always(OpFindFirstDrive, fake::Header(2, OpFindFirstDrive, 0)); },
     [](AGENT_LOGON l) {
         AgentDriveInfo info;
         return API(AgentFindFirstLogicalDriveW)(l, &info) == nullptr;
     }},
    {"FindNextLogicalDrive at the end", ERROR_NO_MORE_FILES,
     [](fake::FakeAgent &a) {
         a.Always(OpFindFirstDrive, fake::SearchStream(OpFindFirstDrive, {fake::DriveRecord(Drive())}));
     },
     [](AGENT_LOGON l) {
         AgentDriveInfo info;
         HANDLE h = API(AgentFindFirstLogicalDriveW)(l, &info);
         const bool failed = h != nullptr && API(AgentFindNextLogicalDriveW)(h, &info) == 0;
         const DWORD cause = GetLastError();
         API(AgentCloseHandle)(l, h);
         SetLastError(cause);
         return failed;
     }},
    {"GetPathList, complete", ERROR_NO_MORE_FILES,
     [](fake::FakeAgent &a) { a.Always(OpGetPathList, fake::Concat({fake::Header(2, OpGetPathList, 0), fake::EndChunk()})); },
     [](AGENT_LOGON l) {
         return API(AgentGetPathList)(l, W(u"C:\\").c_str(), IgnoreEntry, nullptr) == 0;
     }},
    {"GetFolderPath", kRefused, [](fake::FakeAgent &a) { a.Always(OpGetFolderPath, fake::StatusReply(OpGetFolderPath, kRefused)); },
     [](AGENT_LOGON l) {
         WCHAR path[260];
         return API(AgentGetFolderPathW)(l, 5, 0, path) == 0;
     }},
    {"Firefox3Exists", kRefused,
     [](fake::FakeAgent &a) { a.Always(OpFirefox3Exists, fake::StatusReply(OpFirefox3Exists, kRefused)); },
     [](AGENT_LOGON l) { return API(AgentFirefox3Exists)(l) == 0; }},
    {"GetFirefox3BookmarkPath", kRefused,
     [](fake::FakeAgent &a) {
         a.Always(OpGetFirefox3BookmarkPath, fake::StatusReply(OpGetFirefox3BookmarkPath, kRefused));
     },
     [](AGENT_LOGON l) {
         WCHAR path[260];
         return API(AgentGetFirefox3BookmarkPath)(l, path) == 0;
     }},
    {"GetIEFavoritePath", kRefused,
     [](fake::FakeAgent &a) { a.Always(OpGetIEFavoritePath, fake::StatusReply(OpGetIEFavoritePath, kRefused)); },
     [](AGENT_LOGON l) {
         WCHAR path[260];
         return API(AgentGetIEFavoritePath)(l, path) == 0;
     }},
    {"GetFirefox3Bookmark", kRefused,
     [](fake::FakeAgent &a) {
         a.Always(OpGetFirefox3BookmarkPath, fake::StatusReply(OpGetFirefox3BookmarkPath, kRefused));
     },
     [](AGENT_LOGON l) { return API(AgentGetFirefox3Bookmark)(l, Scratch().Path(u"places.sqlite").c_str()) == 0; }},
    {"GetAgentPstCount", kRefused, [](fake::FakeAgent &a) { a.Always(OpGetPstCount, fake::StatusReply(OpGetPstCount, kRefused)); },
     [](AGENT_LOGON l) {
         DWORD count = 0;
         return API(AgentGetAgentPstCount)(l, &count) == 0;
     }},
    {"GetPst2Local", kRefused, [](fake::FakeAgent &a) { a.Always(OpGetPstList, fake::StatusReply(OpGetPstList, kRefused)); },
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
        DWORD thread = 0;
        DWORD recorded = 0;
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
        c.script(agent_);
        for (bool used : {false, true})
            Check(c, used);
    }
}

TEST_F(LastErrorPairTest, ARefusedLogonLeavesTheSameCauseInBoth)
{
    constexpr DWORD kLogonFailure = 1326;
    agent_.SetLogonStatus(kLogonFailure);
    SetLastError(0);
    EXPECT_EQ(LogOn(), nullptr);
    EXPECT_EQ(GetLastError(), kLogonFailure);
    EXPECT_EQ(API(AgentGetLastError)(), kLogonFailure);
}
