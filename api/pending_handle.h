// A connection taken from the pool by an export that returns it as a handle
// on success. Until it is handed out, the holder gives it back (pooled while
// Ready, destroyed otherwise), also when an exception unwinds the export.
#ifndef AGENT_PENDING_HANDLE_H
#define AGENT_PENDING_HANDLE_H

#include "logon/agent_logon.h"

namespace agent {

class PendingHandle {
public:
    PendingHandle(AgentLogon *logon, AgentConnection *connection) : logon_(logon), connection_(connection) {}
    ~PendingHandle()
    {
        if (connection_ != nullptr)
            logon_->ReleaseConnection(connection_);
    }
    PendingHandle(const PendingHandle &) = delete;
    PendingHandle &operator=(const PendingHandle &) = delete;

    AgentConnection &operator*() const { return *connection_; }
    // The connection becomes the caller's handle and leaves the holder.
    HANDLE Detach()
    {
        AgentConnection *connection = connection_;
        connection_ = nullptr;
        return connection;
    }

private:
    AgentLogon *logon_;
    AgentConnection *connection_;
};

// The connection behind a search, drive or file handle.
inline AgentConnection *ConnectionOf(HANDLE handle) { return static_cast<AgentConnection *>(handle); }

} // namespace agent

#endif
