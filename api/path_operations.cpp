// AgentPathFileExistsW, AgentPathIsRootW, AgentPathStripToRootW,
// AgentGetFileAttributesW, AgentGetFileAttributesExW, AgentSetFileAttributesW,
// AgentCreateDirectoryW (also exported as AgetnCreateDirectoryW),
// AgentRemovePath, AgentMoveFile.
//
// One exchange each on a pooled connection. Paths go to the agent as they
// are; the agent's verdict comes back as a result and a last error.
#include "protocol/wide_string.h"
#include "session/export_frame.h"

using namespace agent;

namespace {

constexpr DWORD kInvalidAttributes = 0xFFFFFFFFu;

int CheckPathRequest(const AgentConnection &connection, const WCHAR *path)
{
    if (IsEmpty(path)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    if (connection.state != Ready) {
        SetLastError(ERROR_INVALID_ACCESS);
        return -1;
    }
    return 0;
}

// A request whose payload is the path alone, answered by a Reply to the
// same opcode that opens with a status. On a zero status `readResult(in)`
// reads what follows (0 / -1); bytes after it are ignored.
template <typename ReadResult>
int QueryPath(AgentConnection &connection, uint32_t opcode, const WCHAR *path, ReadResult &&readResult)
{
    if (CheckPathRequest(connection, path) != 0 || connection.SendStringRequest(opcode, path) != 0)
        return -1;
    MessageHeader header;
    ACE_InputCDR *in = connection.ReceiveAfterStatus(opcode, header);
    if (in == nullptr)
        return -1;
    // A zero status without the fields that go with it: the whole reply
    // has arrived, so the connection stays usable.
    if (readResult(*in) != 0) {
        SetLastError(ERROR_INVALID_DATA);
        return -1;
    }
    return 0;
}

int NothingMore(ACE_InputCDR &) { return 0; }

// The three yes/no path tests share one shape and one null-logon result.
BOOL PathTest(AgentLogon *logon, uint32_t opcode, const WCHAR *path)
{
    if (logon == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    return Guarded<BOOL>(0, [&]() -> BOOL {
        return RunOnPooledConnection(logon, [&](AgentConnection &c) {
                   return QueryPath(c, opcode, path, NothingMore);
               }) == 0
                   ? 1
                   : 0;
    });
}

// Attribute data record after the status: attributes, three FILETIMEs,
// then the size low part first. Fields land in the record as they are read.
int ReadAttributeData(ACE_InputCDR &in, WIN32_FILE_ATTRIBUTE_DATA &data)
{
    ACE_CDR::ULong attributes = 0, sizeLow = 0, sizeHigh = 0;
    if (!in.read_ulong(attributes))
        return -1;
    data.dwFileAttributes = attributes;
    if (!ReadFileTime(in, data.ftCreationTime) || !ReadFileTime(in, data.ftLastAccessTime) ||
        !ReadFileTime(in, data.ftLastWriteTime))
        return -1;
    if (!in.read_ulong(sizeLow))
        return -1;
    data.nFileSizeLow = sizeLow;
    if (!in.read_ulong(sizeHigh))
        return -1;
    data.nFileSizeHigh = sizeHigh;
    return 0;
}

int SetAttributes(AgentConnection &connection, const WCHAR *path, DWORD attributes)
{
    if (CheckPathRequest(connection, path) != 0)
        return -1;
    ACE_OutputCDR &payload = connection.StartRequest(OpSetFileAttributes);
    if (!WriteWideString(payload, path) || !payload.write_ulong(attributes)) {
        NoteOutOfMemory();
        return -1;
    }
    if (connection.SendStartedRequest() != 0)
        return -1;
    MessageHeader reply;
    return connection.ReceiveAfterStatus(OpSetFileAttributes, reply) == nullptr ? -1 : 0;
}

int MoveFile(AgentConnection &connection, const WCHAR *source, const WCHAR *target)
{
    if (IsEmpty(source) || IsEmpty(target)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    if (connection.state != Ready) {
        SetLastError(ERROR_INVALID_ACCESS);
        return -1;
    }
    ACE_OutputCDR &payload = connection.StartRequest(OpMoveFile);
    if (!WriteWideString(payload, source) || !WriteWideString(payload, target)) {
        NoteOutOfMemory();
        return -1;
    }
    return connection.RunStartedRequest();
}

// The exports whose reply is a bare status and whose null-logon result is 0.
template <typename Exchange>
BOOL RunYesNo(AgentLogon *logon, Exchange &&exchange)
{
    if (logon == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return Guarded<BOOL>(0, [&]() -> BOOL {
        return RunOnPooledConnection(logon, exchange) == 0 ? 1 : 0;
    });
}

} // namespace

extern "C" {

BOOL AGENTAPI AgentPathFileExistsW(AGENT_LOGON logon, const WCHAR *path)
{
    return PathTest(logon, OpPathFileExists, path);
}

BOOL AGENTAPI AgentPathIsRootW(AGENT_LOGON logon, const WCHAR *path)
{
    return PathTest(logon, OpPathIsRoot, path);
}

// Only the verdict comes back: the caller's buffer is not rewritten.
BOOL AGENTAPI AgentPathStripToRootW(AGENT_LOGON logon, WCHAR *path)
{
    return PathTest(logon, OpPathStripToRoot, path);
}

DWORD AGENTAPI AgentGetFileAttributesW(AGENT_LOGON logon, const WCHAR *path)
{
    if (logon == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return kInvalidAttributes;
    }
    // An agent may answer all ones as attributes: only a failed exchange is a failure.
    bool failed = true;
    return GuardedWhen(kInvalidAttributes, [&](DWORD) { return failed; }, [&]() -> DWORD {
        DWORD attributes = kInvalidAttributes;
        const int rc = RunOnPooledConnection(logon, [&](AgentConnection &c) {
            return QueryPath(c, OpGetFileAttributes, path, [&](ACE_InputCDR &in) {
                ACE_CDR::ULong value = 0;
                if (!in.read_ulong(value))
                    return -1;
                attributes = value;
                return 0;
            });
        });
        failed = rc != 0;
        return rc == 0 ? attributes : kInvalidAttributes;
    }, Record::Failures);
}

BOOL AGENTAPI AgentGetFileAttributesExW(AGENT_LOGON logon, const WCHAR *path, WIN32_FILE_ATTRIBUTE_DATA *data)
{
    if (data == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return RunYesNo(logon, [&](AgentConnection &c) {
        return QueryPath(c, OpGetFileAttributesEx, path, [&](ACE_InputCDR &in) { return ReadAttributeData(in, *data); });
    });
}

BOOL AGENTAPI AgentSetFileAttributesW(AGENT_LOGON logon, const WCHAR *path, DWORD attributes)
{
    return RunYesNo(logon, [&](AgentConnection &c) { return SetAttributes(c, path, attributes); });
}

BOOL AGENTAPI AgentCreateDirectoryW(AGENT_LOGON logon, const WCHAR *path)
{
    return RunYesNo(logon, [&](AgentConnection &c) { return c.RunStringRequest(OpCreateDirectory, path); });
}

// The misspelt second name is part of the published interface. On ELF
// targets it is an alias of the same entry point; PE builds export it
// from the module definition file instead, so no second body exists there.
#if defined(__ELF__)
BOOL AGENTAPI AgetnCreateDirectoryW(AGENT_LOGON logon, const WCHAR *path)
    __attribute__((alias("AgentCreateDirectoryW")));
#endif

BOOL AGENTAPI AgentRemovePath(AGENT_LOGON logon, const WCHAR *path)
{
    return RunYesNo(logon, [&](AgentConnection &c) { return c.RunStringRequest(OpRemovePath, path); });
}

BOOL AGENTAPI AgentMoveFile(AGENT_LOGON logon, const WCHAR *source, const WCHAR *target)
{
    return RunYesNo(logon, [&](AgentConnection &c) { return MoveFile(c, source, target); });
}

} // extern "C"
