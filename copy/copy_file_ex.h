// The fast copy behind AgentCopyFileFromAgentExW, in steps a caller that
// copies many files can run per file:
//
//   1. OpenRemote       open the remote file; learn its size and last-write
//                       time unless the caller knows them (from a listing)
//   2. PartialFile::Open create (or, restartable, reopen) the partial file
//                       in a folder the caller holds open
//   3. Transfer         the chunks, on up to kConnections connections
//   4. ConfirmEnd       the last progress call and a last look at *cancel
//   5. PartialFile::Finish / Abandon
//                       time, flush, rename over the final name, flush the
//                       folder; or keep the partial file for a restart, or
//                       remove it
//
// CopyInto runs them for one file into an open folder; CopyFile for one
// local path. The parts live in copy_file_ex_partial.cpp (partial file and
// restart record), copy_file_ex_transfer.cpp (chunks),
// copy_file_ex_at_once.cpp (a small listed file in one round trip) and
// copy_file_ex.cpp.
#ifndef AGENT_COPY_FILE_EX_H
#define AGENT_COPY_FILE_EX_H

#include "copy/chunk_engine.h"
#include "copy/restart_record.h"
#include "session/agent_logon.h"
#include "platform/platform.h"

#include <cstdint>
#include <string>

namespace agent {
namespace copy_ex {

using chunks::kChunkSize;
using chunks::kConnections;

constexpr DWORD kKnownFlags = COPY_FILE_FAIL_IF_EXISTS | COPY_FILE_RESTARTABLE | AGENT_COPY_FILE_NO_FLUSH;

// The remote file as it was when the copy started.
using RemoteVersion = FileVersion;

using WideText = std::basic_string<WCHAR>;

// ---- step 1

// Opens remotePath for reading. With `known` (size and last-write time a
// listing gave) no further exchange is made and *version is a copy of it;
// the transfer's last read proves the size. Otherwise the agent is asked.
// The handle, or null with the cause in the thread's last error and
// recorded as the last agent error.
HANDLE OpenRemote(AgentLogon *logon, const WCHAR *remotePath, const RemoteVersion *known, RemoteVersion *version);

// ---- steps 2 and 5: the partial file

// The name a copy into `finalName` writes until it is complete, in the same
// folder. Hidden (a leading dot); on POSIX it holds a ':', which no Windows
// file name has, so no remote name can ever land on it. A final name too
// long for the prefix is cut (never inside a character) and ends in a hash
// of the whole name, so the partial name stays within kMaxLocalNameUnits
// and the same final name always gives the same partial name.
WideText PartialName(const WCHAR *finalName);

// The restart record is the last kRecordSize bytes of a partial file kept
// for a restart: the bytes before it are the remote file's first `held`
// bytes, and it names the remote version they came from.
using restart::kRecordSize;
// The bytes of `version` an open partial file holds: its record's count
// when the record is whole and names that version, else 0 (start over).
// -1 only when the file cannot be read.
int ReadRestartRecord(HANDLE partial, const RemoteVersion &version, uint64_t *held);
// Cuts the partial file to `held` bytes and appends the record.
int WriteRestartRecord(HANDLE partial, const RemoteVersion &version, uint64_t held);

using chunks::Ending;

// The partial file of one copy into `finalName` (a plain name) in an open
// folder, which must outlive it. Nothing ever opens the final name: it is
// only renamed onto, which replaces whatever stood there (a link too).
// An object that is neither finished nor abandoned removes its file.
class PartialFile {
public:
    // flags: COPY_FILE_FAIL_IF_EXISTS, COPY_FILE_RESTARTABLE,
    // AGENT_COPY_FILE_NO_FLUSH.
    PartialFile(const platform::LocalFolder &folder, const WCHAR *finalName, DWORD flags);
    ~PartialFile();
    PartialFile(const PartialFile &) = delete;
    PartialFile &operator=(const PartialFile &) = delete;

    // Creates the partial file, removing what stood at its name. A
    // restartable copy first reopens one an earlier copy left (only a
    // regular file with one link that is ours) and keeps the bytes its
    // record holds of `version`. 0, or -1 with the cause in the thread's
    // last error (206 for a final name over kMaxLocalNameUnits).
    int Open(const RemoteVersion &version);
    HANDLE handle() const;
    uint64_t held() const { return held_; } // bytes already there after Open

