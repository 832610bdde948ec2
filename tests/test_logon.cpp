// AgentLogonW/AgentLogoff, the idle pool and the export frame.
#include "agent_test.h"

#include <ace/INET_Addr.h>
#include <ace/SOCK_Acceptor.h>

#include <atomic>
#include <thread>

using namespace agent;
using fake::AgentTest;
using fake::W;

// Runs first in this program: nothing has failed yet.
TEST(LastAgentError, IsZeroUntilSomethingFails)
{
    EXPECT_EQ(AgentGetLastError(), 0u);
}

TEST(Logon, ArgumentErrorsSendNothing)
{
    fake::InstallTestAdapters();
    ASSERT_EQ(AgentInit(), 1);
    fake::FakeAgent agent;
    const fake::WString host = W(u"127.0.0.1"), user = W(u"user"), pw = W(u"pw"), empty;
    struct Case {
        const WCHAR *host;
        DWORD port;
        const WCHAR *user;
        const WCHAR *password;
    } cases[] = {
        {host.c_str(), 0, user.c_str(), pw.c_str()},
        {host.c_str(), 0x10000, user.c_str(), pw.c_str()}, // only the low 16 bits count
        {nullptr, agent.port(), user.c_str(), pw.c_str()},
        {empty.c_str(), agent.port(), user.c_str(), pw.c_str()},
        {host.c_str(), agent.port(), nullptr, pw.c_str()},
        {host.c_str(), agent.port(), empty.c_str(), pw.c_str()},
        {host.c_str(), agent.port(), user.c_str(), nullptr},
    };
    for (const Case &c : cases) {
        SetLastError(0);
        EXPECT_EQ(AgentLogonW(c.host, c.port, c.user, c.password), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(AgentGetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
    EXPECT_EQ(agent.Accepted(), 0);
}

TEST(Logon, FailuresCarryTheirCause)
{
    fake::InstallTestAdapters();
    fake::FakeAgent agent;
    agent.SetLogonStatus(1326);
    EXPECT_EQ(AgentLogonW(W(u"127.0.0.1").c_str(), agent.port(), W(u"user").c_str(), W(u"bad").c_str()), nullptr);
    EXPECT_EQ(GetLastError(), 1326u);
    EXPECT_EQ(AgentGetLastError(), 1326u);
    EXPECT_TRUE(agent.WaitUntil([&] { return agent.Open() == 0; })) << "refused connection left open";

    // A port nobody listens on: bind one, then close it.
    u_short port;
    {
        ACE_SOCK_Acceptor probe(ACE_INET_Addr(static_cast<u_short>(0), "127.0.0.1"));
        ACE_INET_Addr bound;
        probe.get_local_addr(bound);
        port = bound.get_port_number();
        probe.close();
    }
    EXPECT_EQ(AgentLogonW(W(u"127.0.0.1").c_str(), port, W(u"user").c_str(), W(u"pw").c_str()), nullptr);
    EXPECT_EQ(GetLastError(), 10061u);
    EXPECT_EQ(AgentGetLastError(), 10061u);
}

TEST(Logon, LogoffOfNullHandle)
{
    SetLastError(0);
    EXPECT_EQ(AgentLogoff(nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(AgentTest, PoolIsAStackThatReusesTheLastReturned)
{
    HANDLE first = HoldConnection();
    HANDLE second = HoldConnection();
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(agent_.Accepted(), 2);
    const int secondConnection = agent_.RequestsOf(OpCreateFile).back().connection;
    CloseHeld(first);
    CloseHeld(second);
    agent_.Queue(OpCreateDirectory, fake::Send(fake::StatusReply(OpCreateDirectory, 0)));
    EXPECT_EQ(AgentCreateDirectoryW(logon_, W(u"C:\\d").c_str()), 1);
    EXPECT_EQ(agent_.RequestsOf(OpCreateDirectory).back().connection, secondConnection);
    EXPECT_EQ(agent_.Accepted(), 2);
    EXPECT_EQ(agent_.CountOf(OpLogon), 1u);
}

TEST_F(AgentTest, PoolKeepsAtMostFiftyIdle)
{
    std::vector<HANDLE> held;
    for (int i = 0; i < 51; ++i) {
        held.push_back(HoldConnection());
        ASSERT_NE(held.back(), nullptr);
    }
    for (HANDLE file : held)
        CloseHeld(file);
    EXPECT_EQ(Idle(), 50);
    // The 51st was closed without a logout.
    EXPECT_TRUE(agent_.WaitUntil([&] { return agent_.Open() == 50; }));
    EXPECT_EQ(agent_.CountOf(OpLogout), 0u);

    ASSERT_EQ(AgentLogoff(logon_), 1);
    logon_ = nullptr;
    EXPECT_EQ(agent_.CountOf(OpLogout), 50u);
    EXPECT_TRUE(agent_.WaitUntil([&] { return agent_.Open() == 0; }));
}

TEST_F(AgentTest, FrameRecordsFailuresAndPoolsUsableConnections)
{
    agent_.Queue(OpCreateDirectory, fake::Send(fake::StatusReply(OpCreateDirectory, 183)));
    EXPECT_EQ(AgentCreateDirectoryW(logon_, W(u"C:\\dir").c_str()), 0);
    EXPECT_EQ(GetLastError(), 183u);
    EXPECT_EQ(AgentGetLastError(), 183u);
    EXPECT_EQ(Idle(), 1);

    // An empty path is refused after the connection is taken; it is pooled again.
    EXPECT_EQ(AgentCreateDirectoryW(logon_, W(u"").c_str()), 0);
    EXPECT_EQ(AgentGetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(Idle(), 1);

    // A pooled connection whose peer went away fails once, with a socket
    // error, and is destroyed; the next call opens a new one.
    agent_.Queue(OpCreateDirectory, fake::CloseNow());
    EXPECT_EQ(AgentCreateDirectoryW(logon_, W(u"C:\\dir").c_str()), 0);
    EXPECT_EQ(AgentGetLastError(), 10054u);
    EXPECT_EQ(Idle(), 0);
    agent_.Always(OpCreateDirectory, fake::StatusReply(OpCreateDirectory, 0));
    EXPECT_EQ(AgentCreateDirectoryW(logon_, W(u"C:\\dir").c_str()), 1);
    EXPECT_EQ(Idle(), 1);
    EXPECT_EQ(agent_.Accepted(), 2);
    // Success leaves the recorded failure alone.
    EXPECT_EQ(AgentGetLastError(), 10054u);
}

TEST_F(AgentTest, FrameReportsAConnectionThatCannotBeOpened)
{
    HANDLE only = HoldConnection();
    ASSERT_NE(only, nullptr);
    agent_.SetLogonStatus(1909); // account locked out, from now on
    EXPECT_EQ(AgentCreateDirectoryW(logon_, W(u"C:\\dir").c_str()), 0);
    EXPECT_EQ(GetLastError(), 1909u);
    EXPECT_EQ(AgentGetLastError(), 1909u);
    EXPECT_EQ(agent_.CountOf(OpCreateDirectory), 0u);
    CloseHeld(only);
}

TEST_F(AgentTest, ConcurrentCallsEachUseTheirOwnConnection)
{
    std::atomic<int> inFlight{0}, most{0};
    agent_.On(OpCreateDirectory, [&](const fake::Request &, fake::Session &) {
        const int now = ++inFlight;
        int seen = most.load();
        while (now > seen && !most.compare_exchange_weak(seen, now)) {
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        --inFlight;
        return fake::Send(fake::StatusReply(OpCreateDirectory, 0));
    });
    constexpr int kThreads = 8, kCalls = 40;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < kCalls; ++i)
                if (AgentCreateDirectoryW(logon_, W(u"C:\\dir").c_str()) != 1)
                    ++failures;
        });
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(agent_.CountOf(OpCreateDirectory), static_cast<size_t>(kThreads * kCalls));
    EXPECT_LE(agent_.Accepted(), kThreads);
    EXPECT_EQ(Idle(), agent_.Accepted());
    EXPECT_GT(most.load(), 1) << "calls never overlapped";
}
