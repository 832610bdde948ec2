// The process's live file, search and drive handles. A handle is a slot
// number and that slot's generation, never a pointer: a closed, stale or
// made-up handle is found missing instead of being dereferenced, and a
// slot used again is not mistaken for the handle that held it before.
#ifndef AGENT_HANDLE_TABLE_H
#define AGENT_HANDLE_TABLE_H

#include "transport/agent_connection.h"

namespace agent {

enum class HandleKind : uint8_t { Any = 0, File = 1, Search = 2, Drive = 3 };

// Enters a connection taken from `logon` as a new handle of `kind`. Null
// with ERROR_NOT_ENOUGH_MEMORY when no slot can be had; the connection then
// stays the caller's.
HANDLE EnterHandle(AgentConnection *connection, HandleKind kind, const ::AgentLogon *logon);

// One call's use of a live handle of `kind`. Calls on one handle run one
// at a time: the use holds the handle's lock, so a close waits for a call
// in flight and the next call finds the handle gone.
class HandleUse {
public:
    // connection() is null, with ERROR_INVALID_HANDLE, when `handle` is not
    // a live handle of that kind.
    HandleUse(HANDLE handle, HandleKind kind);
    ~HandleUse();
    HandleUse(const HandleUse &) = delete;
    HandleUse &operator=(const HandleUse &) = delete;

    AgentConnection *connection() const { return connection_; }

private:
    void *slot_ = nullptr;
    AgentConnection *connection_ = nullptr;
};

// Ends a handle opened through `logon`: waits for a call in flight, removes
// the handle and hands its connection to the caller. Null with
// ERROR_INVALID_HANDLE, the handle left as it is, when it is not live or
// belongs to another logon. `orphaned`: its logon has been logged off, so
// the connection has no pool to go back to.
AgentConnection *TakeHandle(HANDLE handle, const ::AgentLogon *logon, bool &orphaned);

// At logoff: the logon's handles stay usable and closable (with the same
// logon value), and their connections are destroyed when they are closed.
void OrphanHandles(const ::AgentLogon *logon);

} // namespace agent

#endif
