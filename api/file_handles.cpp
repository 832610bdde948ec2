// AgentCreateFileW, AgentGetFileInformationByHandle, AgentReadFile,
// AgentReadFilePosition, AgentWriteFile, AgentSetFilePointerEx,
// AgentSetFileTime, AgentCloseHandle.
//
// A remote file lives on a connection of its own: the open takes a pooled
// connection and hands it to the caller as the handle (state FileOpen);
// the close gives it back. File data never pass through a CDR stream: they
// go straight between the socket and the caller's buffer.
#include "session/pending_handle.h"
#include "protocol/handle_messages.h"
#include "protocol/status_reply.h"
#include "protocol/wide_string.h"
#include "session/export_frame.h"

using namespace agent;

namespace {

// A read reply that announces more bytes than the caller asked for cannot
// be taken without overrunning the caller's buffer, and the stream cannot
// be resynchronised without reading them: the connection is given up and
// the caller sees ERROR_INVALID_DATA.

constexpr uint32_t kPositionReplyLength = 12; // status, position low, high
constexpr DWORD kMoveMethods = 3;           // FILE_BEGIN, FILE_CURRENT, FILE_END

int RequireOpenFile(const AgentConnection &connection)
{
    if (connection.state != FileOpen) {
        SetLastError(ERROR_INVALID_ACCESS);
        return -1;
    }
    return 0;
}

// ---- open (opcode 8)

int OpenFile(AgentConnection &connection, const WCHAR *path, DWORD access, DWORD share, DWORD disposition,
             DWORD flags)
{
    if (IsEmpty(path)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    if (connection.state != Ready) {
        SetLastError(ERROR_INVALID_ACCESS);
        return -1;
    }
    if (connection.RunEncoded(OpCreateFile, [&](ACE_OutputCDR &out) {
            return protocol::EncodeCreateFileRequest(out, path, access, share, disposition, flags);
        }) != 0)
        return -1;
    connection.state = FileOpen;
    return 0;
}

// ---- read (opcode 10) and read at offset (opcode 20)

// Sends the read request already encoded by `send`, then takes the reply:
// the 8-byte payload, then `count` raw bytes straight into the buffer.
template <typename Send>
int ReadInto(AgentConnection &connection, uint32_t opcode, void *buffer, DWORD toRead, DWORD *read, Send &&send)
{
    if (read != nullptr)
        *read = 0;
    if (buffer == nullptr || toRead == 0)
        return 0;
    if (RequireOpenFile(connection) != 0 || send() != 0)
        return -1;
    protocol::CountReply reply;
    MessageHeader header;
    ACE_InputCDR *in = connection.Receive(ReplyShape::WithData(opcode, protocol::kCountReplyLength), header);
    if (in == nullptr || !protocol::DecodeCountReply(*in, reply))
        return -1;
    if (reply.count > toRead) {
        connection.Break();
        SetLastError(ERROR_INVALID_DATA);
        return -1;
    }
    // Taken whatever the status, so that the stream stays in step.
    if (connection.ReceiveData(buffer, reply.count) != 0)
        return -1;
    if (read != nullptr)
        *read = reply.count;
    if (reply.status != 0) {
        SetLastError(reply.status);
        return -1;
    }
    return 0;
}

// ---- write (opcode 11): the caller's bytes are the payload

int WriteFrom(AgentConnection &connection, const void *buffer, DWORD toWrite, DWORD *written)
{
    if (written != nullptr)
        *written = 0;
    if (buffer == nullptr || toWrite == 0)
        return 0;
    if (RequireOpenFile(connection) != 0 || connection.SendDataRequest(OpWriteFile, buffer, toWrite) != 0)
        return -1;
    protocol::CountReply reply;
    MessageHeader header;
    ACE_InputCDR *in = connection.Receive(ReplyShape::Exact(OpWriteFile, protocol::kCountReplyLength), header);
    if (in == nullptr || !protocol::DecodeCountReply(*in, reply))
        return -1;
    if (written != nullptr)
        *written = reply.count;
    if (reply.status != 0) {
        SetLastError(reply.status);
        return -1;
    }
    return 0;
}

// ---- move file pointer (opcode 9): distance low, high, method

int MovePointer(AgentConnection &connection, LARGE_INTEGER distance, LARGE_INTEGER *newPosition, DWORD method)
{
    if (method >= kMoveMethods) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    protocol::SetFilePointerRequest request;
    request.distance = static_cast<int64_t>(static_cast<uint64_t>(static_cast<uint32_t>(distance.u.HighPart)) << 32 |
                                            distance.u.LowPart);
    request.method = method;
    if (RequireOpenFile(connection) != 0 || connection.SendEncoded(OpSetFilePointer, [&](ACE_OutputCDR &out) {
            return protocol::EncodeSetFilePointerRequest(out, request);
        }) != 0)
        return -1;
    MessageHeader header;
    ACE_InputCDR *in = connection.Receive(ReplyShape::Minimum(OpSetFilePointer, 4), header);
    if (in == nullptr)
        return -1;
    // A success without room for the position is an error of our own.
    if (header.length < kPositionReplyLength) {
        protocol::StatusReply status;
        protocol::DecodeStatusReply(*in, status); // fits: the shape holds a status word
        SetLastError(status.status != 0 ? status.status : static_cast<DWORD>(ERROR_INTERNAL_ERROR));
        return -1;
    }
    protocol::SetFilePointerReply reply;
    const bool decoded = protocol::DecodeSetFilePointerReply(*in, reply);
    if (ReplyVerdict(reply.status, decoded) != 0)
        return -1;
    if (newPosition != nullptr) {
        newPosition->u.LowPart = static_cast<DWORD>(reply.position);
        newPosition->u.HighPart = static_cast<LONG>(static_cast<uint32_t>(reply.position >> 32));
    }
    return 0;
}

// ---- set file times (opcode 24): three FILETIMEs, low parts first

int SetTimes(AgentConnection &connection, const FILETIME *creation, const FILETIME *lastAccess,
             const FILETIME *lastWrite)
{
    if (RequireOpenFile(connection) != 0)
        return -1;
    // An absent time travels as zero.
    protocol::SetFileTimeRequest request;
    if (creation != nullptr)
        request.creation = *creation;
    if (lastAccess != nullptr)
        request.lastAccess = *lastAccess;
    if (lastWrite != nullptr)
        request.lastWrite = *lastWrite;
    if (connection.SendEncoded(OpSetFileTime,
                    [&](ACE_OutputCDR &out) { return protocol::EncodeSetFileTimeRequest(out, request); }) != 0)
        return -1;
    return connection.ReceiveStatusResult(OpSetFileTime);
}

// ---- by-handle information (opcode 23)

int QueryInformation(AgentConnection &connection, BY_HANDLE_FILE_INFORMATION &info)
{
    if (RequireOpenFile(connection) != 0)
        return -1;
    if (connection.SendBareRequest(OpGetFileInformation) != 0)
        return -1;
    MessageHeader header;
    ACE_InputCDR *in = connection.Receive(ReplyShape::Minimum(OpGetFileInformation, 4), header);
    if (in == nullptr)
        return -1;
    // Each field lands in the caller's record as it is read: the decoder
    // starts from the caller's values and all it holds is copied back.
    protocol::GetFileInformationReply reply;
    reply.info = info;
    const bool decoded = protocol::DecodeGetFileInformationReply(*in, reply);
    info = reply.info;
    return ReplyVerdict(reply.status, decoded);
}

// The frame of the operations on an open file handle: no pool access; a
// failure is copied into LastAgentError. One that ran out of memory (or
// threw) may have left its exchange half done, so the handle's connection
// is given up: later calls on the handle fail and its close destroys the
// connection.
template <typename Operation>
BOOL OnHandle(HANDLE handle, Operation &&operation)
{
    if (handle == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return Guarded<BOOL>(0, [&]() -> BOOL {
        HandleUse use(handle, HandleKind::File);
        AgentConnection *connection = use.connection();
        if (connection == nullptr)
            return 0;
        const unsigned outOfMemoryMark = OutOfMemoryEvents();
        int result = -1;
        try {
            result = operation(*connection);
        } catch (const std::bad_alloc &) {
            NoteOutOfMemory();
        } catch (...) {
            SetLastError(ERROR_INTERNAL_ERROR);
            connection->Break();
        }
        if (result == 0)
            return 1;
        // The count is the process's; the call's own cause tells whether the
        // failure was this call's, so a sound handle survives another thread's.
        if (GetLastError() == ERROR_NOT_ENOUGH_MEMORY && OutOfMemoryEvents() != outOfMemoryMark)
            connection->Break();
        return 0;
    });
}

} // namespace

extern "C" {

HANDLE AGENTAPI AgentCreateFileW(AGENT_LOGON logon, const WCHAR *path, DWORD access, DWORD share, DWORD disposition,
                                 DWORD flags)
{
    if (logon == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return Guarded<HANDLE>(nullptr, [&]() -> HANDLE {
        ConnectionHolder connection(logon);
        if (connection.get() == nullptr)
            return nullptr;
        if (OpenFile(*connection.get(), path, access, share, disposition, flags) != 0)
            return nullptr;
        // Without a handle the open file goes with its connection.
        return MakeHandle(connection, HandleKind::File, logon);
    });
}

BOOL AGENTAPI AgentGetFileInformationByHandle(HANDLE file, BY_HANDLE_FILE_INFORMATION *info)
{
    if (info == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return OnHandle(file, [&](AgentConnection &c) { return QueryInformation(c, *info); });
}

BOOL AGENTAPI AgentReadFile(HANDLE file, void *buffer, DWORD toRead, DWORD *read)
{
    return OnHandle(file, [&](AgentConnection &c) {
        return ReadInto(c, OpReadFile, buffer, toRead, read, [&] {
            return c.SendEncoded(OpReadFile, [&](ACE_OutputCDR &out) {
                return protocol::EncodeReadFileRequest(out, protocol::ReadFileRequest{toRead});
            });
        });
    });
}

BOOL AGENTAPI AgentReadFilePosition(HANDLE file, void *buffer, DWORD toRead, DWORD *read, DWORD offsetLow,
                                    DWORD offsetHigh)
{
    return OnHandle(file, [&](AgentConnection &c) {
        return ReadInto(c, OpReadFileAt, buffer, toRead, read, [&] {
            const protocol::ReadFileAtRequest request{toRead, static_cast<uint64_t>(offsetHigh) << 32 | offsetLow};
            return c.SendEncoded(OpReadFileAt,
                               [&](ACE_OutputCDR &out) { return protocol::EncodeReadFileAtRequest(out, request); });
        });
    });
}

BOOL AGENTAPI AgentWriteFile(HANDLE file, const void *buffer, DWORD toWrite, DWORD *written)
{
    return OnHandle(file, [&](AgentConnection &c) { return WriteFrom(c, buffer, toWrite, written); });
}

BOOL AGENTAPI AgentSetFilePointerEx(HANDLE file, LARGE_INTEGER distance, LARGE_INTEGER *newPosition, DWORD method)
{
    return OnHandle(file, [&](AgentConnection &c) { return MovePointer(c, distance, newPosition, method); });
}

BOOL AGENTAPI AgentSetFileTime(HANDLE file, const FILETIME *creation, const FILETIME *lastAccess,
                               const FILETIME *lastWrite)
{
    return OnHandle(file, [&](AgentConnection &c) { return SetTimes(c, creation, lastAccess, lastWrite); });
}

// Ends a file, search or drive handle. Only an open file has anything to
// close on the agent; every other state is given back as it is, which
// destroys the connection unless it is Ready.
BOOL AGENTAPI AgentCloseHandle(AGENT_LOGON logon, HANDLE handle)
{
    if (logon == nullptr || handle == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return Guarded<BOOL>(0, [&]() -> BOOL {
        // Looked up, never trusted: a handle closed before, or one of
        // another logon (which would pool its connection here), is refused.
        bool orphaned = false;
        AgentConnection *taken = TakeHandle(handle, logon, orphaned);
        if (taken == nullptr)
            return 0;
        // A handle that outlived its logon has no pool to go back to.
        ConnectionHolder connection(orphaned ? nullptr : logon, taken);
        AgentConnection &c = *connection.get();
        if (c.state != FileOpen)
            return 1;
        uint32_t status = 0;
        if (c.SendBareRequest(OpCloseHandle) != 0 || c.ReceiveStatus(OpCloseHandle, status) != 0)
            return 0;
        // A refused close keeps the state FileOpen, so the connection is
        // destroyed rather than pooled with a file still open on it.
        if (status == 0)
            c.state = Ready;
        else
            SetLastError(status);
        return 1;
    });
}

} // extern "C"
