// AgentCreateFileW, AgentGetFileInformationByHandle, AgentReadFile,
// AgentReadFilePosition, AgentWriteFile, AgentSetFilePointerEx,
// AgentSetFileTime, AgentCloseHandle.
//
// A remote file lives on a connection of its own: the open takes a pooled
// connection and hands it to the caller as the handle (state FileOpen);
// the close gives it back. File data never pass through a CDR stream: they
// go straight between the socket and the caller's buffer.
#include "session/pending_handle.h"
#include "protocol/wide_string.h"
#include "session/export_frame.h"

using namespace agent;

namespace {

// A read reply that announces more bytes than the caller asked for cannot
// be taken without overrunning the caller's buffer, and the stream cannot
// be resynchronised without reading them: the connection is given up and
// the caller sees ERROR_INVALID_DATA.

constexpr uint32_t kDataReplyLength = 8;    // status, count
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

// A request whose payload is a row of u32.
int SendNumbers(AgentConnection &connection, uint32_t opcode, std::initializer_list<uint32_t> numbers)
{
    ACE_OutputCDR &payload = connection.StartRequest(opcode);
    for (uint32_t n : numbers)
        if (!payload.write_ulong(n)) {
            NoteOutOfMemory();
            return -1;
        }
    return connection.SendStartedRequest();
}

// ---- open (opcode 8): the four numbers in reverse argument order, path last

int EncodeOpen(ACE_OutputCDR &out, const WCHAR *path, DWORD access, DWORD share, DWORD disposition, DWORD flags)
{
    return out.write_ulong(flags) && out.write_ulong(disposition) && out.write_ulong(share) &&
                   out.write_ulong(access) && WriteWideString(out, path)
               ? 0
               : -1;
}

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
    ACE_OutputCDR &payload = connection.StartRequest(OpCreateFile);
    if (EncodeOpen(payload, path, access, share, disposition, flags) != 0) {
        NoteOutOfMemory();
        return -1;
    }
    if (connection.RunStartedRequest() != 0)
        return -1;
    connection.state = FileOpen;
    return 0;
}

// ---- read (opcode 10) and read at offset (opcode 20)

struct DataReply {
    ACE_CDR::ULong status = 0;
    ACE_CDR::ULong count = 0;
};

bool DecodeDataReply(ACE_InputCDR &in, DataReply &reply)
{
    return in.read_ulong(reply.status) && in.read_ulong(reply.count);
}

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
    DataReply reply;
    MessageHeader header;
    ACE_InputCDR *in = connection.Receive(ReplyShape::WithData(opcode, kDataReplyLength), header);
    if (in == nullptr || !DecodeDataReply(*in, reply))
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
    DataReply reply;
    MessageHeader header;
    ACE_InputCDR *in = connection.Receive(ReplyShape::Exact(OpWriteFile, kDataReplyLength), header);
    if (in == nullptr || !DecodeDataReply(*in, reply))
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
    if (RequireOpenFile(connection) != 0 ||
        SendNumbers(connection, OpSetFilePointer,
                    {distance.u.LowPart, static_cast<uint32_t>(distance.u.HighPart), method}) != 0)
        return -1;
    MessageHeader header;
    ACE_InputCDR *reply = connection.ReceiveAfterStatus(OpSetFilePointer, header);
    if (reply == nullptr)
        return -1;
    ACE_InputCDR &in = *reply;
    if (header.length < kPositionReplyLength) {
        SetLastError(ERROR_INTERNAL_ERROR);
        return -1;
    }
    if (newPosition == nullptr)
        return 0;
    ACE_CDR::ULong low = 0, high = 0;
    if (!in.read_ulong(low))
        return -1;
    newPosition->u.LowPart = low;
    if (!in.read_ulong(high))
        return -1;
    newPosition->u.HighPart = static_cast<LONG>(high);
    return 0;
}

// ---- set file times (opcode 24): three FILETIMEs, low parts first

int SetTimes(AgentConnection &connection, const FILETIME *creation, const FILETIME *lastAccess,
             const FILETIME *lastWrite)
{
    if (RequireOpenFile(connection) != 0)
        return -1;
    // An absent time travels as zero.
    const FILETIME zero = {0, 0};
    const FILETIME &c = creation != nullptr ? *creation : zero;
    const FILETIME &a = lastAccess != nullptr ? *lastAccess : zero;
    const FILETIME &w = lastWrite != nullptr ? *lastWrite : zero;
    if (SendNumbers(connection, OpSetFileTime,
                    {c.dwLowDateTime, c.dwHighDateTime, a.dwLowDateTime, a.dwHighDateTime, w.dwLowDateTime,
                     w.dwHighDateTime}) != 0)
        return -1;
    return connection.ReceiveStatusResult(OpSetFileTime);
}

// ---- by-handle information (opcode 23): 13 u32 in the record's own order

int DecodeFileInformation(ACE_InputCDR &in, BY_HANDLE_FILE_INFORMATION &info)
{
    // Each field is stored the moment it has been read.
    DWORD *const fields[] = {
        &info.dwFileAttributes,
        &info.ftCreationTime.dwLowDateTime,   &info.ftCreationTime.dwHighDateTime,
        &info.ftLastAccessTime.dwLowDateTime, &info.ftLastAccessTime.dwHighDateTime,
        &info.ftLastWriteTime.dwLowDateTime,  &info.ftLastWriteTime.dwHighDateTime,
        &info.dwVolumeSerialNumber,
        &info.nFileSizeHigh,                  &info.nFileSizeLow,
        &info.nNumberOfLinks,
        &info.nFileIndexHigh,                 &info.nFileIndexLow,
    };
    for (DWORD *field : fields) {
        ACE_CDR::ULong value = 0;
        if (!in.read_ulong(value))
            return -1;
        *field = value;
    }
    return 0;
}

int QueryInformation(AgentConnection &connection, BY_HANDLE_FILE_INFORMATION &info)
{
    if (RequireOpenFile(connection) != 0)
        return -1;
    if (connection.SendBareRequest(OpGetFileInformation) != 0)
        return -1;
    MessageHeader reply;
    ACE_InputCDR *in = connection.ReceiveAfterStatus(OpGetFileInformation, reply);
    if (in == nullptr)
        return -1;
    // A zero status without the whole record: the reply has arrived
    // whole, so the file stays open.
    if (DecodeFileInformation(*in, info) != 0) {
        SetLastError(ERROR_INVALID_DATA);
        return -1;
    }
    return 0;
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
        ConnectionHolder connection(logon, AcquireForExport(logon));
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
        return ReadInto(c, OpReadFile, buffer, toRead, read, [&] { return SendNumbers(c, OpReadFile, {toRead}); });
    });
}

BOOL AGENTAPI AgentReadFilePosition(HANDLE file, void *buffer, DWORD toRead, DWORD *read, DWORD offsetLow,
                                    DWORD offsetHigh)
{
    return OnHandle(file, [&](AgentConnection &c) {
        return ReadInto(c, OpReadFileAt, buffer, toRead, read,
                        [&] { return SendNumbers(c, OpReadFileAt, {toRead, offsetLow, offsetHigh}); });
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
