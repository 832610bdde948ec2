// AgentPathFileExistsW, AgentPathIsRootW, AgentPathStripToRootW,
// AgentGetFileAttributesW, AgentGetFileAttributesExW, AgentSetFileAttributesW,
// AgentCreateDirectoryW (also exported as AgetnCreateDirectoryW),
// AgentRemovePath, AgentMoveFile.
//
// One exchange each on a pooled connection. Paths go to the agent as they
// are; the agent's verdict comes back as a result and a last error.
#include "protocol/path_messages.h"
#include "protocol/status_reply.h"
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

int SendPathRequest(AgentConnection &connection, uint32_t opcode, const WCHAR *path)
{
    return connection.SendEncoded(opcode,
                                  [&](ACE_OutputCDR &out) { return protocol::EncodePathRequest(out, path); });
}

// A path request answered by a Reply to the same opcode with at least a
// status word: the reply's stream, or null.
ACE_InputCDR *ExchangePath(AgentConnection &connection, uint32_t opcode, const WCHAR *path)
{
    if (CheckPathRequest(connection, path) != 0 || SendPathRequest(connection, opcode, path) != 0)
        return nullptr;
    MessageHeader header;
    return connection.Receive(ReplyShape::Minimum(opcode, 4), header);
}

int TakeVerdict(ACE_InputCDR &in)
{
    protocol::StatusReply reply;
    const bool decoded = protocol::DecodeStatusReply(in, reply);
    return ReplyVerdict(reply.status, decoded);
}

int TestPath(AgentConnection &connection, uint32_t opcode, const WCHAR *path)
{
    ACE_InputCDR *in = ExchangePath(connection, opcode, path);
    return in == nullptr ? -1 : TakeVerdict(*in);
}

// A request whose payload is the path alone, answered by a status and, on
// status 0, the attributes; bytes after them are ignored.
int QueryAttributes(AgentConnection &connection, const WCHAR *path, DWORD &attributes)
{
    ACE_InputCDR *in = ExchangePath(connection, OpGetFileAttributes, path);
    protocol::GetFileAttributesReply reply;
    if (in == nullptr)
        return -1;
    const bool decoded = protocol::DecodeGetFileAttributesReply(*in, reply);
    if (ReplyVerdict(reply.status, decoded) != 0)
        return -1;
    attributes = reply.attributes;
    return 0;
}

// The record's fields land in the caller's record as they are read: the
// decoder starts from the caller's values and everything it holds is
// copied back, even when the payload ends early.
int QueryAttributeData(AgentConnection &connection, const WCHAR *path, WIN32_FILE_ATTRIBUTE_DATA &data)
{
    ACE_InputCDR *in = ExchangePath(connection, OpGetFileAttributesEx, path);
    if (in == nullptr)
        return -1;
    protocol::GetFileAttributesExReply reply;
    reply.data = data;
    const bool decoded = protocol::DecodeGetFileAttributesExReply(*in, reply);
    data = reply.data;
    return ReplyVerdict(reply.status, decoded);
}

// The three yes/no path tests share one shape and one null-logon result.
BOOL PathTest(AgentLogon *logon, uint32_t opcode, const WCHAR *path)
{
    if (logon == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    return Guarded<BOOL>(0, [&]() -> BOOL {
        return RunOnPooledConnection(logon, [&](AgentConnection &c) {
                   return TestPath(c, opcode, path);
               }) == 0
                   ? 1
                   : 0;
    });
}

int SetAttributes(AgentConnection &connection, const WCHAR *path, DWORD attributes)
{
    if (CheckPathRequest(connection, path) != 0)
        return -1;
    if (connection.SendEncoded(OpSetFileAttributes, [&](ACE_OutputCDR &out) {
            return protocol::EncodeSetFileAttributesRequest(out, path, attributes);
        }) != 0)
        return -1;
    MessageHeader reply;
    ACE_InputCDR *in = connection.Receive(ReplyShape::Minimum(OpSetFileAttributes, 4), reply);
    return in == nullptr ? -1 : TakeVerdict(*in);
}

// A path request answered by a status read without any header test.
int ChangePath(AgentConnection &connection, uint32_t opcode, const WCHAR *path)
{
    if (CheckPathRequest(connection, path) != 0 || SendPathRequest(connection, opcode, path) != 0)
        return -1;
    return connection.ReceiveStatusResult(opcode);
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
    return connection.RunEncoded(
        OpMoveFile, [&](ACE_OutputCDR &out) { return protocol::EncodeMoveFileRequest(out, source, target); });
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
        const int rc =
            RunOnPooledConnection(logon, [&](AgentConnection &c) { return QueryAttributes(c, path, attributes); });
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
    return RunYesNo(logon, [&](AgentConnection &c) { return QueryAttributeData(c, path, *data); });
}

BOOL AGENTAPI AgentSetFileAttributesW(AGENT_LOGON logon, const WCHAR *path, DWORD attributes)
{
    return RunYesNo(logon, [&](AgentConnection &c) { return SetAttributes(c, path, attributes); });
}

BOOL AGENTAPI AgentCreateDirectoryW(AGENT_LOGON logon, const WCHAR *path)
{
    return RunYesNo(logon, [&](AgentConnection &c) { return ChangePath(c, OpCreateDirectory, path); });
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
    return RunYesNo(logon, [&](AgentConnection &c) { return ChangePath(c, OpRemovePath, path); });
}

BOOL AGENTAPI AgentMoveFile(AGENT_LOGON logon, const WCHAR *source, const WCHAR *target)
{
    return RunYesNo(logon, [&](AgentConnection &c) { return MoveFile(c, source, target); });
}

} // extern "C"
