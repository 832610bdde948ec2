// The frame shared by the exports: take a connection, run the exchange,
// give it back; and, last of all, the cause of a failure in the thread's
// last error and in LastAgentError.
#ifndef AGENT_EXPORT_FRAME_H
#define AGENT_EXPORT_FRAME_H

#include "session/agent_logon.h"
#include "session/last_agent_error.h"

#include <new>

namespace agent {

// Which results an export copies into LastAgentError: its failures, every
// result (a path list, whose every end is a cause), or none.
enum class Record { Failures, Always, Never };

// Runs `exchange(AgentConnection&) -> int (0 / -1)` on a pooled connection
// and gives the connection back (pooled while Ready, destroyed otherwise).
// The logon must already have been checked. Returns the exchange's result,
// or -1 when no connection could be had.
template <typename Exchange>
int RunOnPooledConnection(AgentLogon *logon, Exchange &&exchange)
{
    ConnectionHolder connection(logon);
    if (connection.get() == nullptr)
        return -1;
    const int result = exchange(*connection);
    connection.ReleaseAfterReturn();
    return result;
}

// The same for an exchange that returns its cause (0 or a Win32 code) on a
// logged-on connection: the acquire's cause when none could be had, 12
// for one that is not Ready.
template <typename Exchange>
DWORD CauseOnPooledConnection(AgentLogon *logon, Exchange &&exchange)
{
    ConnectionHolder connection(logon);
    if (connection.get() == nullptr)
        return GetLastError() != 0 ? GetLastError() : static_cast<DWORD>(ERROR_INVALID_DATA);
    if (connection.get()->state != Ready)
        return ERROR_INVALID_ACCESS;
    const DWORD cause = exchange(*connection);
    connection.ReleaseAfterReturn();
    return cause;
}

// The frame of every export: runs `body() -> Result`, keeps C++ exceptions
// (allocation failures inside ACE or the standard library) from crossing
// the C interface, and ends the call in one place. The cause is read once
// the body and all its cleanup are done (the holders keep the last error
// across theirs), copied into LastAgentError when `failed(result)` says so
// (or always, or never, as `record` says), and set as the thread's last
// error after everything else: on Windows a successful socket, lock or
// runtime call on the way out resets it.
template <typename Result, typename Failed, typename Body>
Result GuardedWhen(Result failure, Failed &&failed, Body &&body, Record record) noexcept
{
    Result result = failure;
    bool threw = true;
    try {
        result = body();
        threw = false;
    } catch (const std::bad_alloc &) {
        NoteOutOfMemory();
    } catch (...) {
        SetLastError(ERROR_INTERNAL_ERROR);
    }
    const DWORD cause = GetLastError();
    if (record == Record::Always || (record == Record::Failures && (threw || failed(result))))
        LastAgentError.store(cause, std::memory_order_relaxed);
    SetLastError(cause);
    return result;
}

// The same, for the exports whose failure is the `failure` result itself.
template <typename Result, typename Body>
Result Guarded(Result failure, Body &&body, Record record = Record::Failures) noexcept
{
    return GuardedWhen(failure, [failure](const Result &result) { return result == failure; }, body, record);
}

} // namespace agent

#endif
