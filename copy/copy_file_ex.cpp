// The fast copy behind AgentCopyFileFromAgentExW: a remote file into a
// local one as CopyFileExW would copy it. The data go into a partial file
// beside the target through several connections at once; the partial file
// becomes the target only once it holds exactly the remote size and has
// reached the disk.
#include "copy/copy_file_ex.h"
#include "copy/copy_handles.h"

#include "protocol/wide_string.h"
#include "session/export_frame.h"
#include "transport/call_watch.h"

#include <memory>

namespace agent {
namespace copy_ex {

namespace {

BOOL Failure(DWORD cause)
{
    SetLastError(cause);
    return 0;
}

} // namespace

HANDLE OpenRemote(AgentLogon *logon, const WCHAR *remotePath, const RemoteVersion *known, RemoteVersion *version)
{
    // AgentCreateFileW records its own failure.
    HANDLE remote = AgentCreateFileW(logon, remotePath, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL);
    if (remote == nullptr || known != nullptr) {
        if (known != nullptr)
            *version = *known;
        return remote;
    }
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!AgentGetFileInformationByHandle(remote, &info)) {
        const DWORD cause = GetLastError();
        AgentCloseHandle(logon, remote);
        Failure(cause);
        return nullptr;
    }
    version->size = static_cast<uint64_t>(info.nFileSizeHigh) << 32 | info.nFileSizeLow;
    version->lastWrite = info.ftLastWriteTime;
    return remote;
}

BOOL CopyInto(const CopyRequest &request)
{
    const CallWatchFor watch(request.cancel, request.logon->speed);
    if (request.cancelled())
        return Failure(ERROR_REQUEST_ABORTED);
    if (request.failIfExists() && platform::ExistsIn(*request.folder, request.localName))
        return Failure(ERROR_FILE_EXISTS);

    if (request.roundTrips != nullptr && request.known != nullptr && request.known->size < kChunkSize &&
        !request.logon->bandwidth.Active()) {
        *request.roundTrips = 1;
        return CopyAtOnce(request);
    }
    RemoteVersion version;
    RemoteFile remote(request.logon, OpenRemote(request.logon, request.remotePath, request.known, &version));
    if (remote.get() == nullptr)
        return 0;
    PartialFile partial(*request.folder, request.localName, request.flags);
    if (partial.Open(version) != 0)
        return Failure(GetLastError());

    TransferPlan plan(request);
    plan.remote = remote.get();
    plan.local = partial.handle();
    plan.start = partial.held();
    plan.size = version.size;
    const TransferOutcome outcome = Transfer(plan, request.remotePath);
    remote.Close();
    if (outcome.ending != Ending::Complete) {
        partial.Abandon(outcome.ending, version, outcome.held);
        return Failure(outcome.cause);
    }
    const Ending end = ConfirmEnd(plan);
    if (end != Ending::Complete) {
        partial.Abandon(end, version, end == Ending::Stopped ? version.size : 0);
        return Failure(ERROR_REQUEST_ABORTED);
    }
    if (partial.Finish(version) != 0)
        return Failure(GetLastError());
    return 1;
}

BOOL CopyAtOnce(const CopyRequest &request)
{
    const RemoteVersion version = *request.known;
    const DWORD size = static_cast<DWORD>(version.size);
    std::unique_ptr<unsigned char[]> data(new unsigned char[size + 1]);
    if (const DWORD cause = ReadRemoteAtOnce(request.logon, request.remotePath, data.get(), size))
        return Failure(cause);
    PartialFile partial(*request.folder, request.localName, request.flags);
    if (partial.Open(version) != 0)
        return Failure(GetLastError());
    // The whole file from its start, whatever a restart found there.
    if (size > 0 && platform::WriteFileAt(partial.handle(), data.get(), size, 0) != 0) {
        const DWORD cause = GetLastError();
        partial.Abandon(Ending::Cancelled, version, 0);
        return Failure(cause);
    }
    TransferPlan plan(request);
    plan.size = version.size;
    const Ending end = ConfirmEnd(plan);
    if (end != Ending::Complete) {
        partial.Abandon(end, version, end == Ending::Stopped ? version.size : 0);
        return Failure(ERROR_REQUEST_ABORTED);
    }
    if (partial.Finish(version) != 0)
        return Failure(GetLastError());
    return 1;
}

int OpenFolderOf(const WCHAR *localPath, platform::LocalFolder &folder, const WCHAR **name)
{
    size_t folderLength = 0;
    if (platform::SplitLocalPath(localPath, name, &folderLength) != 0)
        return -1;
    WideText folderPath(localPath, folderLength);
    if (folderPath.empty())
        folderPath.push_back(u'.');
    return folder.Open(folderPath.c_str(), true);
}

BOOL CopyFile(const CopyRequest &request, const WCHAR *localPath)
{
    platform::LocalFolder folder;
    const WCHAR *name = nullptr;
    if (OpenFolderOf(localPath, folder, &name) != 0)
        return Failure(GetLastError());
    CopyRequest into = request;
    into.folder = &folder;
    into.localName = name;
    return CopyInto(into);
}

} // namespace copy_ex
} // namespace agent
