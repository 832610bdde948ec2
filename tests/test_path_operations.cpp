// Path and attribute operations against the fake agent: bytes on the wire,
// the three reply-test kinds, results, last errors and what happens to the
// connection afterwards.
#include "agent_test.h"
#include "file_messages.h"

#include "protocol/fss_util.h"
#include "session/last_agent_error.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

using fake::AgentTest;
using fake::Bytes;
using fake::Hex;
using fake::Payload;
using fake::W;
using namespace agent;

namespace {

const fake::WString kPath = W(u"C:\\data\\file.txt");

// Waits until the agent has seen `open` of its connections still open.
bool OpenConnections(const fake::FakeAgent &agent, int open)
{
    return agent.WaitUntil([&] { return agent.Open() == open; });
}

// The three yes/no path tests and their opcodes.
struct PathTest {
    const char *name;
    uint32_t opcode;
    std::function<BOOL(AGENT_LOGON, const WCHAR *)> call;
};

const std::vector<PathTest> &PathTests()
{
    static const std::vector<PathTest> tests = {
        {"PathFileExists", OpPathFileExists, [](AGENT_LOGON l, const WCHAR *p) { return AgentPathFileExistsW(l, p); }},
        {"PathIsRoot", OpPathIsRoot, [](AGENT_LOGON l, const WCHAR *p) { return AgentPathIsRootW(l, p); }},
        {"PathStripToRoot", OpPathStripToRoot,
         [](AGENT_LOGON l, const WCHAR *p) { return AgentPathStripToRootW(l, const_cast<WCHAR *>(p)); }},
    };
    return tests;
}

} // namespace

// ---- bytes on the wire -------------------------------------------------

TEST_F(AgentTest, LongPathsTravelWhole)
{
    // Far beyond any fixed path buffer and the string stream's first block.
    fake::WString path = W(u"\\\\?\\C:");
    while (path.size() < 40000)
        path += W(u"\\segment\u00e9");
    agent_.Always(OpGetFileAttributes, fake::AttributesReply(0, 0x10));
    agent_.Always(OpMoveFile, fake::StatusReply(OpMoveFile, 0));
    EXPECT_EQ(AgentGetFileAttributesW(logon_, path.c_str()), 0x10u);
    EXPECT_EQ(AgentMoveFile(logon_, path.c_str(), path.c_str()), 1);
    auto requests = agent_.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].raw(), fake::PathRequest(OpGetFileAttributes, path));
    EXPECT_EQ(requests[1].raw(), fake::MoveRequest(path, path));
}

#if defined(__ELF__)
// The second export name exists only as an alias of the first on ELF builds.
TEST_F(AgentTest, BothCreateDirectoryNamesAreOneEntryPointSendingOpcode5)
{
    EXPECT_EQ(reinterpret_cast<void *>(&AgentCreateDirectoryW), reinterpret_cast<void *>(&AgetnCreateDirectoryW));
    agent_.Always(OpCreateDirectory, fake::StatusReply(OpCreateDirectory, 0));
    EXPECT_EQ(AgentCreateDirectoryW(logon_, kPath.c_str()), 1);
    EXPECT_EQ(AgetnCreateDirectoryW(logon_, kPath.c_str()), 1);
    auto requests = agent_.RequestsOf(OpCreateDirectory);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].raw(), requests[1].raw());
}
#endif

// ---- the minimum reply test (opcodes 25, 26, 27) -----------------------

