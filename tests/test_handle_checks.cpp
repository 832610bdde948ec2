// File, search and drive handles are looked up, never trusted: a closed,
// stale, made-up or wrong-kind handle is refused with 6 by every export
// that takes one, sends nothing and leaves the pool as it was.
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
enum class Kind { Any, File, Search, Drive };

char buffer[16];
DWORD count;
BY_HANDLE_FILE_INFORMATION information;
FILETIME times = {1, 2};
LARGE_INTEGER position;
WIN32_FIND_DATAW found;
AgentDriveInfo drive;

BOOL SetTimes(HANDLE h) { return AgentSetFileTime(h, &times, &times, &times); }

// The call of each kind that a live handle answers.
BOOL Own(Kind kind, HANDLE h)
{
    switch (kind) {
    case Kind::Search: return AgentFindNextFileW(h, &found);
    case Kind::Drive: return AgentFindNextLogicalDriveW(h, &drive);
    default: return SetTimes(h);
    }
}

const struct HandleCall {
    const char *name;
    Kind kind;
    std::function<BOOL(AGENT_LOGON, HANDLE)> call;
} kCalls[] = {
    {"information", Kind::File, [](AGENT_LOGON, HANDLE h) { return AgentGetFileInformationByHandle(h, &information); }},
    {"read", Kind::File, [](AGENT_LOGON, HANDLE h) { return AgentReadFile(h, buffer, sizeof buffer, &count); }},
    {"read at", Kind::File,
     [](AGENT_LOGON, HANDLE h) { return AgentReadFilePosition(h, buffer, sizeof buffer, &count, 0, 0); }},
    {"write", Kind::File, [](AGENT_LOGON, HANDLE h) { return AgentWriteFile(h, buffer, sizeof buffer, &count); }},
    {"move", Kind::File, [](AGENT_LOGON, HANDLE h) { return AgentSetFilePointerEx(h, position, &position, 0); }},
    {"times", Kind::File, [](AGENT_LOGON, HANDLE h) { return Own(Kind::File, h); }},
    {"find next", Kind::Search, [](AGENT_LOGON, HANDLE h) { return Own(Kind::Search, h); }},
    {"drive next", Kind::Drive, [](AGENT_LOGON, HANDLE h) { return Own(Kind::Drive, h); }},
    {"close", Kind::Any, [](AGENT_LOGON logon, HANDLE h) { return AgentCloseHandle(logon, h); }},
};

class HandleCheckTest : public AgentTest {
protected:
    void SetUp() override
    {
        AgentTest::SetUp();
        for (uint32_t op : {OpCreateFile, OpCloseHandle, OpSetFileTime})
            agent_.Always(op, fake::StatusReply(op, 0));
        // Two entries each, so that a handle opened on them is mid-stream.
        agent_.Always(OpFindFirst, fake::SearchStream(OpFindFirst, {fake::FindRecord({}), fake::FindRecord({})}));
        agent_.Always(OpFindFirstDrive,
                      fake::SearchStream(OpFindFirstDrive, {fake::DriveRecord({}), fake::DriveRecord({})}));
    }

    HANDLE Open(Kind kind, AGENT_LOGON logon = nullptr)
    {
        switch (kind) {
        case Kind::Search: return AgentFindFirstFileW(logon_, W(u"C:\\*").c_str(), &found);
        case Kind::Drive: return AgentFindFirstLogicalDriveW(logon_, &drive);
        default:
            return AgentCreateFileW(logon != nullptr ? logon : logon_, W(u"C:\\f.bin").c_str(), GENERIC_READ,
                                    FILE_SHARE_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
        }
    }
    HANDLE Closed(Kind kind)
    {
        HANDLE h = Open(kind);
        EXPECT_EQ(AgentCloseHandle(logon_, h), 1);
        return h;
    }
};

} // namespace

