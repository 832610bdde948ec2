// File, search and drive handles are looked up, never trusted: a closed,
// stale, made-up, wrong-kind or foreign handle is refused with 6 by every
// export that takes one, sends nothing and leaves the pool as it was.
#include "agent_test.h"
#include "entries.h"

#include "session/last_agent_error.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

using fake::AgentTest;
using fake::W;
using namespace agent;

namespace {

// Which handles an export takes (Any: the close, which takes every kind).
enum class HandleKind { Any, File, Search, Drive };

const fake::WString kFile = W(u"C:\\f.bin");

fake::FindEntry Entry(const char16_t *name)
{
    fake::FindEntry e;
    e.name = W(name);
    return e;
}

fake::DriveEntry Drive(const char16_t *root)
{
    fake::DriveEntry d;
    d.text1 = W(root);
    return d;
}

class HandleCheckTest : public AgentTest {
protected:
    void SetUp() override
    {
        AgentTest::SetUp();
        agent_.Always(OpCreateFile, fake::StatusReply(OpCreateFile, 0));
        agent_.Always(OpCloseHandle, fake::StatusReply(OpCloseHandle, 0));
        agent_.Always(OpSetFileTime, fake::StatusReply(OpSetFileTime, 0));
        // Two entries each, so that a handle opened on them is mid-stream.
        agent_.Always(OpFindFirst, fake::SearchStream(OpFindFirst, {fake::FindRecord(Entry(u"a")),
                                                                   fake::FindRecord(Entry(u"b"))}));
        agent_.Always(OpFindFirstDrive, fake::SearchStream(OpFindFirstDrive, {fake::DriveRecord(Drive(u"C:\\")),
                                                                             fake::DriveRecord(Drive(u"D:\\"))}));
    }

