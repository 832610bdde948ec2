// The copy behind AgentCopyFileToAgentExW: a local file onto the agent as
// CopyFileExW would copy it. The data go into a partial file beside the
// remote target through several connections at once; the partial file gets
// the local last-write time, its size is checked on the agent, and only
// then does it take the target's name. A target that exists is moved aside
// first and removed only once the new file has its name, so the agent
// always holds the old file or the new one under that name.
#include "copy/copy_to_agent.h"
#include "session/handle_table.h"
#include "copy/copy_handles.h"

#include "session/last_agent_error.h"
#include "session/pending_handle.h"
#include "transport/call_watch.h"

#include <memory>

namespace agent {
namespace copy_to {

namespace {

// The handle's connection still holds the file open (a failed exchange
// breaks it, and a broken handle cannot carry the restart record).
bool StillOpen(HANDLE handle)
{
    const KeptLastError cause;
    HandleUse use(handle, HandleKind::File);
    return use.connection() != nullptr && use.connection()->state == FileOpen;
}

constexpr DWORD kSharing = FILE_SHARE_READ | FILE_SHARE_WRITE;

BOOL Failure(DWORD cause)
{
    SetLastError(cause);
    return 0;
}

bool IsMissing(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

// An exchange whose failure is an expected answer (a name that does not
// exist) and so is not left in AgentGetLastError.
class Quiet {
public:
    Quiet() : before_(LastAgentError.load(std::memory_order_relaxed)) {}
    void Forget() const
    {
        DWORD recorded = GetLastError();
        LastAgentError.compare_exchange_strong(recorded, before_, std::memory_order_relaxed);
    }

private:
    DWORD before_;
};

// 1 with *data filled when `path` exists, 0 when it does not, -1 when the
// agent could not say (the cause in the last error).
int Look(AgentLogon *logon, const WCHAR *path, WIN32_FILE_ATTRIBUTE_DATA *data)
{
    const Quiet quiet;
    if (AgentGetFileAttributesExW(logon, path, data))
        return 1;
    if (!IsMissing(GetLastError()))
        return -1;
    quiet.Forget();
    return 0;
}

class PutCopy {
public:
    explicit PutCopy(const CopyRequest &request)
        : request_(request),
          partialName_(PartialName(request.remotePath)),
          asideName_(AsideName(request.remotePath)),
          remote_(request.logon, nullptr)
    {
    }

    BOOL Run()
    {
        if (request_.cancelled())
            return Failure(ERROR_REQUEST_ABORTED);
        LocalFile local(CreateFileW(request_.localPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!local.valid() || platform::GetLocalFileVersion(local.get(), &version_.size, &version_.lastWrite) != 0)
            return 0;
        if (request_.expected != nullptr &&
            (request_.expected->size != version_.size ||
             CompareFileTimes(request_.expected->lastWrite, version_.lastWrite) != 0))
            return Failure(ERROR_FILE_INVALID);
        // Read before anything is asked of the agent.
        std::unique_ptr<unsigned char[]> whole;
        if (request_.roundTrips != nullptr && version_.size <= kChunkSize && !request_.logon->bandwidth.Active() &&
            !ReadWhole(local, whole))
            return 0;
        int targetExists = 0;
        if (!request_.targetAbsent && !CheckTarget(&targetExists))
            return 0;
        if (whole != nullptr)
            return RunAtOnce(whole.get(), targetExists == 1);
        if (!OpenPartial()) {
            // A call that ended while the open was on its way may have
            // left the agent a partial file that nobody will come back for.
            const DWORD cause = GetLastError();
            return cause == ERROR_REQUEST_ABORTED || cause == WSAETIMEDOUT ? Abandon(cause, Ending::Cancelled, 0) : 0;
        }

        TransferPlan plan(request_);
        plan.remote = remote_.get();
        plan.local = local.get();
        plan.start = start_;
        plan.size = version_.size;
        // A file just created (or found empty) has its pointer at the
        // start: the first write needs no move. The size check below
        // would catch an agent that put it elsewhere.
        plan.remotePosition = start_ == 0 ? 0 : UINT64_MAX;
        const TransferOutcome outcome = Transfer(plan, partialName_.c_str());
        if (outcome.ending != Ending::Complete)
            return Abandon(outcome.cause, outcome.ending, outcome.held);

        // The copy is of one version of the local file only.
        LocalVersion now;
        if (platform::GetLocalFileVersion(local.get(), &now.size, &now.lastWrite) != 0)
            return Abandon(GetLastError(), Ending::Failed, version_.size);
        if (now.size != version_.size || CompareFileTimes(now.lastWrite, version_.lastWrite) != 0)
            return Abandon(ERROR_FILE_INVALID, Ending::Cancelled, 0);
        local.Close();

        // The time goes on after the last write through any handle. A zero
        // time is one the local file system does not know.
        const FILETIME &written = version_.lastWrite;
        if ((written.dwLowDateTime != 0 || written.dwHighDateTime != 0) &&
            !AgentSetFileTime(remote_.get(), nullptr, nullptr, &written))
            return Abandon(GetLastError(), Ending::Failed, version_.size);
        if (!CloseRemote())
            return Abandon(GetLastError(), Ending::Failed, 0);
        WIN32_FILE_ATTRIBUTE_DATA landed = {};
        if (!AgentGetFileAttributesExW(request_.logon, partialName_.c_str(), &landed))
            return Abandon(GetLastError(), Ending::Failed, version_.size);
        if ((static_cast<uint64_t>(landed.nFileSizeHigh) << 32 | landed.nFileSizeLow) != version_.size)
            return Abandon(ERROR_FILE_INVALID, Ending::Cancelled, 0);

        const Ending end = chunks::ConfirmEnd(plan);
        if (end != Ending::Complete)
            return Abandon(ERROR_REQUEST_ABORTED, end, end == Ending::Stopped ? version_.size : 0);
        return Commit(targetExists == 1);
    }

private:
    // A file that one write holds, read whole, as one version of the local
    // file only.
    bool ReadWhole(LocalFile &local, std::unique_ptr<unsigned char[]> &whole)
    {
        const DWORD size = static_cast<DWORD>(version_.size);
        whole.reset(new unsigned char[size > 0 ? size : 1]);
        DWORD got = 0;
        if (size > 0 && platform::ReadFileAt(local.get(), whole.get(), size, 0, &got) != 0)
            return false;
        LocalVersion now;
        if (platform::GetLocalFileVersion(local.get(), &now.size, &now.lastWrite) != 0)
            return false;
        if (got != size || now.size != version_.size || CompareFileTimes(now.lastWrite, version_.lastWrite) != 0) {
            SetLastError(ERROR_FILE_INVALID);
            return false;
        }
        local.Close();
        return true;
    }

    // Put in one round trip, then moved into place.
    BOOL RunAtOnce(const unsigned char *data, bool targetExists)
    {
        const DWORD size = static_cast<DWORD>(version_.size);
        bool created = false;
        const DWORD cause = FillPartialAtOnce(request_.logon, partialName_.c_str(), data, size,
                                              version_.lastWrite, created);
        *request_.roundTrips = kAtOnceRoundTrips - (request_.targetAbsent ? kLookExchanges : 0);
        if (cause != 0)
            return created ? Abandon(cause, Ending::Cancelled, 0) : Failure(cause);
        TransferPlan plan(request_);
        plan.size = version_.size;
        const Ending end = chunks::ConfirmEnd(plan);
        if (end != Ending::Complete)
            return Abandon(ERROR_REQUEST_ABORTED, end, end == Ending::Stopped ? version_.size : 0);
        return Commit(targetExists);
    }

    static int CompareFileTimes(const FILETIME &a, const FILETIME &b)
    {
        return a.dwLowDateTime == b.dwLowDateTime && a.dwHighDateTime == b.dwHighDateTime ? 0 : 1;
    }

    // Refuses a target the copy may not replace, and first puts right what
    // an earlier copy interrupted between its two moves left behind: an
    // aside file without a target is the old target, put back; one beside
    // a target is a replaced file that was not yet removed.
    bool CheckTarget(int *exists)
    {
        WIN32_FILE_ATTRIBUTE_DATA target = {}, aside = {};
        *exists = Look(request_.logon, request_.remotePath, &target);
        if (*exists < 0)
            return false;
        const int asideExists = Look(request_.logon, asideName_.c_str(), &aside);
        if (asideExists < 0)
            return false;
        if (asideExists == 1 && (aside.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            if (*exists == 1) {
                const Quiet quiet;
                if (!AgentRemovePath(request_.logon, asideName_.c_str()))
                    quiet.Forget(); // the next copy tries again
            } else {
                if (!AgentMoveFile(request_.logon, asideName_.c_str(), request_.remotePath))
                    return false;
                if ((*exists = Look(request_.logon, request_.remotePath, &target)) < 0)
                    return false;
            }
        }
        if (*exists == 0)
            return true;
        if (request_.failIfExists())
            return Failure(ERROR_FILE_EXISTS);
        // CopyFileEx neither writes over a folder nor replaces a read-only file.
        if ((target.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0)
            return Failure(ERROR_ACCESS_DENIED);
        return true;
    }

    // A restartable copy continues the partial file an earlier one kept for
    // this local version; any other starts from an empty one.
    bool OpenPartial()
    {
        if (request_.restartable()) {
            remote_.Reset(AgentCreateFileW(request_.logon, partialName_.c_str(), GENERIC_READ | GENERIC_WRITE,
                                           kSharing, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL));
            if (remote_.get() == nullptr)
                return false;
            uint64_t length = 0;
            if (ReadRestartRecord(remote_.get(), version_, &start_, &length) != 0) {
                const DWORD cause = GetLastError();
                remote_.Close();
                return Failure(cause);
            }
            if (start_ > 0 || length == 0)
                return true;
            remote_.Close(); // something else: cut to nothing below
        }
        remote_.Reset(AgentCreateFileW(request_.logon, partialName_.c_str(), GENERIC_READ | GENERIC_WRITE, kSharing,
                                       CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL));
        return remote_.get() != nullptr;
    }

    // False when the close failed or the agent refused it: the last writes
    // may be lost.
    bool CloseRemote()
    {
        SetLastError(0);
        const BOOL closed = remote_.CloseReportingCause();
        if (closed && GetLastError() == 0)
            return true;
        if (GetLastError() == 0)
            SetLastError(ERROR_WRITE_FAULT);
        return false;
    }

    // Ends a copy that did not complete: a stopped copy, or a failed one
    // that may be restarted, keeps its partial file with the restart
    // record; anything else (and a file whose record cannot be written) is
    // removed. The target is never touched.
    BOOL Abandon(DWORD cause, Ending ending, uint64_t held)
    {
        const bool keep = ending == Ending::Stopped || (ending == Ending::Failed && request_.restartable());
        bool kept = false;
        if (keep) {
            if (remote_.get() == nullptr || !StillOpen(remote_.get()))
                remote_.Reset(AgentCreateFileW(request_.logon, partialName_.c_str(), GENERIC_READ | GENERIC_WRITE,
                                               kSharing, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL));
            BY_HANDLE_FILE_INFORMATION info = {};
            kept = remote_.get() != nullptr && AgentGetFileInformationByHandle(remote_.get(), &info) &&
                   WriteRestartRecord(remote_.get(), version_, held,
                                      static_cast<uint64_t>(info.nFileSizeHigh) << 32 | info.nFileSizeLow) == 0;
            kept = CloseRemote() && kept;
        }
        remote_.Close();
        if (!kept)
            AgentRemovePath(request_.logon, partialName_.c_str());
        return Failure(cause);
    }

    // The partial file takes the target's name. An existing target is moved
    // aside first and removed last; if the new file cannot take the name,
    // the old one goes back.
    BOOL Commit(bool targetExists)
    {
        const WCHAR *partial = partialName_.c_str();
        const WCHAR *aside = asideName_.c_str();
        if (!targetExists) {
            const Quiet quiet;
            if (AgentMoveFile(request_.logon, partial, request_.remotePath))
                return 1;
            const DWORD cause = GetLastError();
            // Something took the name meanwhile.
            if (request_.failIfExists() || (cause != ERROR_ALREADY_EXISTS && cause != ERROR_FILE_EXISTS))
                return Abandon(cause == ERROR_ALREADY_EXISTS ? ERROR_FILE_EXISTS : cause, Ending::Cancelled, 0);
            quiet.Forget();
            if (request_.targetAbsent) {
                // The caller's view was wrong: the looks skipped before,
                // with what they refuse and put right.
                int exists = 0;
                if (!CheckTarget(&exists))
                    return Abandon(GetLastError(), Ending::Cancelled, 0);
                if (exists == 0)
                    return AgentMoveFile(request_.logon, partial, request_.remotePath)
                               ? 1
                               : Abandon(GetLastError(), Ending::Cancelled, 0);
            }
        }
        if (!AgentMoveFile(request_.logon, request_.remotePath, aside))
            return Abandon(GetLastError(), Ending::Cancelled, 0);
        if (!AgentMoveFile(request_.logon, partial, request_.remotePath)) {
            const DWORD cause = GetLastError();
            AgentMoveFile(request_.logon, aside, request_.remotePath);
            return Abandon(cause, Ending::Cancelled, 0);
        }
        const Quiet quiet;
        if (!AgentRemovePath(request_.logon, aside))
            quiet.Forget(); // the next copy to this target removes it
        return 1;
    }

    const CopyRequest &request_;
    const WideText partialName_;
    const WideText asideName_;
    LocalVersion version_;
    RemoteFile remote_;
    uint64_t start_ = 0;
};

} // namespace

BOOL CopyToAgent(const CopyRequest &request)
{
    const CallWatchFor watch(request.cancel, request.logon->speed);
    PutCopy copy(request);
    return copy.Run();
}

} // namespace copy_to
} // namespace agent
