#include "agent_test.h"

#include "platform/platform.h"
#include "protocol/fss_util.h"

#include <set>
#include <vector>

namespace fake {

void InstallTestAdapters()
{
    static const agent::platform::TestAdapter adapters[] = {
        {"Test Ethernet Adapter", {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0, 0}, 6, {"127.0.0.1"}, {"255.255.255.255"}},
    };
    agent::platform::SetAdapterListForTesting(adapters, 1);
}

void AgentTest::SetUp()
{
    InstallTestAdapters();
    ASSERT_EQ(AgentInit(), 1);
    logon_ = LogOn();
    ASSERT_NE(logon_, nullptr) << "logon to the fake agent failed: " << GetLastError();
    agent_.ClearRecords();
}

void AgentTest::TearDown()
{
    if (logon_ != nullptr)
        AgentLogoff(logon_);
    logon_ = nullptr;
}

AGENT_LOGON AgentTest::LogOn(const char16_t *user, const char16_t *password)
{
    return AgentLogonW(W(u"127.0.0.1").c_str(), agent_.port(), W(user).c_str(), W(password).c_str());
}

HANDLE AgentTest::HoldConnection()
{
    agent_.Queue(agent::OpCreateFile, Send(StatusReply(agent::OpCreateFile, 0)));
    return AgentCreateFileW(logon_, W(u"C:\\held").c_str(), GENERIC_READ, 0, OPEN_EXISTING, 0);
}

void AgentTest::CloseHeld(HANDLE held)
{
    agent_.Queue(agent::OpCloseHandle, Send(StatusReply(agent::OpCloseHandle, 0)));
    EXPECT_EQ(AgentCloseHandle(logon_, held), 1) << GetLastError();
}

void AgentTest::EmptyPool()
{
    agent_.DropAll();
    EXPECT_TRUE(agent_.WaitUntil([&] { return agent_.Open() == 0; }));
}

void AgentTest::PoolConnections(int n)
{
    std::vector<HANDLE> held;
    for (int i = 0; i < n; ++i) {
        held.push_back(HoldConnection());
        ASSERT_NE(held.back(), nullptr) << GetLastError();
    }
    for (HANDLE file : held)
        CloseHeld(file);
}

void AgentTest::ExpectOnlySoundConnectionsPooled()
{
    EXPECT_TRUE(agent_.WaitUntil([&] { return agent_.Open() == Idle(); }))
        << agent_.Open() << " open, " << Idle() << " idle";
    // A connection the client gave up on before the agent accepted it may
    // still be accepted (and log on) now, so new connections are told
    // apart by their logon rather than counted.
    const size_t mark = agent_.RequestCount();
    const int idle = Idle();
    std::vector<HANDLE> held;
    for (int i = 0; i < idle; ++i) {
        HANDLE file = HoldConnection();
        EXPECT_NE(file, nullptr) << "pooled connection " << i << " of " << idle << ": " << GetLastError();
        if (file != nullptr)
            held.push_back(file);
    }
    const std::vector<Request> requests = agent_.Requests();
    std::set<int> loggedOn, opened;
    for (size_t i = mark; i < requests.size(); ++i) {
        if (requests[i].opcode == agent::OpLogon)
            loggedOn.insert(requests[i].connection);
        else if (requests[i].opcode == agent::OpCreateFile)
            opened.insert(requests[i].connection);
    }
    EXPECT_EQ(opened.size(), held.size());
    for (int c : opened)
        EXPECT_EQ(loggedOn.count(c), 0u) << "connection " << c << " was made for the check, not taken from the pool";
    for (HANDLE file : held)
        CloseHeld(file);
}

} // namespace fake
