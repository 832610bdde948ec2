#include "session/agent_logon.h"

#include "protocol/wide_string.h"
#include "session/handle_table.h"
#include "session/last_agent_error.h"
#include "session/logon_exchange.h"

#include <ace/Guard_T.h>
#include <ace/OS_Memory.h>
#include <ace/OS_NS_sys_time.h>

#include <algorithm>
#include <exception>
#include <memory>
#include <new>

using agent::AgentConnection;

std::atomic<DWORD> AgentLogon::defaultConnectMs_{0};
std::atomic<DWORD> AgentLogon::defaultIoMs_{0};

AgentLogon::~AgentLogon()
{
    // Handles still open keep their connections, which can no longer come
    // back to this logon's pool.
    agent::OrphanHandles(this);
    DrainPool();
    ACE_OS::free(password);
    ACE_OS::free(userName);
}

int AgentLogon::OpenLogon(DWORD port, const char *host, const WCHAR *user, const WCHAR *pass)
{
    if ((port & 0xFFFF) == 0 || host == nullptr || host[0] == 0 || agent::IsEmpty(user) || pass == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    userName = agent::DuplicateWide(user);
    password = agent::DuplicateWide(pass);
    if (userName == nullptr || password == nullptr) {
        agent::NoteOutOfMemory();
        return -1;
    }
    // Without this test an unresolved name would leave the default address
    // behind and be reported as a refused connect.
    if (base.set(static_cast<u_short>(port & 0xFFFF), host, 1, AF_UNSPEC) != 0) {
        SetLastError(WSAHOST_NOT_FOUND);
        return -1;
    }
    DWORD error = 0;
    AgentConnection *connection = AcquireConnection(1, &error);
    if (connection == nullptr) {
        SetLastError(error);
        return -1;
    }
    ReleaseConnection(connection);
    return 0;
}

AgentConnection *AgentLogon::AcquireConnection(int initialLogon, DWORD *error)
{
    for (;;) {
        AgentConnection *pooled = nullptr;
        {
            ACE_GUARD_RETURN(ACE_Thread_Mutex, guard, lock, nullptr);
            if (count > 0) {
                pooled = idle[--count];
                idle[count] = nullptr;
            }
        }
        if (pooled == nullptr)
            break;
        // After an agent restart every idle connection is dead; finding
        // that out here costs one poll instead of a failed call each.
        if (pooled->NothingWaiting())
            return pooled;
        Destroy(pooled);
    }
    const auto fail = [error](DWORD cause) -> AgentConnection * {
        if (error != nullptr)
            *error = cause;
        SetLastError(cause);
        return nullptr;
    };
    // Owned here until it is registered: an exception on the way (the
    // adapter list, say) must not leave an open socket behind.
    std::unique_ptr<AgentConnection> connection;
    try {
        connection.reset(new AgentConnection());
    } catch (const std::bad_alloc &) {
        return fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    if (!connection->HasBuffer())
        return fail(ERROR_NOT_ENOUGH_MEMORY);
    connection->owner = this;
    const DWORD ioMs = ioMs_.load();
    if (connection->Connect(base, connectMs_.load()) != 0 || (ioMs != 0 && connection->SetIoTimeout(ioMs) != 0) ||
        Logon(*connection, userName, password, Identity(), initialLogon) != 0) {
        const DWORD cause = GetLastError();
        connection.reset();
        return fail(cause);
    }
    if (Register(connection.get(), ioMs) != 0) {
        connection.reset();
        return fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    return connection.release();
}

const agent::MachineIdentity &AgentLogon::Identity()
{
    std::call_once(identityRead_, [this] { agent::ReadMachineIdentity(identity_); });
    return identity_;
}

int AgentLogon::Register(AgentConnection *connection, DWORD ioMsApplied)
{
    ACE_GUARD_RETURN(ACE_Thread_Mutex, guard, lock, -1);
    try {
        live_.push_back(connection);
    } catch (const std::bad_alloc &) {
        return -1;
    }
    // SetTimeouts may have run while this connection was being made.
    const DWORD ioMs = ioMs_.load();
    if (ioMs != ioMsApplied)
        connection->SetIoTimeout(ioMs);
    return 0;
}

void AgentLogon::Destroy(AgentConnection *connection)
{
    {
        ACE_Guard<ACE_Thread_Mutex> guard(lock);
        const auto it = std::find(live_.begin(), live_.end(), connection);
        if (it != live_.end())
            live_.erase(it);
    }
    delete connection;
}

int AgentLogon::ReleaseConnection(AgentConnection *connection)
{
    if (connection == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    // Pooling another logon's connection would send this logon's calls to
    // that agent under that session.
    if (!Owns(connection)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return -1;
    }
    if (connection->state == agent::Ready) {
        connection->ShrinkReceiveBuffer();
        ACE_Guard<ACE_Thread_Mutex> guard(lock);
        if (guard.locked() && count < capacity) {
            idle[count++] = connection;
            return 0;
        }
    }
    Destroy(connection);
    return 0;
}

void AgentLogon::DrainPool()
{
    AgentConnection *draining[kCapacity];
    int n = 0;
    {
        ACE_Guard<ACE_Thread_Mutex> guard(lock);
        while (count > 0) {
            AgentConnection *connection = idle[--count];
            idle[count] = nullptr;
            if (connection != nullptr)
                draining[n++] = connection;
        }
    }
    // The connections are being closed anyway: a silent agent may delay
    // that by one wait in all, not by one wait per connection.
    const DWORD ioMs = ioMs_.load();
    const DWORD waitMs = ioMs != 0 ? ioMs : kLogoffWaitMs;
    ACE_Time_Value wait;
    wait.set_msec(static_cast<ACE_UINT64>(waitMs));
    const ACE_Time_Value deadline = ACE_OS::gettimeofday() + wait;
    for (int i = 0; i < n; ++i)
        if (draining[i]->SetIoTimeout(waitMs) != 0 || SendLogout(*draining[i]) != 0)
            draining[i]->Break();
    for (int i = 0; i < n; ++i) {
        if (draining[i]->state == agent::Ready) {
            const ACE_Time_Value left = deadline - ACE_OS::gettimeofday();
            const ACE_UINT64 leftMs = left > ACE_Time_Value::zero ? left.get_msec() : 0;
            // Whatever time is left, each reply gets at least a moment.
            draining[i]->SetIoTimeout(leftMs > 1 ? static_cast<DWORD>(leftMs) : 1);
            ReceiveLogout(*draining[i]);
        }
        Destroy(draining[i]);
    }
}

void AgentLogon::SetTimeouts(DWORD connectMs, DWORD ioMs)
{
    ACE_Guard<ACE_Thread_Mutex> guard(lock);
    connectMs_.store(connectMs);
    ioMs_.store(ioMs);
    // Setting a socket option while another thread uses the socket is
    // safe; its next send or receive sees the new limit.
    for (AgentConnection *connection : live_)
        connection->SetIoTimeout(ioMs);
}

void AgentLogon::SetDefaultTimeouts(DWORD connectMs, DWORD ioMs)
{
    // Each value on its own: a logon made meanwhile may pair a new one with
    // an old one, which is as good as being made a moment earlier or later.
    defaultConnectMs_.store(connectMs, std::memory_order_relaxed);
    defaultIoMs_.store(ioMs, std::memory_order_relaxed);
}

int AgentLogon::IdleCount()
{
    ACE_Guard<ACE_Thread_Mutex> guard(lock);
    return count;
}

namespace agent {

ConnectionHolder::ConnectionHolder(AgentLogon *logon)
    : logon_(logon), connection_(nullptr), outOfMemoryMark_(OutOfMemoryEvents())
{
    DWORD error = 0;
    connection_ = logon_->AcquireConnection(0, &error);
    if (error != 0)
        SetLastError(error);
}

void ConnectionHolder::Release()
{
    if (connection_ == nullptr)
        return;
    // The first std::uncaught_exceptions() of a thread sets up the
    // runtime's thread-local state, which on Windows clears the last error.
    const KeptLastError cause;
    // An exception that unwinds an exchange may have left it half done.
    GiveBack(std::uncaught_exceptions() > 0);
}

void ConnectionHolder::ReleaseAfterReturn()
{
    if (connection_ != nullptr)
        GiveBack(false);
}

void ConnectionHolder::GiveBack(bool unwinding)
{
    // After an allocation failure, whatever the call left on the
    // connection is not trusted either.
    if (unwinding || OutOfMemoryEvents() != outOfMemoryMark_)
        connection_->Break();
    const KeptLastError cause;
    if (logon_ != nullptr)
        logon_->ReleaseConnection(connection_);
    else
        delete connection_;
    connection_ = nullptr;
}

} // namespace agent
