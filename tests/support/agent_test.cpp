#include "agent_test.h"

#include "platform/platform.h"

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

} // namespace fake
