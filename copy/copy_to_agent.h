// The parts of AgentCopyFileToAgentExW: the remote partial and aside names
// and the restart record (copy_to_agent_partial.cpp), the chunk transfer
// (copy_to_agent_transfer.cpp), a small file in one round trip
// (copy_to_agent_at_once.cpp) and the copy itself (copy_to_agent.cpp).
#ifndef AGENT_COPY_TO_AGENT_H
#define AGENT_COPY_TO_AGENT_H

#include "copy/chunk_engine.h"
#include "copy/restart_record.h"
#include "session/agent_logon.h"
#include "platform/platform.h"

#include <cstdint>
#include <string>

namespace agent {
namespace copy_to {

using chunks::kChunkSize;
using chunks::kConnections;
// A connection takes this many consecutive chunks at a time, so that one
// pointer move serves them all (a write goes where the agent's pointer is).
constexpr uint64_t kRunChunks = 8;

// The local file as it was when the copy started.
using LocalVersion = FileVersion;

using WideText = std::basic_string<WCHAR>;

// The names beside the remote target: "<name>~<hash>.agent-put" holds the
// data until complete, "<name>~<hash>.agent-old" holds a replaced file
// until the new one has its name. The hash is of the whole target name, so
// no target's own name can be another target's partial or aside name
// unless it was made by this function; the name is cut so that the result
// stays within 255 units per name (and 259 per path when the target's path
// was within it, without a \\?\ prefix).
WideText PartialName(const WCHAR *remotePath);
WideText AsideName(const WCHAR *remotePath);

// The restart record is the last kRecordSize bytes of a partial file kept
// for a restart: its bytes [0, held) are the local file's first `held`
// bytes, and it names the local version they came from. The agent's file
// cannot be cut, so the record overwrites bytes past `held` and a partial
// file never grows past the local size.
using restart::kRecordSize;
// The bytes of `version` the open remote partial file holds: its record's
// count when the record is whole and names that version, else 0. -1 when
// the file cannot be read (the cause in the last error). *length gets the
// file's length.
int ReadRestartRecord(HANDLE partial, const LocalVersion &version, uint64_t *held, uint64_t *length);
// Writes the record for `held` bytes into a partial file of `length` bytes.
// 0, or -1 (the last error set) also when the local size leaves no room.
int WriteRestartRecord(HANDLE partial, const LocalVersion &version, uint64_t held, uint64_t length);

// Writes `size` bytes at `offset` through the remote handle whose file
// pointer is known to be at *position (UINT64_MAX: unknown), moving it
// first when it is elsewhere. 0, or -1 with the cause in the last error:
// 13 for a pointer the agent put elsewhere, 29 for a short write.
int WriteRemoteAt(HANDLE remote, uint64_t *position, const void *data, DWORD size, uint64_t offset);

using chunks::Ending;
using TransferPlan = chunks::Plan;
using TransferOutcome = chunks::Outcome;

// Moves the local bytes [start, size) into the remote partial file
// `partialPath` at their offsets, each connection taking runs of chunks
// from a shared counter. A local file that ends early is
// ERROR_FILE_INVALID. Progress and *cancel are handled on the calling
// thread; plan.quiet turns true once the host asked for quiet.
TransferOutcome Transfer(TransferPlan &plan, const WCHAR *partialPath);

struct CopyRequest : chunks::CopyCall {
    const WCHAR *localPath;
    const WCHAR *remotePath;
    // The local version the caller means to put (its listing), or null:
    // whatever the file holds when it is opened. Another one is 1006.
    const LocalVersion *expected = nullptr;
    // The caller saw nothing at the target or beside it: no looks before
    // the copy, only if the move finds the name taken.
    bool targetAbsent = false;
    // Given, a file that one write holds goes into its partial file in one
    // round trip (FillPartialAtOnce), without a restart: there is nothing
    // in it worth continuing; the round trips such a copy took are written
    // here. Not under a bandwidth limit, which paces writes.
    unsigned *roundTrips = nullptr;
};

// Fills the partial file `partialPath` with `size` bytes (one write's
// worth) and gives it `lastWrite` (zero: none) in one round trip: its
// create (emptying what an earlier copy left), the write, the time, the
// close and the size check go out back to back on one pooled connection,
// and the answers are read in turn. 0 when the agent holds those bytes
// under that name, closed; else the first cause, with `created` false
// when the agent certainly did not make the file (the caller removes it
// otherwise).
DWORD FillPartialAtOnce(AgentLogon *logon, const WCHAR *partialPath, const unsigned char *data, DWORD size,
                        const FILETIME &lastWrite, bool &created);

// The exchanges of a new file up to one chunk: two looks (the target and
// its aside name), the partial file's create, its one write, time and
// close, the size check and the move into place. An empty file has no
// write; a replace moves the old file aside and removes it (two more).
constexpr unsigned kSmallPutExchanges = 8;
constexpr unsigned kLookExchanges = 2;
// The same at once: the looks, the burst and the move.
constexpr unsigned kAtOnceRoundTrips = 4;

// The whole copy. 1, or 0 with the cause in the thread's last error.
BOOL CopyToAgent(const CopyRequest &request);

} // namespace copy_to
} // namespace agent

#endif
