// Disk space and OS version: replies of every shape, what reaches the
// caller's out-values, and that neither call writes AgentGetLastError.
#include "agent_test.h"
#include "messages.h"

#include "session/last_agent_error.h"

using fake::AgentTest;
using fake::Bytes;
using fake::Payload;
using fake::W;
using namespace agent;

namespace {
constexpr DWORD kUntouched = 0xDEADBEEF;
}

TEST_F(AgentTest, DiskSpaceReplies)
{
    struct Case {
        const char *name;
        Bytes reply;
        BOOL result;
        DWORD error;
        DWORD values[4];
        int idleAfter;
    } cases[] = {
        {"success", fake::DiskSpaceReply(0, 8, 512, 1000, 4000), 1, 0,
         {8, 512, 1000, 4000}, 1},
        {"agent error", fake::StatusReply(OpGetDiskFreeSpace, 5), 0, 5, {0, 0, 0, 0}, 1},
        {"agent error with values", fake::Reply(OpGetDiskFreeSpace, Payload().u32(3).u32(8).u32(512).u32(1).u32(2)),
         0, 3, {0, 0, 0, 0}, 1},
        {"success, short payload", fake::Reply(OpGetDiskFreeSpace, Payload().u32(0).u32(8)), 1, 0, {0, 0, 0, 0}, 1},
        {"success, long payload",
         fake::Reply(OpGetDiskFreeSpace, Payload().u32(0).u32(8).u32(512).u32(1).u32(2).u32(3)), 1, 0,
         {0, 0, 0, 0}, 1},
        {"big-endian", fake::Reply(OpGetDiskFreeSpace, Payload(true).u32(0).u32(8).u32(512).u32(7).u32(9)), 1, 0,
         {8, 512, 7, 9}, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        agent_.ClearRecords();
        agent_.Queue(OpGetDiskFreeSpace, fake::Send(c.reply));
        DWORD v[4] = {kUntouched, kUntouched, kUntouched, kUntouched};
        LastAgentError = 4242;
        SetLastError(77);
        EXPECT_EQ(AgentGetDiskFreeSpace(logon_, W(u"C:\\").c_str(), &v[0], &v[1], &v[2], &v[3]), c.result);
        EXPECT_EQ(GetLastError(), c.error); // written on success too
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(v[i], c.values[i]) << i;
        EXPECT_EQ(AgentGetLastError(), 4242u);
        EXPECT_EQ(Idle(), c.idleAfter);
        const auto requests = agent_.RequestsOf(OpGetDiskFreeSpace);
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(fake::ToHex(requests[0].raw()),
                  "01 00 01 00 12 00 00 00 0a 00 00 00 06 00 00 00 43 00 3a 00 5c 00");
    }
}

TEST_F(AgentTest, DiskSpaceSkipsNullOutPointers)
{
    agent_.Queue(OpGetDiskFreeSpace,
                 fake::Send(fake::DiskSpaceReply(0, 1, 2, 3, 4)));
    DWORD free = 0;
    EXPECT_EQ(AgentGetDiskFreeSpace(logon_, W(u"D:\\").c_str(), nullptr, nullptr, &free, nullptr), 1);
    EXPECT_EQ(free, 3u);
}

TEST_F(AgentTest, DiskSpaceFaults)
{
    LastAgentError = 4242;
    DWORD v = kUntouched;
    EXPECT_EQ(AgentGetDiskFreeSpace(nullptr, W(u"C:\\").c_str(), &v, &v, &v, &v), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(AgentGetDiskFreeSpace(logon_, W(u"").c_str(), &v, &v, &v, &v), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(v, kUntouched);
    EXPECT_EQ(Idle(), 1);
    EXPECT_EQ(agent_.Requests().size(), 0u);

    // A reply to another opcode, or one too short for the status, breaks the connection.
    for (const Bytes &reply : {fake::Reply(OpGetOSVersion, Payload().u32(0).u32(1).u32(2).u32(3).u32(4)),
                               fake::Header(2, OpGetDiskFreeSpace, 0),
                               fake::Reply(OpGetDiskFreeSpace, Payload().u16(0))}) {
        agent_.Queue(OpGetDiskFreeSpace, fake::Send(reply));
        const int open = agent_.Open();
        EXPECT_EQ(AgentGetDiskFreeSpace(logon_, W(u"C:\\").c_str(), &v, &v, &v, &v), 0);
        EXPECT_EQ(v, kUntouched);
        EXPECT_EQ(Idle(), 0);
        EXPECT_TRUE(agent_.WaitUntil([&] { return agent_.Open() == open - 1; }));
        PoolConnections(1);
    }
    EXPECT_EQ(AgentGetLastError(), 4242u);
}

TEST_F(AgentTest, OsVersion)
{
    agent_.Queue(OpGetOSVersion, fake::Send(fake::OsVersionReply(0x0601B1DB)));
    // No header test: whatever kind or opcode, the first u32 is the value.
    agent_.Queue(OpGetOSVersion, fake::Send(fake::Reply(OpLogon, Payload(true).u32(0x0A000000))));
    LastAgentError = 4242;
    EXPECT_EQ(AgentGetOSVersion(logon_), 0x0601B1DBu);
    EXPECT_EQ(AgentGetOSVersion(logon_), 0x0A000000u);
    const auto requests = agent_.RequestsOf(OpGetOSVersion);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(fake::ToHex(requests[0].raw()), "01 00 01 00 13 00 00 00 00 00 00 00");
    EXPECT_EQ(Idle(), 1);

    // A reply without a value fails; the stream is still in step, so the connection is kept.
    agent_.Queue(OpGetOSVersion, fake::Send(fake::Header(2, OpGetOSVersion, 0)));
    EXPECT_EQ(AgentGetOSVersion(logon_), 0xFFFFFFFFu);
    EXPECT_EQ(Idle(), 1);
    // A dropped connection fails and is not pooled.
    agent_.Queue(OpGetOSVersion, fake::CloseNow());
    EXPECT_EQ(AgentGetOSVersion(logon_), 0xFFFFFFFFu);
    EXPECT_EQ(Idle(), 0);
    EXPECT_EQ(AgentGetLastError(), 4242u);

    EXPECT_EQ(AgentGetOSVersion(nullptr), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(AgentTest, OsVersionWithoutAConnection)
{
    // Hold the pooled connection and make new logons fail.
    HANDLE held = HoldConnection();
    ASSERT_NE(held, nullptr);
    agent_.SetLogonStatus(1326);
    LastAgentError = 4242;
    EXPECT_EQ(AgentGetOSVersion(logon_), 0u);
    EXPECT_EQ(GetLastError(), 1326u);
    DWORD v = kUntouched;
    EXPECT_EQ(AgentGetDiskFreeSpace(logon_, W(u"C:\\").c_str(), &v, &v, &v, &v), 0);
    EXPECT_EQ(v, kUntouched);
    EXPECT_EQ(AgentGetLastError(), 4242u);
    EXPECT_EQ(agent_.CountOf(OpGetOSVersion), 0u);
    EXPECT_EQ(agent_.CountOf(OpGetDiskFreeSpace), 0u);
    agent_.SetLogonStatus(0);
    CloseHeld(held);
}
