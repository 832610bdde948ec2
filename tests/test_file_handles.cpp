// Remote file handles against the fake agent: the open/close life of the
// handle's connection, bytes on the wire, the exact-8 and minimum-4 reply
// tests, bulk data, and handles whose connection broke.
#include "agent_test.h"
#include "file_messages.h"
#include "file_server.h"

#include "entries.h"
#include "protocol/fss_util.h"
#include "session/last_agent_error.h"

#include <cstring>
#include <functional>
#include <memory>
#include <vector>

using fake::AgentTest;
using fake::Bytes;
using fake::Hex;
using fake::Payload;
using fake::W;
using namespace agent;

namespace {

const fake::WString kFile = W(u"C:\\f.bin");

// A read reply; a `length` other than 8 makes it malformed.
Bytes DataReply(uint32_t opcode, uint32_t status, uint32_t count, const Bytes &data, uint32_t length = 8)
{
    Bytes reply = fake::CountReply(opcode, status, count, data);
    reply[8] = static_cast<uint8_t>(length);
    return reply;
}

LARGE_INTEGER Distance(int64_t value)
{
    LARGE_INTEGER d;
    d.QuadPart = value;
    return d;
}

class FileHandleTest : public AgentTest {
protected:
    void SetUp() override
    {
        AgentTest::SetUp();
        agent_.Always(OpCreateFile, fake::StatusReply(OpCreateFile, 0));
        agent_.Always(OpCloseHandle, fake::StatusReply(OpCloseHandle, 0));
    }

    HANDLE Open()
    {
        HANDLE h = AgentCreateFileW(logon_, kFile.c_str(), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL);
        agent_.ClearRecords();
        return h;
    }

    // The bytes the handle's connection sent after the open.
    Bytes LastRequest(uint32_t opcode)
    {
        auto requests = agent_.RequestsOf(opcode);
        return requests.empty() ? Bytes{} : requests.back().raw();
    }

    bool WaitOpen(int n)
    {
        return agent_.WaitUntil([&] { return agent_.Open() == n; });
    }

    // The handle still works: one more exchange on it succeeds.
    void ExpectUsable(HANDLE h)
    {
        agent_.Queue(OpSetFileTime, fake::Send(fake::StatusReply(OpSetFileTime, 0)));
        const FILETIME t = {1, 2};
        EXPECT_EQ(AgentSetFileTime(h, &t, &t, &t), 1) << "the handle was given up: " << GetLastError();
    }

    // The handle's connection is given up: a call on it sends nothing and
    // fails with 12.
    void ExpectBroken(HANDLE h)
    {
        const size_t before = agent_.RequestCount();
        const FILETIME t = {1, 2};
        EXPECT_EQ(AgentSetFileTime(h, &t, &t, &t), 0);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ACCESS));
        EXPECT_EQ(agent_.RequestCount(), before);
    }

    // An open file whose connection the agent closed during a read.
    HANDLE Broken()
    {
        HANDLE h = Open();
        agent_.Queue(OpReadFile, fake::CloseNow());
        char byte;
        DWORD count = 0;
        EXPECT_EQ(AgentReadFile(h, &byte, 1, &count), 0);
        agent_.ClearRecords();
        return h;
    }
};

} // namespace

// ---- open and close ----------------------------------------------------

TEST_F(FileHandleTest, OpenKeepsTheConnectionAsTheHandle)
{
    HANDLE h = AgentCreateFileW(logon_, W(u"ab").c_str(), 0x80000000u, 1, 3, 0x80);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(agent_.RequestsOf(OpCreateFile).at(0).raw(), fake::OpenRequest(W(u"ab"), 0x80000000u, 1, 3, 0x80));
    ExpectUsable(h);
    EXPECT_EQ(Idle(), 0); // the handle is the pooled connection, held outside the pool

    ASSERT_EQ(AgentCloseHandle(logon_, h), 1);
    EXPECT_EQ(agent_.RequestsOf(OpCloseHandle).at(0).raw(), fake::BareRequest(OpCloseHandle));
    EXPECT_EQ(Idle(), 1);
    EXPECT_EQ(agent_.Accepted(), 1);
    EXPECT_EQ(agent_.Open(), 1);
}

