// The chunk engine behind both copy directions. The bytes [start, size) are
// cut into chunks; the calling thread moves chunks on the handle the copy
// opened, and up to plan.connections - 1 helper threads open the remote file
// again, each on a connection of its own, and take chunks from the same
// counter. Only the calling thread calls the host's progress routine and
// looks at *cancel: after each of its own chunks, while it waits for the
// bandwidth limit and while it waits for the helpers.
//
// What one chunk is (a read from the agent into the partial file, or a read
// from the local file written onto the agent) is the direction's Mover.
#ifndef AGENT_COPY_CHUNK_ENGINE_H
#define AGENT_COPY_CHUNK_ENGINE_H

#include "util/cancel_flag.h"
#include "session/agent_logon.h"
#include "platform/platform.h"

#include <cstdint>

namespace agent {
namespace chunks {

// Large enough that one exchange's fixed cost vanishes beside its data,
// small enough that a cancel or a stop waits for little.
constexpr DWORD kChunkSize = 1u << 20;
// Chunks in flight at once, each on a connection (and handle) of its own.
constexpr unsigned kConnections = 4;
// The same for a large file within a many-file copy: the other files keep
// the agent busy, and each further megabyte in flight only waits on the
// link in front of their small exchanges.
constexpr unsigned kConnectionsBesideOthers = 2;

// How a transfer ended.
enum class Ending { Complete, Failed, Stopped, Cancelled };

// One chunk as a Mover sees it.
struct Chunk {
    HANDLE remote;          // this thread's handle
    unsigned char *buffer;  // this thread's, Plan::bufferSize bytes
    uint64_t offset;
    DWORD length;
    bool last;              // the transfer's last chunk
    uint64_t position;      // where the handle's file pointer is (UINT64_MAX: unknown), the Mover's to keep
};

// What one chunk does, on any thread. Each step is true, or false with the
// cause in the thread's last error; the logon's bandwidth limit is taken
// between the two.
class Mover {
public:
    virtual bool Prepare(Chunk &) { return true; }
    virtual bool Move(Chunk &chunk) = 0;

protected:
    ~Mover() = default;
};

// What the host hands any one copy, whichever way it goes.
struct CopyCall {
    AgentLogon *logon;
    AgentCopyProgressRoutine progress;
    void *context;
    BOOL *cancel;
    DWORD flags; // COPY_FILE_FAIL_IF_EXISTS, COPY_FILE_RESTARTABLE, AGENT_COPY_FILE_NO_FLUSH
    unsigned connections = kConnections; // at most, for this copy's chunks

    bool failIfExists() const { return (flags & COPY_FILE_FAIL_IF_EXISTS) != 0; }
    bool restartable() const { return (flags & COPY_FILE_RESTARTABLE) != 0; }
    bool cancelled() const { return CancelRaised(cancel); }
};

struct Plan {
    explicit Plan(const CopyCall &call)
        : logon(call.logon), progress(call.progress), context(call.context), cancel(call.cancel),
          connections(call.connections)
    {
    }

    AgentLogon *logon = nullptr;
    HANDLE remote = nullptr; // open, used by the calling thread
    uint64_t remotePosition = UINT64_MAX; // its file pointer, when known
    HANDLE local = nullptr;  // the local file (the partial file, or the source)
    uint64_t start = 0;      // bytes already in place
    uint64_t size = 0;       // the size the copy must reach
    AgentCopyProgressRoutine progress = nullptr;
    void *context = nullptr;
    BOOL *cancel = nullptr;
    unsigned connections = kConnections;
    bool quiet = false;      // progress said PROGRESS_QUIET

    // The direction's shape.
    DWORD bufferSize = kChunkSize;
    uint64_t runChunks = 1;       // consecutive chunks a thread takes at a time
    bool emptyIsOneChunk = false; // an empty range still moves one (empty) chunk
    bool closeChecked = false;    // a helper's failed close fails the copy
    // How the helpers open the remote file again.
    const WCHAR *reopenPath = nullptr;
    DWORD reopenAccess = 0;
    DWORD reopenShare = 0;
    DWORD reopenAttributes = 0;
};

struct Outcome {
    Ending ending = Ending::Complete;
    DWORD cause = 0;   // the first failure; ERROR_REQUEST_ABORTED for a stop or cancel
    uint64_t held = 0; // the bytes [0, held) are in place for certain
};

// Moves the chunks; plan.quiet turns true once the host asked for quiet.
Outcome Run(Plan &plan, Mover &mover);

// After a complete transfer: the progress call for the whole size (unless
// quiet) and a last look at *cancel. Complete, or Stopped / Cancelled.
Ending ConfirmEnd(const Plan &plan);

} // namespace chunks
} // namespace agent

#endif
