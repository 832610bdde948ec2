// The object behind a logon handle: the agent's address, the credentials,
// the time-outs, and a stack of up to 50 idle logged-on connections.
#ifndef AGENT_LOGON_H
#define AGENT_LOGON_H

#include "transport/agent_connection.h"
#include "transport/call_watch.h"
#include "session/bandwidth_limit.h"
#include "session/machine_identity.h"
#include "util/out_of_memory.h"

#include <ace/INET_Addr.h>
#include <ace/Thread_Mutex.h>

#include <atomic>
#include <mutex>
#include <vector>

struct AgentLogon {
    static constexpr int kCapacity = 50;
    // How long AgentLogoff waits for logout replies when no I/O time-out is set.
    static constexpr DWORD kLogoffWaitMs = 5000;

    AgentLogon() = default;
    ~AgentLogon(); // drains the pool and frees the credentials
    AgentLogon(const AgentLogon &) = delete;
    AgentLogon &operator=(const AgentLogon &) = delete;

    // Checks and stores the arguments and proves them with one logon. 0 / -1
    // (87, 11001 for a host name that does not resolve, a socket error or
    // the agent's refusal).
    int OpenLogon(DWORD port, const char *host, const WCHAR *user, const WCHAR *password);
    // A Ready connection: the most recently parked idle one that has
    // nothing waiting to be read (stale ones are destroyed on the way), or
    // a new one connected and logged on outside the lock. Null on failure;
    // the cause goes into *error when given.
    agent::AgentConnection *AcquireConnection(int initialLogon, DWORD *error);
    // Parks a Ready connection of this logon while fewer than 50 are idle
    // (its receive buffer shrunk), else destroys it. A connection of
    // another logon is left alone: -1 with ERROR_INVALID_HANDLE.
    int ReleaseConnection(agent::AgentConnection *connection);
    // Logs out and destroys every idle connection, waiting for the replies
    // at most the I/O time-out (kLogoffWaitMs when none is set).
    void DrainPool();
    // Connect and I/O time-outs (ms, 0 none) for every connection of this
    // logon: pooled, new, and those held as handles.
    void SetTimeouts(DWORD connectMs, DWORD ioMs);
    // The time-outs every logon made from now on starts with, its first
    // connection included (ms, 0 none).
    static void SetDefaultTimeouts(DWORD connectMs, DWORD ioMs);

    int IdleCount();
    bool Owns(const agent::AgentConnection *connection) const { return connection->owner == this; }

    ACE_INET_Addr base;
    WCHAR *userName = nullptr;
    WCHAR *password = nullptr;
    ACE_Thread_Mutex lock;
    int capacity = kCapacity;
    int count = 0;
    agent::AgentConnection *idle[kCapacity] = {};
    // What the copy engines' chunk requests of this logon may move per second.
    agent::BandwidthLimit bandwidth;
    // The least progress a copy of this logon must make (off by default).
    agent::SpeedLimit speed;

private:
    // This PC's identity, read at the first connection: reading it walks
    // the adapter list, which costs more than the logon exchange, and
    // every connection of a logon tells the agent the same.
    const agent::MachineIdentity &Identity();

    // Closes a connection of this logon for good.
    void Destroy(agent::AgentConnection *connection);
    // Enters a new connection among the live ones, under the lock, with the
    // I/O time-out in force now. -1 with ERROR_NOT_ENOUGH_MEMORY.
    int Register(agent::AgentConnection *connection, DWORD ioMsApplied);

    static std::atomic<DWORD> defaultConnectMs_;
    static std::atomic<DWORD> defaultIoMs_;
    std::atomic<DWORD> connectMs_{defaultConnectMs_.load(std::memory_order_relaxed)};
    std::atomic<DWORD> ioMs_{defaultIoMs_.load(std::memory_order_relaxed)};
    // Every connection this logon made that is not yet destroyed (guarded
    // by lock), so a new time-out reaches handles too.
    std::vector<agent::AgentConnection *> live_;
    std::once_flag identityRead_;
    agent::MachineIdentity identity_;
};

namespace agent {

// The one holder of a connection taken from a logon: gives it back
// (pooled while Ready, destroyed otherwise) when it goes, unless Detach
// handed it to the caller as a handle. It is destroyed, never pooled, when
// an exception unwinds the export or memory ran out (NoteOutOfMemory)
// while it was held.
class ConnectionHolder {
public:
    // Takes a connection from the logon (initial-logon flag 0); an acquire
    // error becomes the thread's last error.
    explicit ConnectionHolder(AgentLogon *logon);
    // Holds a connection already taken from the logon (may be null). With
    // no logon (one logged off) the connection is destroyed when it goes.
    ConnectionHolder(AgentLogon *logon, AgentConnection *connection)
        : logon_(logon), connection_(connection), outOfMemoryMark_(OutOfMemoryEvents())
    {
    }
    ~ConnectionHolder() { Release(); }
    ConnectionHolder(const ConnectionHolder &) = delete;
    ConnectionHolder &operator=(const ConnectionHolder &) = delete;

    AgentConnection *get() const { return connection_; }
    AgentConnection &operator*() const { return *connection_; }
    // The connection leaves the holder (as the caller's handle).
    AgentConnection *Detach()
    {
        AgentConnection *connection = connection_;
        connection_ = nullptr;
        return connection;
    }
    void Release();
    // Gives the connection back after an exchange that returned normally,
    // sparing the unwinding check of Release.
    void ReleaseAfterReturn();

private:
    void GiveBack(bool unwinding);

    AgentLogon *logon_;
    AgentConnection *connection_;
    unsigned outOfMemoryMark_;
};

} // namespace agent

#endif