TEST_F(FileHandleTest, FailedOpensGiveTheConnectionBack)
{
    struct Case {
        const char *name;
        const WCHAR *path;
        Bytes reply; // empty: nothing may be sent
        DWORD error;
        int idle;
    };
    const fake::WString empty;
    const Case cases[] = {
        {"empty path", empty.c_str(), {}, ERROR_INVALID_PARAMETER, 1},
        {"null path", nullptr, {}, ERROR_INVALID_PARAMETER, 1},
        {"refused", kFile.c_str(), fake::StatusReply(OpCreateFile, 2), 2, 1},
        // No header test on the open: any header carrying a status is read.
        {"refused, odd header", kFile.c_str(), fake::Concat({fake::Header(1, 77, 4), Payload().u32(32).bytes()}), 32,
         1},
        {"agent gone", kFile.c_str(), fake::Bytes{}, 10054, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        if (Idle() == 0)
            PoolConnections(1);
        agent_.ClearRecords();
        if (!c.reply.empty())
            agent_.Queue(OpCreateFile, fake::Send(c.reply));
        else if (c.error == 10054)
            agent_.Queue(OpCreateFile, fake::CloseNow());
        SetLastError(0);
        EXPECT_EQ(AgentCreateFileW(logon_, c.path, GENERIC_READ, 1, 3, 0x80), nullptr);
        EXPECT_EQ(GetLastError(), c.error);
        EXPECT_EQ(AgentGetLastError(), c.error);
        EXPECT_EQ(Idle(), c.idle);
        if (c.error == ERROR_INVALID_PARAMETER) {
            EXPECT_TRUE(agent_.Requests().empty());
        }
    }
    LastAgentError = 9;
    EXPECT_EQ(AgentCreateFileW(nullptr, kFile.c_str(), 0, 0, 3, 0), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(AgentGetLastError(), 9u);
}

TEST_F(FileHandleTest, CloseOutcomes)
{
    // Refused close: result 1, status in the thread's last error only, and
    // the connection (file still open there) is destroyed, not pooled.
    HANDLE h = Open();
    ASSERT_NE(h, nullptr);
    agent_.Queue(OpCloseHandle, fake::Send(fake::StatusReply(OpCloseHandle, 6)));
    LastAgentError = 0;
    EXPECT_EQ(AgentCloseHandle(logon_, h), 1);
    EXPECT_EQ(GetLastError(), 6u);
    EXPECT_EQ(AgentGetLastError(), 0u);
    EXPECT_EQ(Idle(), 0);
    EXPECT_TRUE(WaitOpen(0));

    // Close lost in transport: result 0, LastAgentError holds the cause.
    h = Open();
    ASSERT_NE(h, nullptr);
    agent_.Queue(OpCloseHandle, fake::CloseNow());
    EXPECT_EQ(AgentCloseHandle(logon_, h), 0);
    EXPECT_EQ(AgentGetLastError(), 10054u);
    EXPECT_EQ(Idle(), 0);

    // Close reply without a header test.
    h = Open();
    ASSERT_NE(h, nullptr);
    agent_.Queue(OpCloseHandle, fake::Send(fake::StatusReply(OpReadFile, 0)));
    EXPECT_EQ(AgentCloseHandle(logon_, h), 1);
    EXPECT_EQ(Idle(), 1);
}

TEST_F(FileHandleTest, CloseWithANullArgumentLeavesTheHandleOpen)
{
    HANDLE h = Open();
    ASSERT_NE(h, nullptr);
    LastAgentError = 0;
    EXPECT_EQ(AgentCloseHandle(nullptr, h), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(AgentCloseHandle(logon_, nullptr), 0);
    EXPECT_EQ(AgentGetLastError(), 0u);
    EXPECT_TRUE(agent_.Requests().empty());
    ExpectUsable(h);
    EXPECT_EQ(AgentCloseHandle(logon_, h), 1);
    EXPECT_EQ(Idle(), 1);
}

TEST_F(FileHandleTest, CloseEndsSearchAndDriveHandlesWithoutAnExchange)
{
    fake::FindEntry entry;
    entry.name = W(u"a");
    fake::DriveEntry drive;
    drive.text1 = W(u"C:\\");
    struct Case {
        const char *name;
        std::function<HANDLE()> open; // a handle whose stream has not ended, or a broken file
    } cases[] = {
        {"search",
         [&] {
             agent_.Queue(OpFindFirst, fake::Send(fake::Concat({fake::Header(2, OpFindFirst, 1),
                                                                fake::Chunk(fake::FindRecord(entry))})));
             WIN32_FIND_DATAW data;
             return AgentFindFirstFileW(logon_, W(u"C:\\*").c_str(), &data);
         }},
        {"drives",
         [&] {
             agent_.Queue(OpFindFirstDrive, fake::Send(fake::Concat({fake::Header(2, OpFindFirstDrive, 1),
                                                                     fake::Chunk(fake::DriveRecord(drive))})));
             AgentDriveInfo info;
             return AgentFindFirstLogicalDriveW(logon_, &info);
         }},
        {"broken file", [&] { return Broken(); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        HANDLE h = c.open();
        ASSERT_NE(h, nullptr);
        agent_.ClearRecords();
        EXPECT_EQ(AgentCloseHandle(logon_, h), 1);
        EXPECT_TRUE(agent_.Requests().empty());
        EXPECT_EQ(Idle(), 0);     // destroyed, not pooled
        EXPECT_TRUE(WaitOpen(0)); // and its socket closed
        PoolConnections(1);
    }
}

// ---- frame of the handle operations ------------------------------------

TEST_F(FileHandleTest, HandleOperationsCheckTheirArgumentsAndState)
{
    char buffer[16];
    DWORD count = 99;
    BY_HANDLE_FILE_INFORMATION info;
    FILETIME t = {1, 2};
    struct Case {
        const char *name;
        std::function<BOOL(HANDLE)> call;
    };
    const Case cases[] = {
        {"information", [&](HANDLE h) { return AgentGetFileInformationByHandle(h, &info); }},
        {"read", [&](HANDLE h) { return AgentReadFile(h, buffer, sizeof buffer, &count); }},
        {"read at", [&](HANDLE h) { return AgentReadFilePosition(h, buffer, sizeof buffer, &count, 0, 0); }},
        {"write", [&](HANDLE h) { return AgentWriteFile(h, buffer, sizeof buffer, &count); }},
        {"move", [&](HANDLE h) { return AgentSetFilePointerEx(h, Distance(1), nullptr, 1); }},
        {"times", [&](HANDLE h) { return AgentSetFileTime(h, &t, &t, &t); }},
    };
    HANDLE broken = Broken(); // nothing can be sent on it
    ASSERT_NE(broken, nullptr);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        LastAgentError = 0;
        EXPECT_EQ(c.call(nullptr), 0);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(AgentGetLastError(), 0u); // argument errors leave it alone
        EXPECT_EQ(c.call(broken), 0);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ACCESS));
        EXPECT_EQ(AgentGetLastError(), static_cast<DWORD>(ERROR_INVALID_ACCESS));
    }
    // The bad move method is found before the state.
    EXPECT_EQ(AgentSetFilePointerEx(broken, Distance(0), nullptr, 3), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(AgentGetFileInformationByHandle(broken, nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(agent_.Requests().empty());
    EXPECT_EQ(AgentCloseHandle(logon_, broken), 1);
}

TEST_F(FileHandleTest, EmptyReadsAndWritesSucceedWithoutSending)
{
    char buffer[4];
    for (bool broken : {true, false}) {
        HANDLE h = broken ? Broken() : Open();
        ASSERT_NE(h, nullptr);
        DWORD count = 7;
        EXPECT_EQ(AgentReadFile(h, buffer, 0, &count), 1);
        EXPECT_EQ(count, 0u);
        count = 7;
        EXPECT_EQ(AgentReadFile(h, nullptr, 4, &count), 1);
        EXPECT_EQ(count, 0u);
        count = 7;
        EXPECT_EQ(AgentReadFilePosition(h, buffer, 0, &count, 5, 0), 1);
        EXPECT_EQ(count, 0u);
        count = 7;
        EXPECT_EQ(AgentWriteFile(h, buffer, 0, &count), 1);
        EXPECT_EQ(count, 0u);
        count = 7;
        EXPECT_EQ(AgentWriteFile(h, nullptr, 3, &count), 1);
        EXPECT_EQ(count, 0u);
        EXPECT_EQ(AgentReadFile(h, buffer, 0, nullptr), 1);
        AgentCloseHandle(logon_, h);
    }
    EXPECT_EQ(agent_.CountOf(OpReadFile) + agent_.CountOf(OpReadFileAt) + agent_.CountOf(OpWriteFile), 0u);
}

// ---- read and read at an offset (exact 8) ------------------------------

TEST_F(FileHandleTest, ReadsTakeWhatTheFileHolds)
{
    auto content = std::make_shared<Bytes>(fake::PatternBytes(10000));
    fake::ServeFile(agent_, content);
    HANDLE h = Open();
    ASSERT_NE(h, nullptr);
    std::vector<uint8_t> buffer(4096);
    DWORD read = 0;
    ASSERT_EQ(AgentReadFile(h, buffer.data(), 4096, &read), 1);
    EXPECT_EQ(read, 4096u);
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), content->begin()));

    ASSERT_EQ(AgentReadFilePosition(h, buffer.data(), 100, &read, 9950, 0), 1);
    EXPECT_EQ(LastRequest(OpReadFileAt), fake::ReadAtRequest(100, 9950));
    EXPECT_EQ(read, 50u); // end of file: fewer than asked, no error
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + 50, content->begin() + 9950));

    ASSERT_EQ(AgentReadFilePosition(h, buffer.data(), 8, &read, 1, 2), 1);
    EXPECT_EQ(LastRequest(OpReadFileAt), fake::ReadAtRequest(8, 0x200000001ull));
    EXPECT_EQ(read, 0u);
    EXPECT_EQ(AgentCloseHandle(logon_, h), 1);
    EXPECT_EQ(Idle(), 1);
}

