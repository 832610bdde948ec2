// Allocation failures that a call reports through a return code rather
// than an exception: each one is counted, so that whatever holds a
// connection across the call can tell that memory ran out meanwhile and
// destroy the connection instead of pooling it.
#ifndef AGENT_OUT_OF_MEMORY_H
#define AGENT_OUT_OF_MEMORY_H

#include "platform/platform.h"

#include <atomic>

namespace agent {

// One count for the process, not one per thread: reading it is a plain
// load on every call's path, where a thread-local would cost a lookup. A
// holder that sees another thread's failure destroys a sound connection,
// which costs a reconnect and is never wrong; its own thread's failures it
// always sees.
inline std::atomic<unsigned> outOfMemoryEvents{0};

// Makes ERROR_NOT_ENOUGH_MEMORY the thread's last error and counts the event.
inline void NoteOutOfMemory()
{
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    outOfMemoryEvents.fetch_add(1, std::memory_order_relaxed);
}

// The number of events so far; only changes matter.
inline unsigned OutOfMemoryEvents() { return outOfMemoryEvents.load(std::memory_order_relaxed); }

} // namespace agent

#endif
