// The frame shared by the exports that work through a logon handle:
// take a connection, run the exchange, record a failure, give it back.
#ifndef AGENT_EXPORT_FRAME_H
#define AGENT_EXPORT_FRAME_H

#include "session/agent_logon.h"
#include "session/last_agent_error.h"

#include <new>

namespace agent {

enum class Record { Failures, Never };

// Takes a connection from the pool (or a new one); on failure records the
// cause (unless told not to) and returns null.
inline AgentConnection *AcquireForExport(AgentLogon *logon, Record record)
{
    DWORD error = 0;
    AgentConnection *connection = logon->AcquireConnection(0, &error);
    if (error != 0)
        SetLastError(error);
    if (connection == nullptr && record == Record::Failures)
        RecordLastAgentError();
    return connection;
}

// Runs `exchange(AgentConnection&) -> int (0 / -1)` on a pooled connection
// and gives the connection back (pooled while Ready, destroyed otherwise).
// The logon must already have been checked. Returns the exchange's result,
// or -1 when no connection could be had.
template <typename Exchange>
int RunOnPooledConnection(AgentLogon *logon, Record record, Exchange &&exchange)
{
    ConnectionHolder connection(logon, AcquireForExport(logon, record));
    if (connection.get() == nullptr)
        return -1;
    const int result = exchange(*connection);
    if (result != 0 && record == Record::Failures)
        RecordLastAgentError();
    connection.ReleaseAfterReturn();
    return result;
}

// Keeps C++ exceptions (allocation failures inside ACE or the standard
// library) from crossing the C interface. The failure is recorded like any
// other unless the export never writes LastAgentError.
template <typename Result, typename Body>
Result Guarded(Result failure, Body &&body, Record record = Record::Failures) noexcept
{
    try {
        return body();
    } catch (const std::bad_alloc &) {
        NoteOutOfMemory();
    } catch (...) {
        SetLastError(ERROR_INTERNAL_ERROR);
    }
    if (record == Record::Failures)
        RecordLastAgentError();
    return failure;
}

} // namespace agent

#endif
