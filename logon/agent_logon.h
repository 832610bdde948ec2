// The object behind a logon handle: the agent's address, the credentials,
// and a stack of up to 50 idle logged-on connections.
#ifndef AGENT_LOGON_H
#define AGENT_LOGON_H

#include "filesystem/agent_connection.h"

#include <ace/INET_Addr.h>
#include <ace/Thread_Mutex.h>

struct AgentLogon {
    static constexpr int kCapacity = 50;

    AgentLogon() = default;
    ~AgentLogon(); // drains the pool and frees the credentials
    AgentLogon(const AgentLogon &) = delete;
    AgentLogon &operator=(const AgentLogon &) = delete;

    // Checks and stores the arguments and proves them with one logon. 0 / -1.
    int OpenLogon(DWORD port, const char *host, const WCHAR *user, const WCHAR *password);
    // A Ready connection: the most recently parked idle one, or a new one
    // connected and logged on outside the lock. Null on failure; the cause
    // goes into *error when given.
    agent::AgentConnection *AcquireConnection(int initialLogon, DWORD *error);
    // Parks a Ready connection while fewer than 50 are idle, else destroys it.
    int ReleaseConnection(agent::AgentConnection *connection);
    // Logs out and destroys every idle connection. Takes no lock.
    void DrainPool();

    int IdleCount();

    ACE_INET_Addr base;
    WCHAR *userName = nullptr;
    WCHAR *password = nullptr;
    ACE_Thread_Mutex lock;
    int capacity = kCapacity;
    int count = 0;
    agent::AgentConnection *idle[kCapacity] = {};
};

namespace agent {

// A logon and a connection taken from it for the pair's lifetime; given
// back with Release (or when the holder goes).
class ConnectionHolder {
public:
    explicit ConnectionHolder(AgentLogon *logon);
    ~ConnectionHolder() { Release(); }
    ConnectionHolder(const ConnectionHolder &) = delete;
    ConnectionHolder &operator=(const ConnectionHolder &) = delete;

    AgentConnection *get() const { return connection_; }
    void Release();

private:
    AgentLogon *logon_;
    AgentConnection *connection_;
};

} // namespace agent

#endif