    HANDLE OpenFile(AGENT_LOGON logon = nullptr)
    {
        return AgentCreateFileW(logon != nullptr ? logon : logon_, kFile.c_str(), GENERIC_READ, FILE_SHARE_READ,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    }
    HANDLE OpenSearch()
    {
        WIN32_FIND_DATAW data;
        return AgentFindFirstFileW(logon_, W(u"C:\\*").c_str(), &data);
    }
    HANDLE OpenDrives()
    {
        AgentDriveInfo info;
        return AgentFindFirstLogicalDriveW(logon_, &info);
    }
};

struct HandleCall {
    const char *name;
    HandleKind kind; // Any: the close, which takes every kind
    std::function<BOOL(AGENT_LOGON, HANDLE)> call;
};

std::vector<HandleCall> EveryHandleCall()
{
    static char buffer[16];
    static DWORD count;
    static BY_HANDLE_FILE_INFORMATION info;
    static FILETIME time = {1, 2};
    static LARGE_INTEGER position;
    static WIN32_FIND_DATAW data;
    static AgentDriveInfo drive;
    return {
        {"information", HandleKind::File, [](AGENT_LOGON, HANDLE h) { return AgentGetFileInformationByHandle(h, &info); }},
        {"read", HandleKind::File, [](AGENT_LOGON, HANDLE h) { return AgentReadFile(h, buffer, sizeof buffer, &count); }},
        {"read at", HandleKind::File,
         [](AGENT_LOGON, HANDLE h) { return AgentReadFilePosition(h, buffer, sizeof buffer, &count, 0, 0); }},
        {"write", HandleKind::File, [](AGENT_LOGON, HANDLE h) { return AgentWriteFile(h, buffer, sizeof buffer, &count); }},
        {"move", HandleKind::File,
         [](AGENT_LOGON, HANDLE h) { return AgentSetFilePointerEx(h, position, &position, 0); }},
        {"times", HandleKind::File, [](AGENT_LOGON, HANDLE h) { return AgentSetFileTime(h, &time, &time, &time); }},
        {"find next", HandleKind::Search, [](AGENT_LOGON, HANDLE h) { return AgentFindNextFileW(h, &data); }},
        {"drive next", HandleKind::Drive, [](AGENT_LOGON, HANDLE h) { return AgentFindNextLogicalDriveW(h, &drive); }},
        {"close", HandleKind::Any, [](AGENT_LOGON logon, HANDLE h) { return AgentCloseHandle(logon, h); }},
    };
}

// Every call on `handle` fails with 6 in both last errors, unless the call
// takes handles of `liveKind` (a live handle of that kind).
void ExpectRefusedByEveryCall(AGENT_LOGON logon, HANDLE handle, HandleKind liveKind)
{
    for (const HandleCall &c : EveryHandleCall()) {
        if (liveKind != HandleKind::Any && (c.kind == liveKind || c.kind == HandleKind::Any))
            continue;
        SCOPED_TRACE(c.name);
        LastAgentError = 0;
        SetLastError(0);
        EXPECT_EQ(c.call(logon, handle), 0);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        EXPECT_EQ(AgentGetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    }
}

} // namespace

TEST_F(HandleCheckTest, DeadAndMadeUpHandlesAreRefusedByEveryExportAndSendNothing)
{
    int stray = 0; // a pointer, as handles used to be
    const struct {
        const char *name;
        std::function<HANDLE()> make;
    } cases[] = {
        {"closed file", [&] { HANDLE h = OpenFile(); AgentCloseHandle(logon_, h); return h; }},
        {"closed search", [&] { HANDLE h = OpenSearch(); AgentCloseHandle(logon_, h); return h; }},
        {"closed drives", [&] { HANDLE h = OpenDrives(); AgentCloseHandle(logon_, h); return h; }},
        {"pointer to a connection", [&] { return static_cast<HANDLE>(&stray); }},
        {"made-up value", [] { return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x7FFE0001u)); }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        HANDLE bad = c.make();
        ASSERT_NE(bad, nullptr);
        const int idle = Idle();
        agent_.ClearRecords();
        ExpectRefusedByEveryCall(logon_, bad, HandleKind::Any);
        EXPECT_TRUE(agent_.Requests().empty());
        EXPECT_EQ(Idle(), idle);
    }
}

TEST_F(HandleCheckTest, AStaleHandleIsNotTakenForTheNewHandleInItsSlot)
{
    HANDLE old = OpenFile();
    ASSERT_NE(old, nullptr);
    ASSERT_EQ(AgentCloseHandle(logon_, old), 1);
    // Open until a handle lands in the old one's slot (freed slots are used
    // again oldest first).
    std::vector<HANDLE> opened;
    HANDLE reused = nullptr;
    for (int i = 0; i < 200 && reused == nullptr; ++i) {
        HANDLE h = OpenFile();
        ASSERT_NE(h, nullptr);
        opened.push_back(h);
        if ((reinterpret_cast<uintptr_t>(h) & 0xFFFF) == (reinterpret_cast<uintptr_t>(old) & 0xFFFF))
            reused = h;
    }
    ASSERT_NE(reused, nullptr);
    EXPECT_NE(reused, old);
    agent_.ClearRecords();
    ExpectRefusedByEveryCall(logon_, old, HandleKind::Any);
    EXPECT_TRUE(agent_.Requests().empty());
    // The new handle is untouched by all that.
    FILETIME t = {3, 4};
    EXPECT_EQ(AgentSetFileTime(reused, &t, &t, &t), 1);
    for (HANDLE h : opened)
        EXPECT_EQ(AgentCloseHandle(logon_, h), 1);
}

TEST_F(HandleCheckTest, AHandleOfAnotherKindIsRefusedAndStaysUsable)
{
    const struct {
        const char *name;
        HandleKind kind;
        std::function<HANDLE()> open;
        std::function<BOOL(HANDLE)> own;
    } cases[] = {
        {"file", HandleKind::File, [&] { return OpenFile(); },
         [](HANDLE h) {
             FILETIME t = {1, 2};
             return AgentSetFileTime(h, &t, &t, &t);
         }},
        {"search", HandleKind::Search, [&] { return OpenSearch(); },
         [](HANDLE h) {
             WIN32_FIND_DATAW data;
             return AgentFindNextFileW(h, &data);
         }},
        {"drives", HandleKind::Drive, [&] { return OpenDrives(); },
         [](HANDLE h) {
             AgentDriveInfo info;
             return AgentFindNextLogicalDriveW(h, &info);
         }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        HANDLE h = c.open();
        ASSERT_NE(h, nullptr);
        agent_.ClearRecords();
        ExpectRefusedByEveryCall(logon_, h, c.kind);
        EXPECT_TRUE(agent_.Requests().empty());
        // Nothing was consumed: the handle's own call still works.
        EXPECT_EQ(c.own(h), 1) << GetLastError();
        EXPECT_EQ(AgentCloseHandle(logon_, h), 1);
    }
}

TEST_F(HandleCheckTest, DoubleCloseParksTheConnectionOnceAndLaterHandlesGetTheirOwn)
{
    HANDLE first = OpenFile();
    HANDLE second = OpenFile();
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    ASSERT_EQ(Idle(), 0);
    agent_.ClearRecords();
    EXPECT_EQ(AgentCloseHandle(logon_, first), 1);
    EXPECT_EQ(AgentCloseHandle(logon_, first), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(agent_.CountOf(OpCloseHandle), 1u);
    EXPECT_EQ(Idle(), 1);
    EXPECT_EQ(AgentCloseHandle(logon_, second), 1);
    EXPECT_EQ(Idle(), 2);
    // Two handles opened now sit on two connections.
    agent_.ClearRecords();
    HANDLE a = OpenFile();
    HANDLE b = OpenFile();
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    const auto opens = agent_.RequestsOf(OpCreateFile);
    ASSERT_EQ(opens.size(), 2u);
    EXPECT_NE(opens[0].connection, opens[1].connection);
    EXPECT_EQ(AgentCloseHandle(logon_, a), 1);
    EXPECT_EQ(AgentCloseHandle(logon_, b), 1);
    // The logoff of TearDown frees each pooled connection once (AddressSanitizer watches).
}

TEST_F(HandleCheckTest, AHandleOfAnotherLogonIsNotClosedThroughThisOne)
{
    AGENT_LOGON other = LogOn();
    ASSERT_NE(other, nullptr);
    HANDLE h = OpenFile(other);
    ASSERT_NE(h, nullptr);
    const int idleHere = Idle();
    agent_.ClearRecords();
    EXPECT_EQ(AgentCloseHandle(logon_, h), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(AgentGetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(agent_.Requests().empty());
    EXPECT_EQ(Idle(), idleHere);
    // Still open, and closed through its own logon into its own pool.
    FILETIME t = {5, 6};
    EXPECT_EQ(AgentSetFileTime(h, &t, &t, &t), 1);
    EXPECT_EQ(AgentCloseHandle(other, h), 1);
    EXPECT_EQ(Idle(), idleHere);
    EXPECT_EQ(AgentLogoff(other), 1);
}

TEST_F(HandleCheckTest, HandlesHeldAtLogoffStayUsableAndClosable)
{
    AGENT_LOGON other = LogOn();
    ASSERT_NE(other, nullptr);
    HANDLE file = OpenFile(other);
    ASSERT_NE(file, nullptr);
    const int open = agent_.Open();
    ASSERT_EQ(AgentLogoff(other), 1);
    EXPECT_EQ(agent_.Open(), open); // logoff leaves the handle's connection alone
    FILETIME t = {7, 8};
    EXPECT_EQ(AgentSetFileTime(file, &t, &t, &t), 1);
    agent_.ClearRecords();
    EXPECT_EQ(AgentCloseHandle(other, file), 1);
    EXPECT_EQ(agent_.CountOf(OpCloseHandle), 1u);
    // No pool to go back to: the connection is closed.
    EXPECT_TRUE(agent_.WaitUntil([&] { return agent_.Open() == open - 1; }));
    EXPECT_EQ(AgentCloseHandle(other, file), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

// Threads that each open, use and close handles of their own, and close
// each one a second time, while all of them race to close one shared
// handle: exactly one close of the shared handle succeeds, every other
// close is refused, and no connection is ever handed to two handles.
TEST_F(HandleCheckTest, ThreadsClosingHandlesTwiceNeverShareAConnection)
{
    constexpr int kThreads = 8;
    constexpr int kRounds = 40;
    HANDLE shared = OpenFile();
    ASSERT_NE(shared, nullptr);
    std::atomic<int> sharedClosed{0};
    std::atomic<int> faults{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            if (AgentCloseHandle(logon_, shared) == 1)
                ++sharedClosed;
            else if (GetLastError() != ERROR_INVALID_HANDLE)
                ++faults;
            FILETIME time = {1, 1};
            for (int i = 0; i < kRounds; ++i) {
                HANDLE a = OpenFile();
                HANDLE b = OpenFile();
                if (a == nullptr || b == nullptr || a == b ||
                    AgentSetFileTime(a, &time, &time, &time) != 1 || AgentCloseHandle(logon_, a) != 1 ||
                    AgentCloseHandle(logon_, a) != 0 || GetLastError() != ERROR_INVALID_HANDLE ||
                    AgentSetFileTime(a, &time, &time, &time) != 0 || AgentCloseHandle(logon_, b) != 1)
                    ++faults;
            }
        });
    }
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(sharedClosed.load(), 1);
    EXPECT_EQ(faults.load(), 0);
    EXPECT_LE(Idle(), 2 * kThreads + 1);
}

// A call in flight on a handle and a close of it from another thread: the
// close waits for the call, and calls after it are refused.
TEST_F(HandleCheckTest, CallsRacingACloseEitherCompleteOrAreRefused)
{
    HANDLE h = OpenFile();
    ASSERT_NE(h, nullptr);
    std::atomic<bool> started{false};
    std::atomic<int> succeeded{0};
    DWORD lastCause = 0;
    std::thread user([&] {
        FILETIME t = {1, 1};
        for (;;) {
            if (AgentSetFileTime(h, &t, &t, &t) != 1) {
                lastCause = GetLastError();
                return;
            }
            ++succeeded;
            started = true;
        }
    });
    while (!started)
        std::this_thread::yield();
    EXPECT_EQ(AgentCloseHandle(logon_, h), 1);
    user.join();
    EXPECT_GT(succeeded.load(), 0);
    EXPECT_EQ(lastCause, static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(agent_.CountOf(OpCloseHandle), 1u);
}
