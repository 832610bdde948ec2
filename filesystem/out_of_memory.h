// Allocation failures that a call reports through a return code rather
// than an exception: each one is counted on its thread, so that whatever
// holds a connection across the call can tell that the call ran out of
// memory and destroy the connection instead of pooling it.
#ifndef AGENT_OUT_OF_MEMORY_H
#define AGENT_OUT_OF_MEMORY_H

#include "platform/platform.h"

namespace agent {

// Constant-initialised, so reading it costs no initialisation check.
inline thread_local unsigned outOfMemoryEvents = 0;

// Makes ERROR_NOT_ENOUGH_MEMORY the thread's last error and counts the event.
inline void NoteOutOfMemory()
{
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    ++outOfMemoryEvents;
}

// The number of events on this thread so far; only changes matter.
inline unsigned OutOfMemoryEvents() { return outOfMemoryEvents; }

} // namespace agent

#endif