TEST_F(AgentTest, PathTestsFollowTheMinimumReplyTest)
{
    struct Outcome {
        const char *name;
        std::function<Bytes(uint32_t op)> reply;
        BOOL result;
        DWORD lastError; // 0: not checked (the library sets none)
        bool pooled;
    };
    const Outcome outcomes[] = {
        {"status 0", [](uint32_t op) { return fake::StatusReply(op, 0); }, 1, 0, true},
        {"status 0 with trailing bytes", [](uint32_t op) { return fake::Reply(op, Payload().u32(0).u32(7)); }, 1, 0,
         true},
        {"agent status", [](uint32_t op) { return fake::StatusReply(op, 3); }, 0, 3, true},
        {"big-endian status", [](uint32_t op) { return fake::Reply(op, Payload(true).u32(0x20)); }, 0, 0x20, true},
        {"other opcode", [](uint32_t op) { return fake::StatusReply(op + 1, 0); }, 0, 0, false},
        {"request kind", [](uint32_t op) { return fake::Concat({fake::Header(1, op, 4), Bytes(4, 0)}); }, 0, 0, false},
        {"length 0", [](uint32_t op) { return fake::Header(2, op, 0); }, 0, 0, false},
        {"length 3", [](uint32_t op) { return fake::Concat({fake::Header(2, op, 3), Bytes(3, 0)}); }, 0, 0, false},
    };
    for (const PathTest &test : PathTests()) {
        for (const Outcome &o : outcomes) {
            SCOPED_TRACE(std::string(test.name) + ": " + o.name);
            agent_.Queue(test.opcode, fake::Send(o.reply(test.opcode)));
            const int acceptedBefore = agent_.Accepted();
            SetLastError(0);
            EXPECT_EQ(test.call(logon_, kPath.c_str()), o.result);
            if (o.lastError != 0) {
                EXPECT_EQ(GetLastError(), o.lastError);
                EXPECT_EQ(AgentGetLastError(), o.lastError);
            }
            if (o.pooled) {
                EXPECT_EQ(Idle(), 1);
                EXPECT_EQ(agent_.Accepted(), acceptedBefore);
            } else {
                // Destroyed, not pooled: the agent sees the close, and the
                // next call needs a new connection.
                EXPECT_EQ(Idle(), 0);
                EXPECT_TRUE(OpenConnections(agent_, 0));
                agent_.Queue(test.opcode, fake::Send(fake::StatusReply(test.opcode, 0)));
                EXPECT_EQ(test.call(logon_, kPath.c_str()), 1);
                EXPECT_EQ(agent_.Accepted(), acceptedBefore + 1);
                EXPECT_EQ(Idle(), 1);
            }
        }
    }
}

TEST_F(AgentTest, HeaderFailureLeavesTheLastErrorAsTheThreadHeldIt)
{
    agent_.Always(OpPathIsRoot, fake::StatusReply(OpPathFileExists, 0));
    SetLastError(4242);
    EXPECT_EQ(AgentPathIsRootW(logon_, kPath.c_str()), 0);
    EXPECT_EQ(GetLastError(), fake::HeldLastError(4242u));
    EXPECT_EQ(AgentGetLastError(), fake::HeldLastError(4242u));
}