    // For a complete copy: sets the remote last-write time (unless zero),
    // forces the data to the disk, renames the partial file over the final
    // name (not over an existing one with COPY_FILE_FAIL_IF_EXISTS: 80)
    // and forces the folder's entry to the disk. 0, or -1 with the cause in
    // the thread's last error; the partial file is then gone and the final
    // name as it was. With AGENT_COPY_FILE_NO_FLUSH nothing is forced.
    //
    // FolderFlush::ByCaller leaves the folder's flush to a caller that
    // copies many files into one folder: one platform::FlushLocalFolder
    // after the batch makes all its names durable, instead of one flush per
    // file. The file itself is still forced before its rename, so a final
    // name never holds missing bytes either way.
    enum class FolderFlush { Now, ByCaller };
    int Finish(const RemoteVersion &version, FolderFlush folderFlush = FolderFlush::Now);
    // For an incomplete copy: a stopped one, or a failed restartable one,
    // keeps the file cut to `held` bytes with its restart record; anything
    // else (or a file whose record cannot be written) is removed. The
    // thread's last error is left as it was.
    void Abandon(Ending ending, const RemoteVersion &version, uint64_t held);

private:
    void Remove();

    const platform::LocalFolder &folder_;
    const WCHAR *finalName_;
    DWORD flags_;
    WideText name_;
    HANDLE file_ = INVALID_HANDLE_VALUE;
    bool created_ = false; // the name is ours to remove
    uint64_t held_ = 0;
};

// ---- steps 3 and 4

using TransferPlan = chunks::Plan;
using TransferOutcome = chunks::Outcome;

// Moves the bytes [start, size) of the open remote file `remotePath` into
// the partial file at their offsets, asking each chunk from whichever
// connection is free. The last read asks for one byte more than the size, so a file that
// grew shows without an extra exchange; any other count than the one due
// is ERROR_FILE_INVALID. Progress and *cancel are handled on the calling
// thread; plan.quiet turns true once the host asked for quiet.
TransferOutcome Transfer(TransferPlan &plan, const WCHAR *remotePath);

using chunks::ConfirmEnd;

// ---- whole copies

struct CopyRequest : chunks::CopyCall {
    const WCHAR *remotePath;
    const platform::LocalFolder *folder; // open; holds the copy
    const WCHAR *localName;              // a plain name in it
    const RemoteVersion *known;          // from a listing, or null: asked from the agent
    // Given, a listed file that one read holds comes in one round trip
    // (CopyAtOnce), and the round trips it took are written here. Not
    // under a bandwidth limit, which paces reads.
    unsigned *roundTrips = nullptr;
};

// Reads the remote file in one round trip: its open, one read of size + 1
// bytes at 0 and its close, sent back to back on one pooled connection
// and answered in turn. `data` holds size + 1 bytes. 0 when the file had
// exactly `size` bytes, now in `data`; ERROR_FILE_INVALID (1006) for
// another size; else the first cause.
DWORD ReadRemoteAtOnce(AgentLogon *logon, const WCHAR *remotePath, unsigned char *data, DWORD size);
// CopyInto for a listed file that one read holds: ReadRemoteAtOnce, then
// the partial file, written whole, finished as any other.
BOOL CopyAtOnce(const CopyRequest &request);

// One file into an open folder. 1, or 0 with the cause in the thread's
// last error and recorded as the last agent error.
BOOL CopyInto(const CopyRequest &request);

// Opens the folder of a local path (links in the path followed, as the
// host named them) and points *name at the plain name after it. 0, or -1
// with the cause in the thread's last error.
int OpenFolderOf(const WCHAR *localPath, platform::LocalFolder &folder, const WCHAR **name);

// One file into a local path: its folder (links in the path followed, as
// the host named it) is held open for the copy. As CopyInto; the request's
// folder and localName are ignored.
BOOL CopyFile(const CopyRequest &request, const WCHAR *localPath);

} // namespace copy_ex
} // namespace agent

#endif
