// Seams through which tests steer the platform layer: their own adapter
// list (so nothing is ever sent to a real interface) and fault points that
// fail a chosen send, receive or allocation. Included by tests and by the
// platform files that implement the seams, never by the rest of the library.
#ifndef AGENT_PLATFORM_TEST_SEAMS_H
#define AGENT_PLATFORM_TEST_SEAMS_H

#include "platform/platform.h"

namespace agent {
namespace platform {

// ---- Adapter list ----------------------------------------------------

struct TestAdapter {
    const char *description; // contains "Wireless" for a wireless adapter
    unsigned char address[8];
    unsigned addressLength;
    // IpAddressList entries as dotted quads, unused slots null.
    const char *ip[4];
    const char *mask[4];
};
// A null list restores the system's; an empty non-null list means "no adapters".
void SetAdapterListForTesting(const TestAdapter *adapters, size_t count);
// Lays the list out as one IP_ADAPTER_INFO chain with GetAdaptersInfo's
// size contract (ERROR_BUFFER_OVERFLOW with the size needed).
ULONG BuildAdapterChain(const TestAdapter *adapters, size_t count, IP_ADAPTER_INFO *info, ULONG *size);

// ---- Socket options --------------------------------------------------

// The keepalive settings in force on a socket; false where the system
// cannot report them (Winsock sets them write-only).
bool ReadKeepAlive(ACE_HANDLE handle, bool *on, unsigned *idleSeconds, unsigned *intervalSeconds, unsigned *probes);

// ---- Fault points ----------------------------------------------------

// Send: SendGathered. Receive: ReceiveSome. Allocation: whatever allocator
// the test routes through FaultHit (a replaced operator new, say).
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
} // namespace agent

#endif
