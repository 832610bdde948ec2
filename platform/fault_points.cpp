// Per-thread fault points: a test fails the Nth send, receive or
// allocation of its own thread and nothing else.
#include "platform/test_seams.h"

namespace agent {
namespace platform {
namespace {

struct FaultState {
    bool counting = false;
    Fault kind = Fault::Send;
    unsigned failAt = 0;
    unsigned events[3] = {};
};

// Trivially constructed, so it is safe to touch from inside operator new.
thread_local FaultState state;

} // namespace

void StartFaults(Fault kind, unsigned failAt)
{
    state.kind = kind;
    state.failAt = failAt;
    state.events[0] = state.events[1] = state.events[2] = 0;
    state.counting = true;
}

unsigned FaultEvents(Fault kind) { return state.events[static_cast<int>(kind)]; }

void StopFaults() { state.counting = false; }

bool FaultHit(Fault kind)
{
    if (!state.counting)
        return false;
    const unsigned n = ++state.events[static_cast<int>(kind)];
    return kind == state.kind && n == state.failAt;
}

} // namespace platform
} // namespace agent