TEST_F(FileHandleTest, ReadReplyOutcomes)
{
    const Bytes hundred = fake::PatternBytes(100);
    struct Case {
        const char *name;
        uint32_t opcode; // which export: OpReadFile or OpReadFileAt
        Bytes reply;
        BOOL result;
        DWORD count;
        DWORD error; // 0: the library sets none
        bool stillOpen;
    };
    const Case cases[] = {
        {"data", OpReadFile, DataReply(OpReadFile, 0, 100, hundred), 1, 100, 0, true},
        {"data at", OpReadFileAt, DataReply(OpReadFileAt, 0, 100, hundred), 1, 100, 0, true},
        // The bytes after a non-zero status are still taken off the stream.
        {"status with data", OpReadFile, DataReply(OpReadFile, 5, 100, hundred), 0, 100, 5, true},
        {"status with data at", OpReadFileAt, DataReply(OpReadFileAt, 38, 100, hundred), 0, 100, 38, true},
        {"length 12", OpReadFile, DataReply(OpReadFile, 0, 100, hundred, 12), 0, 0, 13, false},
        {"length 4", OpReadFileAt, fake::StatusReply(OpReadFileAt, 0), 0, 0, 13, false},
        {"other opcode", OpReadFileAt, DataReply(OpReadFile, 0, 100, hundred), 0, 0, 13, false},
        {"request kind", OpReadFile,
         fake::Concat({fake::Header(1, OpReadFile, 8), Payload().u32(0).u32(100).bytes(), hundred}), 0, 0, 13, false},
        // More than asked for: refused before a byte lands in the buffer.
        {"count above request", OpReadFile, DataReply(OpReadFile, 0, 200, fake::PatternBytes(200)), 0, 0, 13, false},
        {"count above request at", OpReadFileAt, DataReply(OpReadFileAt, 0, 101, fake::PatternBytes(101)), 0, 0, 13,
         false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        HANDLE h = Open();
        ASSERT_NE(h, nullptr);
        agent_.Queue(c.opcode, fake::Send(c.reply));
        std::vector<uint8_t> buffer(100 + 16, 0xEE); // 16 guard bytes past what is asked
        DWORD count = 12345;
        SetLastError(4242);
        const BOOL result = c.opcode == OpReadFile ? AgentReadFile(h, buffer.data(), 100, &count)
                                                   : AgentReadFilePosition(h, buffer.data(), 100, &count, 0, 0);
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(count, c.count);
        EXPECT_EQ(GetLastError(), c.error != 0 ? c.error : fake::HeldLastError(4242u));
        if (!c.result) {
            EXPECT_EQ(AgentGetLastError(), GetLastError());
        }
        if (c.count > 0) {
            EXPECT_TRUE(std::equal(hundred.begin(), hundred.end(), buffer.begin()));
        }
        EXPECT_EQ(Bytes(buffer.begin() + 100, buffer.end()), Bytes(16, 0xEE));
        if (c.error == 13) {
            EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 100), Bytes(100, 0xEE));
        }
        if (c.stillOpen)
            ExpectUsable(h);
        else
            ExpectBroken(h);
        if (c.stillOpen) {
            // The stream is still in step: the next exchange works.
            agent_.Queue(OpReadFile, fake::Send(DataReply(OpReadFile, 0, 1, Bytes{0x42})));
            ASSERT_EQ(AgentReadFile(h, buffer.data(), 1, &count), 1);
            EXPECT_EQ(buffer[0], 0x42);
        }
        agent_.ClearRecords();
        EXPECT_EQ(AgentCloseHandle(logon_, h), 1);
        EXPECT_EQ(agent_.CountOf(OpCloseHandle), c.stillOpen ? 1u : 0u);
        EXPECT_EQ(Idle(), c.stillOpen ? 1 : 0);
        if (Idle() == 0)
            PoolConnections(1);
    }
}

