// A test fixture with a fake agent and a logon to it, plus small helpers.
#ifndef AGENT_TEST_AGENT_TEST_H
#define AGENT_TEST_AGENT_TEST_H

#include "fake_agent.h"
#include "session/agent_logon.h"
#include "platform/test_seams.h"

#include <gtest/gtest.h>

namespace fake {

// A fixed wired adapter on loopback, so that MachineId is known and no
// test ever depends on (or sends to) the machine's real interfaces.
void InstallTestAdapters();

// The thread's last error after an exchange that set none, when the test
// set `before` ahead of it (Winsock resets it on success, POSIX does not).
inline DWORD HeldLastError(DWORD before)
{
    return agent::platform::kSocketSuccessResetsLastError ? 0u : before;
}

class AgentTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Logs on again (for tests that script the logon first).
    AGENT_LOGON LogOn(const char16_t *user = u"user", const char16_t *password = u"secret");
    int Idle() const { return logon_ != nullptr ? logon_->IdleCount() : 0; }

    FakeAgent agent_;
    AGENT_LOGON logon_ = nullptr;
};

} // namespace fake

#endif
