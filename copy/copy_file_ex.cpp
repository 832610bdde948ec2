// The fast copy behind AgentCopyFileFromAgentExW: a remote file into a
// local one as CopyFileExW would copy it. The remote size and last-write time are read first; the
// data go into a partial file beside the target through several
// connections at once; the partial file becomes the target only once it
// holds exactly that many bytes.
#include "copy/copy_file_ex.h"
#include "copy/copy_handles.h"

#include "protocol/wide_string.h"
#include "session/export_frame.h"

using namespace agent;
using namespace agent::copy_ex;

namespace {


BOOL Failure(DWORD cause)
{
    SetLastError(cause);
    RecordLastAgentError();
    return 0;
}

// Ends a copy that did not complete while the partial file is open: a
// stopped copy, or a failed one that may be restarted, keeps the file with
// its restart record; anything else (and a file whose record cannot be
// written) is removed.
BOOL Abandon(DWORD cause, Ending ending, const CopyRequest &request, LocalFile &partial, const WideText &partialName,
             const RemoteVersion &version, uint64_t held)
{
    const bool keep = ending == Ending::Stopped || (ending == Ending::Failed && request.restartable());
    bool kept = keep && WriteRestartRecord(partial.get(), version, held) == 0;
    kept = partial.Close() && kept;
    if (!kept)
        platform::DeleteLocalFile(partialName.c_str());
    return Failure(cause);
}

BOOL CopyEx(const CopyRequest &request)
{
    if (request.cancelled())
        return Failure(ERROR_REQUEST_ABORTED);
    if (request.failIfExists() && platform::LocalPathExists(request.localPath))
        return Failure(ERROR_FILE_EXISTS);

    // AgentCreateFileW records its own failure.
    RemoteFile remote(request.logon, AgentCreateFileW(request.logon, request.remotePath, GENERIC_READ, FILE_SHARE_READ,
                                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL));
    if (remote.get() == nullptr)
        return 0;
    RemoteVersion version;
    if (request.known != nullptr) {
        // The transfer's last read proves the size.
        version = *request.known;
    } else {
        BY_HANDLE_FILE_INFORMATION info = {};
        if (!AgentGetFileInformationByHandle(remote.get(), &info)) {
            const DWORD cause = GetLastError();
            remote.Close();
            return Failure(cause);
        }
        version.size = static_cast<uint64_t>(info.nFileSizeHigh) << 32 | info.nFileSizeLow;
        version.lastWrite = info.ftLastWriteTime;
    }

    // A restartable copy opens what an earlier one left; any other starts
    // from an empty file.
    const WideText partialName = PartialName(request.localPath);
    LocalFile partial(CreateFileW(partialName.c_str(), GENERIC_READ | GENERIC_WRITE | FILE_WRITE_ATTRIBUTES,
                                  FILE_SHARE_READ, nullptr, request.restartable() ? OPEN_ALWAYS : CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!partial.valid()) {
        const DWORD cause = GetLastError();
        remote.Close();
        return Failure(cause);
    }
    uint64_t start = 0;
    if (request.restartable() &&
        (ReadRestartRecord(partial.get(), version, &start) != 0 || platform::SetLocalFileSize(partial.get(), start) != 0)) {
        const DWORD cause = GetLastError();
        remote.Close();
        return Abandon(cause, Ending::Cancelled, request, partial, partialName, version, 0);
    }

    TransferPlan plan;
    plan.logon = request.logon;
    plan.remotePath = request.remotePath;
    plan.remote = remote.get();
    plan.local = partial.get();
    plan.start = start;
    plan.size = version.size;
    plan.progress = request.progress;
    plan.context = request.context;
    plan.cancel = request.cancel;
    const TransferOutcome outcome = Transfer(plan);
    remote.Close();
    if (outcome.ending != Ending::Complete)
        return Abandon(outcome.cause, outcome.ending, request, partial, partialName, version, outcome.held);

    // Every byte is in. A zero time is one the agent does not know.
    const FILETIME &written = version.lastWrite;
    if ((written.dwLowDateTime != 0 || written.dwHighDateTime != 0) &&
        platform::SetLocalLastWriteTime(partial.get(), written) != 0)
        return Abandon(GetLastError(), Ending::Failed, request, partial, partialName, version, version.size);
    if (request.progress != nullptr && !plan.quiet) {
        const DWORD answer = request.progress(version.size, version.size, request.context);
        if (answer == PROGRESS_CANCEL)
            return Abandon(ERROR_REQUEST_ABORTED, Ending::Cancelled, request, partial, partialName, version, 0);
        if (answer == PROGRESS_STOP)
            return Abandon(ERROR_REQUEST_ABORTED, Ending::Stopped, request, partial, partialName, version,
                           version.size);
    }
    if (request.cancelled())
        return Abandon(ERROR_REQUEST_ABORTED, Ending::Cancelled, request, partial, partialName, version, 0);

    // A file that cannot be closed may not hold what was written.
    if (!partial.Close() ||
        platform::MoveLocalFile(partialName.c_str(), request.localPath, !request.failIfExists()) != 0) {
        const DWORD cause = GetLastError();
        platform::DeleteLocalFile(partialName.c_str());
        return Failure(cause);
    }
    return 1;
}

} // namespace

namespace agent {
namespace copy_ex {

BOOL CopyFile(const CopyRequest &request) { return CopyEx(request); }

} // namespace copy_ex
} // namespace agent
