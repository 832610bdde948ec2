// AgentGetAgentPstCount, AgentGetPSTList, AgentMergePST: counting, listing
// and merging the agent's PST stores. The list and merge exports leave
// AgentGetLastError's value alone; hosts poll them and read the thread's
// last error.
#include "api/pst_stores.h"

#include "protocol/mail_store_messages.h"
#include "session/export_frame.h"

using namespace agent;

namespace agent {

namespace {

// After the shape test the status always decodes, so a failed decode is
// a field missing after a zero status (13; the whole reply has arrived, so
// the connection stays usable).
template <typename Reply>
int TakeReply(ACE_InputCDR &in, Reply &reply, bool (*decode)(ACE_InputCDR &, Reply &))
{
    const bool decoded = decode(in, reply);
    return ReplyVerdict(reply.status, decoded);
}

int SendBareRequest(AgentConnection &connection, uint32_t opcode)
{
    if (connection.state != Ready) {
        SetLastError(ERROR_INVALID_ACCESS);
        return -1;
    }
    return connection.SendBareRequest(opcode);
}

int DecodeStoreCount(ACE_InputCDR &in, DWORD &count)
{
    protocol::GetPstCountReply reply;
    if (TakeReply(in, reply, protocol::DecodeGetPstCountReply) != 0)
        return -1;
    const DWORD value = reply.count;
    // All ones is not a count any agent has; callers that size arrays from
    // it must not see it as one.
    if (value == 0xFFFFFFFFu) {
        SetLastError(ERROR_INVALID_DATA);
        return -1;
    }
    count = value;
    return 0;
}

int CountStores(AgentConnection &connection, DWORD &count)
{
    if (SendBareRequest(connection, OpGetPstCount) != 0)
        return -1;
    MessageHeader header;
    ACE_InputCDR *in = connection.Receive(ReplyShape::Minimum(OpGetPstCount, 4), header);
    if (in == nullptr)
        return -1;
    return DecodeStoreCount(*in, count);
}

int MergeStores(AgentConnection &connection, const WCHAR *first, const WCHAR *second, const WCHAR *third,
                const WCHAR *const *names, const DWORD *values, DWORD count)
{
    if (connection.state != Ready) {
        SetLastError(ERROR_INVALID_ACCESS);
        return -1;
    }
    ACE_OutputCDR payload = MakeOutputStream(kPayloadStreamSize);
    if (!protocol::EncodeMergePstRequest(payload, first, second, third, names, values, count)) {
        // Only an allocation failure or a request no agent would accept
        // (larger than any payload it may announce) gets here; nothing is sent.
        if (payload.good_bit())
            SetLastError(ERROR_INVALID_PARAMETER);
        else
            NoteOutOfMemory();
        return -1;
    }
    return connection.RunPayloadRequest(OpMergePst, payload);
}

} // namespace

int DecodeStoreList(ACE_InputCDR &in, AgentPstListCallback visit, void *context)
{
    protocol::GetPstListReply reply;
    if (TakeReply(in, reply, protocol::DecodeGetPstListReply) != 0)
        return -1;
    // The count is the agent's claim; the payload bounds what is read.
    for (uint32_t i = 0; i < reply.count; ++i) {
        OwnedWideString path, second;
        if (!protocol::DecodePstStore(in, path, second)) {
            SetLastError(ERROR_INVALID_DATA);
            return -1;
        }
        visit(path.get(), second.get(), context);
    }
    return 0;
}

int ListStores(AgentConnection &connection, AgentPstListCallback visit, void *context)
{
    if (SendBareRequest(connection, OpGetPstList) != 0)
        return -1;
    MessageHeader header;
    ACE_InputCDR *in = connection.Receive(ReplyShape::Minimum(OpGetPstList, 4), header);
    if (in == nullptr)
        return -1;
    return DecodeStoreList(*in, visit, context);
}

} // namespace agent

extern "C" {

BOOL AGENTAPI AgentGetAgentPstCount(AGENT_LOGON logon, DWORD *count)
{
    if (logon == nullptr || count == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // Also when no connection can be had: the host reads 0, not stale memory.
    *count = 0;
    return Guarded<BOOL>(0, [&]() -> BOOL {
        const int result = RunOnPooledConnection(logon, [&](AgentConnection &c) {
            DWORD value = 0;
            const int rc = CountStores(c, value);
            *count = rc == 0 ? value : 0;
            return rc;
        });
        return result == 0 ? 1 : 0;
    });
}

BOOL AGENTAPI AgentGetPSTList(AGENT_LOGON logon, AgentPstListCallback callback, void *context)
{
    if (logon == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return Guarded<BOOL>(0, [&]() -> BOOL {
        // The connection is taken before the callback is checked, so a
        // logon whose agent is unreachable reports that cause even with a
        // null callback; the failure is the thread's last error only.
        ConnectionHolder held(logon);
        if (callback == nullptr) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        if (held.get() == nullptr)
            return 0;
        return ListStores(*held.get(), callback, context) == 0 ? 1 : 0;
    }, Record::Never);
}

BOOL AGENTAPI AgentMergePST(AGENT_LOGON logon, const WCHAR *first, const WCHAR *second, const WCHAR *third,
                            const WCHAR *const *names, const DWORD *values, DWORD count)
{
    if (logon == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return Guarded<BOOL>(0, [&]() -> BOOL {
        ConnectionHolder held(logon);
        if (first == nullptr || IsEmpty(second) || IsEmpty(third) || names == nullptr || values == nullptr ||
            count == 0) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        if (held.get() == nullptr)
            return 0;
        return MergeStores(*held.get(), first, second, third, names, values, count) == 0 ? 1 : 0;
    }, Record::Never);
}

} // extern "C"
