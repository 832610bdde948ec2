// A test fixture with a fake agent and a logon to it, plus small helpers.
#ifndef AGENT_TEST_AGENT_TEST_H
#define AGENT_TEST_AGENT_TEST_H

#include "fake_agent.h"
#include "protocol/fss_util.h"
#include "test_seams.h"

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
    int Idle() const { return agent::IdleConnections(logon_); }
    // Takes a connection out of the pool the way a host does, as an open
    // file (the agent is told to accept the open), so that the next call
    // needs another one. Null when the open failed.
    HANDLE HoldConnection();
    // Closes a file of HoldConnection (the agent accepts the close): its
    // connection goes back to the pool.
    void CloseHeld(HANDLE held);
    // Empties the pool from outside: the agent closes every connection, so
    // the idle ones are found stale and dropped at the next call.
    void EmptyPool();
    // Leaves `n` idle connections in the pool (the one there and n - 1 new).
    void PoolConnections(int n);
    // Every connection the agent still has open is idle in the pool, and
    // each one is in step: taken all at once as open files they answer
    // their opens without a new connection being made.
    void ExpectOnlySoundConnectionsPooled();

    FakeAgent agent_;
    AGENT_LOGON logon_ = nullptr;
};

} // namespace fake

#endif
