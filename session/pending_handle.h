// Opening search and drive handles on a pooled connection; the
// connection behind a handle.
#ifndef AGENT_PENDING_HANDLE_H
#define AGENT_PENDING_HANDLE_H

#include "session/export_frame.h"

namespace agent {

// A search or drive step's result (0 a record, 1 the end, -1 a failure)
// as an export's: true for a record; otherwise the cause is recorded, 18
// at the end.
inline bool StreamStepSucceeded(int result)
{
    if (result == 0)
        return true;
    if (result == 1)
        SetLastError(ERROR_NO_MORE_FILES);
    RecordLastAgentError();
    return false;
}

// Opens a search or drive enumeration with `first(connection)` on a pooled
// connection: the connection as the handle, or null with the cause recorded.
template <typename First>
HANDLE OpenStreamHandle(AgentLogon *logon, First &&first)
{
    AgentConnection *connection = AcquireForExport(logon, Record::Failures);
    if (connection == nullptr)
        return nullptr;
    // Given back unless it becomes the handle, also when an exception unwinds.
    ConnectionHolder handle(logon, connection);
    return StreamStepSucceeded(first(*handle)) ? handle.Detach() : nullptr;
}

// The connection behind a search, drive or file handle.
inline AgentConnection *ConnectionOf(HANDLE handle) { return static_cast<AgentConnection *>(handle); }

} // namespace agent

#endif
