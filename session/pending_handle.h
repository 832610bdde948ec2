// Opening search and drive handles on a pooled connection; the
// connection behind a handle.
#ifndef AGENT_PENDING_HANDLE_H
#define AGENT_PENDING_HANDLE_H

#include "session/export_frame.h"
#include "session/handle_table.h"

namespace agent {

// A search or drive step's result (0 a record, 1 the end, -1 a failure)
// as an export's: true for a record; otherwise false, with 18 as the cause
// at the end.
inline bool StreamStepSucceeded(int result)
{
    if (result == 0)
        return true;
    if (result == 1)
        SetLastError(ERROR_NO_MORE_FILES);
    return false;
}

// Enters the held connection as a handle of `kind`; the holder keeps it
// (and gives it back) when no handle can be made.
inline HANDLE MakeHandle(ConnectionHolder &held, HandleKind kind, AgentLogon *logon)
{
    HANDLE handle = EnterHandle(held.get(), kind, logon);
    if (handle != nullptr)
        held.Detach();
    return handle;
}

// Opens a search or drive enumeration with `first(connection)` on a pooled
// connection: the connection as a handle of `kind`, or null with the cause
// in the thread's last error.
template <typename First>
HANDLE OpenStreamHandle(AgentLogon *logon, HandleKind kind, First &&first)
{
    // Given back unless it becomes the handle, also when an exception unwinds.
    ConnectionHolder held(logon);
    if (held.get() == nullptr)
        return nullptr;
    if (!StreamStepSucceeded(first(*held)))
        return nullptr;
    return MakeHandle(held, kind, logon);
}

// A step of the search or drive enumeration behind `handle`.
template <typename Next>
BOOL StepStreamHandle(HANDLE handle, HandleKind kind, Next &&next)
{
    HandleUse use(handle, kind);
    if (use.connection() == nullptr)
        return 0;
    return StreamStepSucceeded(next(*use.connection())) ? 1 : 0;
}

} // namespace agent

#endif