TEST_F(FileHandleTest, BrokenHandleRefusesFurtherOperationsUntilClosed)
{
    HANDLE h = Open();
    ASSERT_NE(h, nullptr);
    agent_.Queue(OpReadFile, fake::Send(DataReply(OpReadFile, 0, 4, Bytes(4, 1), 12)));
    char buffer[16];
    DWORD count = 0;
    EXPECT_EQ(AgentReadFile(h, buffer, sizeof buffer, &count), 0);
    EXPECT_EQ(AgentReadFile(h, buffer, sizeof buffer, &count), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ACCESS));
    EXPECT_EQ(AgentGetLastError(), static_cast<DWORD>(ERROR_INVALID_ACCESS));
    EXPECT_EQ(AgentWriteFile(h, buffer, 3, &count), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ACCESS));
    EXPECT_EQ(agent_.CountOf(OpReadFile), 1u);
    EXPECT_EQ(AgentCloseHandle(logon_, h), 1);
    EXPECT_EQ(agent_.CountOf(OpCloseHandle), 0u);
    EXPECT_EQ(Idle(), 0);
    EXPECT_TRUE(WaitOpen(0));
}

TEST_F(FileHandleTest, AgentClosingMidDataBreaksTheHandle)
{
    HANDLE h = Open();
    ASSERT_NE(h, nullptr);
    // 4096 announced, 100 sent, then the agent goes.
    agent_.Queue(OpReadFileAt, fake::Send(DataReply(OpReadFileAt, 0, 4096, fake::PatternBytes(100))).ThenClose());
    std::vector<uint8_t> buffer(4096);
    DWORD count = 5;
    EXPECT_EQ(AgentReadFilePosition(h, buffer.data(), 4096, &count, 0, 0), 0);
    EXPECT_EQ(GetLastError(), 10054u);
    EXPECT_EQ(AgentGetLastError(), 10054u);
    EXPECT_EQ(count, 0u);
    ExpectBroken(h);
    EXPECT_EQ(AgentCloseHandle(logon_, h), 1);
    EXPECT_EQ(Idle(), 0);
}

