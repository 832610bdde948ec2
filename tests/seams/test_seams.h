// What test programs steer from outside the library: their own adapter
// list (so nothing is ever sent to a real interface) and fault points that
// fail a chosen send, receive or allocation of the calling thread; and
// what they read of it: how many connections a logon keeps idle. The
// objects behind them are linked into test programs only (tests/seams/),
// never into the shipped library.
#ifndef AGENT_TESTS_TEST_SEAMS_H
#define AGENT_TESTS_TEST_SEAMS_H

#include "platform/platform.h"

namespace agent {
namespace platform {

// ---- Adapter list ----------------------------------------------------

using TestAdapter = AdapterRecord;
// Replaces the library's adapter list in test programs. A null list
// restores the system's; an empty non-null list means "no adapters".
void SetAdapterListForTesting(const TestAdapter *adapters, size_t count);

// ---- Fault points ----------------------------------------------------

// Send: a sendmsg (POSIX) or SendGathered (Windows) of the calling
// thread. Receive: a recv that is not a peek (POSIX) or ReceiveSome
// (Windows). Allocation: whatever allocator the test routes through
// FaultHit (a replaced operator new, say).
enum class Fault { Send = 0, Receive = 1, Allocation = 2 };

// Starts counting the events of every kind on the calling thread, from 0;
// the `failAt`-th event (1-based) of `kind` fails, 0 fails none. Other
// threads are never affected.
void StartFaults(Fault kind, unsigned failAt);
// Events of `kind` counted on this thread since StartFaults.
unsigned FaultEvents(Fault kind);
// Ends counting on this thread.
void StopFaults();
// Counts one event of `kind`; true when it is the one to fail. Cheap when
// nothing is armed.
bool FaultHit(Fault kind);

} // namespace platform

// ---- Pool ------------------------------------------------------------

// The idle connections a logon keeps now (0 for null): read only, the one
// view tests take of the pool, which they fill and empty through the
// exports and the agent.
int IdleConnections(AGENT_LOGON logon);

} // namespace agent

#endif
