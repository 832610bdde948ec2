#include "logon/agent_logon.h"

#include "filesystem/wide_string.h"

#include <ace/Guard_T.h>
#include <ace/OS_Memory.h>

#include <cerrno>
#include <new>

using agent::AgentConnection;

AgentLogon::~AgentLogon()
{
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
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return -1;
    }
    // A name that does not resolve shows up as the connect failure below.
    base.set(static_cast<u_short>(port & 0xFFFF), host, 1, AF_UNSPEC);
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
    {
        ACE_GUARD_RETURN(ACE_Thread_Mutex, guard, lock, nullptr);
        if (count > 0) {
            AgentConnection *connection = idle[--count];
            idle[count] = nullptr;
            return connection;
        }
    }
    auto *connection = new (std::nothrow) AgentConnection();
    if (connection == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    if (connection->Connect(base) != 0 || connection->Logon(userName, password, initialLogon) != 0) {
        if (error != nullptr) {
            *error = GetLastError();
            SetLastError(*error);
        }
        delete connection;
        return nullptr;
    }
    return connection;
}

int AgentLogon::ReleaseConnection(AgentConnection *connection)
{
    if (connection == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    if (connection->state == agent::Ready) {
        ACE_Guard<ACE_Thread_Mutex> guard(lock);
        if (guard.locked() && count < capacity) {
            idle[count++] = connection;
            return 0;
        }
    }
    delete connection;
    return 0;
}

void AgentLogon::DrainPool()
{
    while (count > 0) {
        AgentConnection *connection = idle[--count];
        idle[count] = nullptr;
        if (connection != nullptr) {
            connection->Logout();
            delete connection;
        }
    }
}

int AgentLogon::IdleCount()
{
    ACE_Guard<ACE_Thread_Mutex> guard(lock);
    return count;
}

namespace agent {

ConnectionHolder::ConnectionHolder(AgentLogon *logon) : logon_(logon), connection_(nullptr)
{
    DWORD error = 0;
    connection_ = logon_->AcquireConnection(0, &error);
    if (error != 0)
        SetLastError(error);
}

void ConnectionHolder::Release()
{
    if (connection_ != nullptr)
        logon_->ReleaseConnection(connection_);
    connection_ = nullptr;
}

} // namespace agent