TEST_F(FileHandleTest, LargeReadArrivesWhole)
{
    auto content = std::make_shared<Bytes>(fake::PatternBytes(3 * 1024 * 1024 + 5));
    fake::ServeFile(agent_, content);
    HANDLE h = Open();
    ASSERT_NE(h, nullptr);
    std::vector<uint8_t> buffer(content->size());
    DWORD count = 0;
    ASSERT_EQ(AgentReadFile(h, buffer.data(), static_cast<DWORD>(buffer.size()), &count), 1);
    EXPECT_EQ(count, content->size());
    EXPECT_TRUE(buffer == *content);
    EXPECT_EQ(AgentCloseHandle(logon_, h), 1);
}

// ---- write (exact 8) ---------------------------------------------------

TEST_F(FileHandleTest, WriteSendsTheCallersBytesAsThePayload)
{
    HANDLE h = Open();
    ASSERT_NE(h, nullptr);
    agent_.Queue(OpWriteFile, fake::Send(fake::CountReply(OpWriteFile, 0, 3)));
    DWORD written = 0;
    ASSERT_EQ(AgentWriteFile(h, "abc", 3, &written), 1);
    EXPECT_EQ(fake::ToHex(LastRequest(OpWriteFile)), "01 00 01 00 0b 00 00 00 03 00 00 00 61 62 63");
    EXPECT_EQ(written, 3u);

    // A short write is no error; an agent status is, with the count stored.
    agent_.Queue(OpWriteFile, fake::Send(fake::CountReply(OpWriteFile, 0, 1)));
    EXPECT_EQ(AgentWriteFile(h, "abc", 3, &written), 1);
    EXPECT_EQ(written, 1u);
    agent_.Queue(OpWriteFile, fake::Send(fake::CountReply(OpWriteFile, 112, 2)));
    EXPECT_EQ(AgentWriteFile(h, "abc", 3, nullptr), 0);
    EXPECT_EQ(GetLastError(), 112u);
    EXPECT_EQ(AgentGetLastError(), 112u);
    agent_.Queue(OpWriteFile, fake::Send(fake::CountReply(OpWriteFile, 112, 2)));
    EXPECT_EQ(AgentWriteFile(h, "abc", 3, &written), 0);
    EXPECT_EQ(written, 2u);
    ExpectUsable(h);

    // Exact length 8 or the connection is given up.
    agent_.Queue(OpWriteFile, fake::Send(fake::Reply(OpWriteFile, Payload().u32(0).u32(3).u32(0))));
    EXPECT_EQ(AgentWriteFile(h, "abc", 3, &written), 0);
    ExpectBroken(h);
    EXPECT_EQ(AgentCloseHandle(logon_, h), 1);
    EXPECT_EQ(Idle(), 0);
}