TEST_F(AgentTest, GetFileAttributesReturnsTheAttributesOrAllOnes)
{
    struct Case {
        const char *name;
        Bytes reply;
        DWORD result;
        bool pooled;
    };
    const Case cases[] = {
        {"attributes", fake::AttributesReply(0, 0x10), 0x10, true},
        {"big-endian", fake::Reply(OpGetFileAttributes, Payload(true).u32(0).u32(0x21)), 0x21, true},
        {"agent status", fake::Reply(OpGetFileAttributes, Payload().u32(2).u32(0x10)), 0xFFFFFFFFu, true},
        {"no attributes after status 0", fake::StatusReply(OpGetFileAttributes, 0), 0xFFFFFFFFu, true},
        {"wrong opcode", fake::Reply(OpGetFileAttributesEx, Payload().u32(0).u32(0x10)), 0xFFFFFFFFu, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        agent_.Queue(OpGetFileAttributes, fake::Send(c.reply));
        EXPECT_EQ(AgentGetFileAttributesW(logon_, kPath.c_str()), c.result);
        EXPECT_EQ(Idle(), c.pooled ? 1 : 0);
    }
    SetLastError(0);
    EXPECT_EQ(AgentGetFileAttributesW(nullptr, kPath.c_str()), 0xFFFFFFFFu);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(AgentTest, GetFileAttributesExWithAShortRecordFailsAndKeepsTheConnection)
{
    // Status 0 and nothing else; then a record cut inside the last write time.
    agent_.Queue(OpGetFileAttributesEx, fake::Send(fake::StatusReply(OpGetFileAttributesEx, 0)));
    agent_.Queue(OpGetFileAttributesEx,
                 fake::Send(fake::Reply(OpGetFileAttributesEx,
                                        Payload().u32(0).u32(0x80).filetime(1, 2).filetime(3, 4).u32(5))));
    WIN32_FILE_ATTRIBUTE_DATA data;
    std::memset(&data, 0, sizeof data);
    EXPECT_EQ(AgentGetFileAttributesExW(logon_, kPath.c_str(), &data), 0);
    EXPECT_EQ(Idle(), 1);
    EXPECT_EQ(AgentGetFileAttributesExW(logon_, kPath.c_str(), &data), 0);
    EXPECT_EQ(Idle(), 1);
    // Fields read before the cut are kept; the half-read time is not stored.
    EXPECT_EQ(data.dwFileAttributes, 0x80u);
    EXPECT_EQ(data.ftLastAccessTime.dwHighDateTime, 4u);
    EXPECT_EQ(data.ftLastWriteTime.dwLowDateTime, 0u);
    EXPECT_EQ(agent_.Accepted(), 1);
}

TEST_F(AgentTest, StripToRootNeverWritesTheCallersBuffer)
{
    agent_.Always(OpPathStripToRoot, fake::Reply(OpPathStripToRoot, Payload().u32(0).wstr(u"C:\\")));
    WCHAR buffer[32];
    const fake::WString original = W(u"C:\\dir\\sub\\file");
    std::copy(original.begin(), original.end(), buffer);
    buffer[original.size()] = 0;
    EXPECT_EQ(AgentPathStripToRootW(logon_, buffer), 1);
    EXPECT_EQ(fake::WString(buffer), original);
}

// ---- no reply test (opcodes 5, 6, 16) ----------------------------------

TEST_F(AgentTest, StatusOnlyOperationsAcceptAnyHeader)
{
    struct Export {
        const char *name;
        uint32_t opcode;
        std::function<BOOL()> call;
    };
    AGENT_LOGON l = logon_;
    const Export exports[] = {
        {"CreateDirectory", OpCreateDirectory, [&] { return AgentCreateDirectoryW(l, kPath.c_str()); }},
        {"RemovePath", OpRemovePath, [&] { return AgentRemovePath(l, kPath.c_str()); }},
        {"MoveFile", OpMoveFile, [&] { return AgentMoveFile(l, kPath.c_str(), W(u"C:\\b").c_str()); }},
    };
    for (const Export &e : exports) {
        SCOPED_TRACE(e.name);
        // Any kind and opcode are accepted as long as a status follows.
        agent_.Queue(e.opcode, fake::Send(fake::Concat({fake::Header(1, 99, 4), Bytes(4, 0)})));
        EXPECT_EQ(e.call(), 1);
        agent_.Queue(e.opcode, fake::Send(fake::StatusReply(OpLogon, 183)));
        SetLastError(0);
        EXPECT_EQ(e.call(), 0);
        EXPECT_EQ(GetLastError(), 183u);
        EXPECT_EQ(AgentGetLastError(), 183u);
        // No status at all: the read fails, the connection stays usable.
        agent_.Queue(e.opcode, fake::Send(fake::Header(2, e.opcode, 0)));
        EXPECT_EQ(e.call(), 0);
        EXPECT_EQ(Idle(), 1);
        EXPECT_EQ(agent_.Accepted(), 1);
    }
}

// ---- argument checks, connection failures ------------------------------

TEST_F(AgentTest, NullLogonFailsWithoutTouchingTheAgentOrLastAgentError)
{
    LastAgentError = 777;
    WIN32_FILE_ATTRIBUTE_DATA data;
    const WCHAR *p = kPath.c_str();
    struct Case {
        const char *name;
        std::function<long long()> call;
        long long result;
    };
    const Case cases[] = {
        {"PathFileExists", [&] { return AgentPathFileExistsW(nullptr, p); }, -1},
        {"PathIsRoot", [&] { return AgentPathIsRootW(nullptr, p); }, -1},
        {"PathStripToRoot", [&] { return AgentPathStripToRootW(nullptr, const_cast<WCHAR *>(p)); }, -1},
        {"GetFileAttributes", [&] { return AgentGetFileAttributesW(nullptr, p); }, 0xFFFFFFFFll},
        {"GetFileAttributesEx", [&] { return AgentGetFileAttributesExW(nullptr, p, &data); }, 0},
        {"GetFileAttributesEx null record", [&] { return AgentGetFileAttributesExW(logon_, p, nullptr); }, 0},
        {"SetFileAttributes", [&] { return AgentSetFileAttributesW(nullptr, p, 1); }, 0},
        {"CreateDirectory", [&] { return AgentCreateDirectoryW(nullptr, p); }, 0},
        {"RemovePath", [&] { return AgentRemovePath(nullptr, p); }, 0},
        {"MoveFile", [&] { return AgentMoveFile(nullptr, p, p); }, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        SetLastError(0);
        EXPECT_EQ(c.call(), c.result);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(AgentGetLastError(), 777u);
    }
    EXPECT_TRUE(agent_.Requests().empty());
    EXPECT_EQ(Idle(), 1);
}

TEST_F(AgentTest, EmptyPathIsRefusedAfterAConnectionWasTaken)
{
    const fake::WString empty;
    WIN32_FILE_ATTRIBUTE_DATA data;
    const WCHAR *e = empty.c_str();
    const WCHAR *p = kPath.c_str();
    struct Case {
        const char *name;
        std::function<long long()> call;
        long long result;
    };
    const Case cases[] = {
        {"PathFileExists", [&] { return AgentPathFileExistsW(logon_, e); }, 0},
        {"PathIsRoot null", [&] { return AgentPathIsRootW(logon_, nullptr); }, 0},
        {"PathStripToRoot", [&] { return AgentPathStripToRootW(logon_, const_cast<WCHAR *>(e)); }, 0},
        {"GetFileAttributes", [&] { return AgentGetFileAttributesW(logon_, e); }, 0xFFFFFFFFll},
        {"GetFileAttributesEx", [&] { return AgentGetFileAttributesExW(logon_, e, &data); }, 0},
        {"SetFileAttributes", [&] { return AgentSetFileAttributesW(logon_, e, 1); }, 0},
        {"CreateDirectory", [&] { return AgentCreateDirectoryW(logon_, e); }, 0},
        {"RemovePath", [&] { return AgentRemovePath(logon_, nullptr); }, 0},
        {"MoveFile empty source", [&] { return AgentMoveFile(logon_, e, p); }, 0},
        {"MoveFile empty target", [&] { return AgentMoveFile(logon_, p, e); }, 0},
        {"MoveFile null target", [&] { return AgentMoveFile(logon_, p, nullptr); }, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        // With an empty pool a connection is opened and logged on first.
        EmptyPool();
        agent_.ClearRecords();
        const int accepted = agent_.Accepted();
        LastAgentError = 0;
        EXPECT_EQ(c.call(), c.result);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(AgentGetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(agent_.Accepted(), accepted + 1);
        EXPECT_EQ(agent_.CountOf(OpLogon), 1u);
        EXPECT_EQ(agent_.Requests().size(), 1u) << "only the logon may be sent";
        EXPECT_EQ(Idle(), 1);
    }
}

TEST_F(AgentTest, NoConnectionGivesTheLogonFailure)
{
    EmptyPool();
    agent_.SetLogonStatus(1326);
    SetLastError(0);
    EXPECT_EQ(AgentPathFileExistsW(logon_, kPath.c_str()), 0);
    EXPECT_EQ(GetLastError(), 1326u);
    EXPECT_EQ(AgentGetLastError(), 1326u);
    EXPECT_EQ(AgentMoveFile(logon_, kPath.c_str(), kPath.c_str()), 0);
    EXPECT_EQ(AgentGetLastError(), 1326u);
    EXPECT_EQ(agent_.CountOf(OpPathFileExists) + agent_.CountOf(OpMoveFile), 0u);
    EXPECT_EQ(Idle(), 0);
}

TEST_F(AgentTest, AgentGoneMidExchangeDestroysTheConnection)
{
    // No handler: the fake agent closes the connection without a reply.
    EXPECT_EQ(AgentRemovePath(logon_, kPath.c_str()), 0);
    EXPECT_EQ(GetLastError(), 10054u);
    EXPECT_EQ(AgentGetLastError(), 10054u);
    EXPECT_EQ(Idle(), 0);
    EXPECT_EQ(AgentGetFileAttributesW(logon_, kPath.c_str()), 0xFFFFFFFFu);
    EXPECT_EQ(AgentGetLastError(), 10054u);
    EXPECT_EQ(Idle(), 0);
    EXPECT_EQ(agent_.Accepted(), 2);
}

TEST_F(AgentTest, SuccessLeavesLastAgentErrorAlone)
{
    agent_.Always(OpCreateDirectory, fake::StatusReply(OpCreateDirectory, 0));
    LastAgentError = 5;
    EXPECT_EQ(AgentCreateDirectoryW(logon_, kPath.c_str()), 1);
    EXPECT_EQ(AgentGetLastError(), 5u);
}