// Each misused handle against every export that takes one; a live handle
// of another kind is refused by the other kinds' calls and then still
// answers its own (nothing was consumed).
TEST_F(HandleCheckTest, MisusedHandlesAreRefusedByEveryExportAndSendNothing)
{
    int stray = 0; // a pointer, as handles used to be
    std::vector<HANDLE> opened;
    HANDLE reused = nullptr;
    const struct {
        const char *name;
        Kind live; // Any: no live handle, refused by every call
        std::function<HANDLE()> make;
    } cases[] = {
        {"closed file", Kind::Any, [&] { return Closed(Kind::File); }},
        {"closed search", Kind::Any, [&] { return Closed(Kind::Search); }},
        {"closed drives", Kind::Any, [&] { return Closed(Kind::Drive); }},
        {"pointer", Kind::Any, [&] { return static_cast<HANDLE>(&stray); }},
        {"made-up value", Kind::Any, [] { return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x7FFE0001u)); }},
        {"stale, its slot used again", Kind::Any,
         [&] {
             // Opens until a handle lands in the old one's slot (freed
             // slots are used again oldest first).
             HANDLE old = Closed(Kind::File);
             for (int i = 0; i < 200 && reused == nullptr; ++i) {
                 opened.push_back(Open(Kind::File));
                 if ((reinterpret_cast<uintptr_t>(opened.back()) & 0xFFFF) == (reinterpret_cast<uintptr_t>(old) & 0xFFFF))
                     reused = opened.back();
             }
             EXPECT_NE(reused, nullptr);
             EXPECT_NE(reused, old);
             return old;
         }},
        {"file", Kind::File, [&] { return Open(Kind::File); }},
        {"search", Kind::Search, [&] { return Open(Kind::Search); }},
        {"drives", Kind::Drive, [&] { return Open(Kind::Drive); }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        HANDLE h = c.make();
        ASSERT_NE(h, nullptr);
        const int idle = Idle();
        agent_.ClearRecords();
        for (const HandleCall &call : kCalls) {
            if (c.live != Kind::Any && (call.kind == c.live || call.kind == Kind::Any))
                continue;
            SCOPED_TRACE(call.name);
            LastAgentError = 0;
            SetLastError(0);
            EXPECT_EQ(call.call(logon_, h), 0);
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
            EXPECT_EQ(AgentGetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        }
        EXPECT_TRUE(agent_.Requests().empty());
        EXPECT_EQ(Idle(), idle);
        if (c.live != Kind::Any) {
            EXPECT_EQ(Own(c.live, h), 1) << GetLastError();
            EXPECT_EQ(AgentCloseHandle(logon_, h), 1);
        }
    }
    // The handle in the stale one's slot is untouched by all that.
    ASSERT_NE(reused, nullptr);
    EXPECT_EQ(SetTimes(reused), 1);
    for (HANDLE h : opened)
        EXPECT_EQ(AgentCloseHandle(logon_, h), 1);
}

// A handle held at logoff stays usable and closable; its connection, with
// no pool to go back to, is closed.
TEST_F(HandleCheckTest, HandlesHeldAtLogoffStayUsableAndClosable)
{
    AGENT_LOGON other = LogOn();
    ASSERT_NE(other, nullptr);
    HANDLE file = Open(Kind::File, other);
    ASSERT_NE(file, nullptr);
    const int open = agent_.Open();
    ASSERT_EQ(AgentLogoff(other), 1);
    EXPECT_EQ(agent_.Open(), open);
    EXPECT_EQ(SetTimes(file), 1);
    agent_.ClearRecords();
    EXPECT_EQ(AgentCloseHandle(other, file), 1);
    EXPECT_EQ(agent_.CountOf(OpCloseHandle), 1u);
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
    HANDLE shared = Open(Kind::File);
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
            for (int i = 0; i < 40; ++i) {
                HANDLE a = Open(Kind::File);
                HANDLE b = Open(Kind::File);
                if (a == nullptr || b == nullptr || a == b || SetTimes(a) != 1 || AgentCloseHandle(logon_, a) != 1 ||
                    AgentCloseHandle(logon_, a) != 0 || GetLastError() != ERROR_INVALID_HANDLE || SetTimes(a) != 0 ||
                    AgentCloseHandle(logon_, b) != 1)
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
    HANDLE h = Open(Kind::File);
    ASSERT_NE(h, nullptr);
    std::atomic<int> succeeded{0};
    std::atomic<bool> ended{false};
    DWORD lastCause = 0;
    std::thread user([&] {
        while (SetTimes(h) == 1)
            ++succeeded;
        lastCause = GetLastError();
        ended = true;
    });
    while (succeeded == 0 && !ended)
        std::this_thread::yield();
    EXPECT_EQ(AgentCloseHandle(logon_, h), 1);
    user.join();
    EXPECT_GT(succeeded.load(), 0);
    EXPECT_EQ(lastCause, static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(agent_.CountOf(OpCloseHandle), 1u);
}