TEST_F(FileHandleTest, LargeWriteGoesOutInOneRequest)
{
    HANDLE h = Open();
    ASSERT_NE(h, nullptr);
    const Bytes data = fake::PatternBytes(1 << 20);
    agent_.Queue(OpWriteFile, fake::Send(fake::CountReply(OpWriteFile, 0, 1 << 20)));
    DWORD written = 0;
    ASSERT_EQ(AgentWriteFile(h, data.data(), static_cast<DWORD>(data.size()), &written), 1);
    auto requests = agent_.RequestsOf(OpWriteFile);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].length, data.size());
    EXPECT_TRUE(requests[0].payload == data);
    EXPECT_EQ(AgentCloseHandle(logon_, h), 1);
}

// ---- move file pointer (minimum 4) -------------------------------------

TEST_F(FileHandleTest, MovePointerReplyOutcomes)
{
    struct Case {
        const char *name;
        Bytes reply;
        bool wantPosition;
        BOOL result;
        DWORD error; // 0: the library sets none
        bool stillOpen;
    };
    const Case cases[] = {
        {"position, none wanted", fake::PositionReply(1), false, 1, 0, true},
        {"status 0 without position", fake::StatusReply(OpSetFilePointer, 0), true, 0, ERROR_INTERNAL_ERROR, true},
        {"status 0 without position, none wanted", fake::StatusReply(OpSetFilePointer, 0), false, 0,
         ERROR_INTERNAL_ERROR, true},
        {"half a position", fake::Reply(OpSetFilePointer, Payload().u32(0).u32(1)), true, 0, ERROR_INTERNAL_ERROR,
         true},
        {"agent status", fake::StatusReply(OpSetFilePointer, 131), true, 0, 131, true},
        {"other opcode", fake::Reply(OpSetFileTime, Payload().u32(0).u32(1).u32(0)), true, 0, 13, false},
        {"length 0", fake::Header(2, OpSetFilePointer, 0), true, 0, 13, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        HANDLE h = Open();
        ASSERT_NE(h, nullptr);
        agent_.Queue(OpSetFilePointer, fake::Send(c.reply));
        LARGE_INTEGER position = Distance(0);
        SetLastError(4242);
        EXPECT_EQ(AgentSetFilePointerEx(h, Distance(1), c.wantPosition ? &position : nullptr, 0), c.result);
        EXPECT_EQ(GetLastError(), c.error != 0 ? c.error : fake::HeldLastError(4242u));
        if (c.stillOpen)
            ExpectUsable(h);
        else
            ExpectBroken(h);
        EXPECT_EQ(AgentCloseHandle(logon_, h), 1);
        if (Idle() == 0)
            PoolConnections(1);
    }
}

// ---- set file times (no reply test) ------------------------------------

TEST_F(FileHandleTest, SetFileTimeSendsAbsentTimesAsZeroAndReadsAnyHeader)
{
    HANDLE h = Open();
    ASSERT_NE(h, nullptr);
    const FILETIME creation = {1, 2}, write = {5, 6};
    // Any header is accepted; only the status is read.
    agent_.Queue(OpSetFileTime, fake::Send(fake::StatusReply(OpGetOSVersion, 0)));
    ASSERT_EQ(AgentSetFileTime(h, &creation, nullptr, &write), 1);
    EXPECT_EQ(LastRequest(OpSetFileTime), fake::FileTimeRequest(creation, {0, 0}, write));

    agent_.Queue(OpSetFileTime, fake::Send(fake::StatusReply(OpSetFileTime, 87)));
    EXPECT_EQ(AgentSetFileTime(h, &creation, &creation, &creation), 0);
    EXPECT_EQ(GetLastError(), 87u);
    EXPECT_EQ(AgentGetLastError(), 87u);
    ExpectUsable(h);
    EXPECT_EQ(AgentCloseHandle(logon_, h), 1);
    EXPECT_EQ(Idle(), 1);
}

// ---- by-handle information (minimum 4) ---------------------------------

TEST_F(FileHandleTest, FileInformationFailures)
{
    HANDLE h = Open();
    ASSERT_NE(h, nullptr);
    // A record cut short: the fields before the cut are kept, the call fails,
    // the file stays open.
    BY_HANDLE_FILE_INFORMATION info;
    std::memset(&info, 0, sizeof info);
    agent_.Queue(OpGetFileInformation,
                 fake::Send(fake::Reply(OpGetFileInformation, Payload().u32(0).u32(0x10).u32(11).u32(12))));
    EXPECT_EQ(AgentGetFileInformationByHandle(h, &info), 0);
    EXPECT_EQ(info.dwFileAttributes, 0x10u);
    EXPECT_EQ(info.ftCreationTime.dwHighDateTime, 12u);
    EXPECT_EQ(info.ftLastAccessTime.dwLowDateTime, 0u);
    ExpectUsable(h);

    agent_.Queue(OpGetFileInformation, fake::Send(fake::StatusReply(OpGetFileInformation, 6)));
    EXPECT_EQ(AgentGetFileInformationByHandle(h, &info), 0);
    EXPECT_EQ(GetLastError(), 6u);
    ExpectUsable(h);

    agent_.Queue(OpGetFileInformation, fake::Send(fake::StatusReply(OpGetFileAttributesEx, 0)));
    EXPECT_EQ(AgentGetFileInformationByHandle(h, &info), 0);
    ExpectBroken(h);
    EXPECT_EQ(AgentCloseHandle(logon_, h), 1);
    EXPECT_EQ(Idle(), 0);
}

// ---- handles on several connections ------------------------------------

TEST_F(FileHandleTest, EachOpenFileHasItsOwnConnection)
{
    HANDLE a = Open();
    HANDLE b = Open();
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    EXPECT_EQ(agent_.Accepted(), 2);
    EXPECT_EQ(Idle(), 0);
    EXPECT_EQ(AgentCloseHandle(logon_, a), 1);
    EXPECT_EQ(AgentCloseHandle(logon_, b), 1);
    EXPECT_EQ(Idle(), 2);
}
