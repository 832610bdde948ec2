// Per-thread fault points: a test fails the Nth send, receive or
// allocation of its own thread and nothing else.
#include "test_seams.h"

#include <atomic>

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
// Threads counting now: every send and receive passes a fault point, and
// this keeps the thread-local lookup off their path while none is armed.
std::atomic<int> countingThreads{0};

} // namespace

void StartFaults(Fault kind, unsigned failAt)
{
    state.kind = kind;
    state.failAt = failAt;
    state.events[0] = state.events[1] = state.events[2] = 0;
    if (!state.counting)
        countingThreads.fetch_add(1);
    state.counting = true;
}

unsigned FaultEvents(Fault kind) { return state.events[static_cast<int>(kind)]; }

void StopFaults()
{
    if (state.counting)
        countingThreads.fetch_sub(1);
    state.counting = false;
}

bool FaultHit(Fault kind)
{
    if (countingThreads.load(std::memory_order_relaxed) == 0 || !state.counting)
        return false;
    const unsigned n = ++state.events[static_cast<int>(kind)];
    return kind == state.kind && n == state.failAt;
}

} // namespace platform
} // namespace agent
