// The parts of AgentCopyFileFromAgentExW: the partial file and its restart
// record (copy_file_ex_partial.cpp), the chunk transfer
// (copy_file_ex_transfer.cpp) and the copy itself (copy_file_ex.cpp).
#ifndef AGENT_COPY_FILE_EX_H
#define AGENT_COPY_FILE_EX_H

#include "session/agent_logon.h"
#include "platform/platform.h"

#include <cstdint>
#include <string>

namespace agent {
namespace copy_ex {

// Large enough that one exchange's fixed cost vanishes beside its data,
// small enough that a cancel or a stop waits for little.
constexpr DWORD kChunkSize = 1u << 20;
// Reads in flight at once, each on a connection (and handle) of its own.
constexpr unsigned kConnections = 4;

// The remote file as it was when the copy started.
struct RemoteVersion {
    uint64_t size = 0;
    FILETIME lastWrite = {0, 0};
};

using WideText = std::basic_string<WCHAR>;

// "<localPath>.agent-partial": the name the data go to until complete.
WideText PartialName(const WCHAR *localPath);

// The restart record is the last kRecordSize bytes of a partial file kept
// for a restart: the bytes before it are the remote file's first `held`
// bytes, and it names the remote version they came from.
constexpr uint32_t kRecordSize = 32;
// The bytes of `version` an open partial file holds: its record's count
// when the record is whole and names that version, else 0 (start over).
// -1 only when the file cannot be read.
int ReadRestartRecord(HANDLE partial, const RemoteVersion &version, uint64_t *held);
// Cuts the partial file to `held` bytes and appends the record.
int WriteRestartRecord(HANDLE partial, const RemoteVersion &version, uint64_t held);

// How a transfer ended.
enum class Ending { Complete, Failed, Stopped, Cancelled };

struct TransferPlan {
    AgentLogon *logon = nullptr;
    const WCHAR *remotePath = nullptr; // opened again for the further connections
    HANDLE remote = nullptr;           // open, used by the calling thread
    HANDLE local = nullptr;            // the partial file
    uint64_t start = 0;                // bytes the partial file already holds
    uint64_t size = 0;                 // the remote size the copy must reach
    AgentCopyProgressRoutine progress = nullptr;
    void *context = nullptr;
    BOOL *cancel = nullptr;
    bool quiet = false;                // progress said PROGRESS_QUIET
};

struct TransferOutcome {
    Ending ending = Ending::Complete;
    DWORD cause = 0;   // the first failure; ERROR_REQUEST_ABORTED for a stop or cancel
    uint64_t held = 0; // the partial file holds the bytes [0, held) for certain
};

// Moves the bytes [start, size) of the open remote file into the partial
// file at their offsets, asking each chunk from whichever connection is
// free. The last read asks for one byte more than the size, so a file that
// grew shows without an extra exchange; any other count than the one due
// is ERROR_FILE_INVALID. Progress and *cancel are handled on the calling
// thread; plan.quiet turns true once the host asked for quiet.
TransferOutcome Transfer(TransferPlan &plan);

constexpr DWORD kKnownFlags = COPY_FILE_FAIL_IF_EXISTS | COPY_FILE_RESTARTABLE;

struct CopyRequest {
    AgentLogon *logon;
    const WCHAR *remotePath;
    const WCHAR *localPath;
    AgentCopyProgressRoutine progress;
    void *context;
    BOOL *cancel;
    DWORD flags;
    // The size and last-write time a listing gave: no information exchange.
    const RemoteVersion *known = nullptr;

    bool failIfExists() const { return (flags & COPY_FILE_FAIL_IF_EXISTS) != 0; }
    bool restartable() const { return (flags & COPY_FILE_RESTARTABLE) != 0; }
    bool cancelled() const { return cancel != nullptr && *static_cast<volatile BOOL *>(cancel) != 0; }
};

// The whole copy. 1, or 0 with the cause in the thread's last error and
// recorded as the last agent error.
BOOL CopyFile(const CopyRequest &request);

} // namespace copy_ex
} // namespace agent

#endif
