// AgentGetAgentPstCount, AgentGetPSTList, AgentMergePST: counting, listing
// and merging the agent's PST stores. The list and merge exports leave
// AgentGetLastError's value alone; hosts poll them and read the thread's
// last error.
#include "api/pst_stores.h"

#include "session/checked_reply.h"

#include "protocol/wide_string.h"
#include "session/export_frame.h"

using namespace agent;

namespace agent {

namespace {

// The status word, and whether a field follows it.
int ReadStatusWithField(const MessageHeader &header, ACE_InputCDR &in)
{
    if (TakeStatus(in) != 0)
        return -1;
    return header.length >= 8 ? 0 : -1;
}

int SendBareRequest(AgentConnection &connection, uint32_t opcode)
{
    if (connection.state != Ready) {
        SetLastError(ERROR_INVALID_ACCESS);
        return -1;
    }
    return connection.SendBareRequest(opcode);
}

int DecodeStoreCount(AgentConnection &connection, const MessageHeader &header, ACE_InputCDR &in, DWORD &count)
{
    if (CheckMinimumReply(connection, header, OpGetPstCount) != 0 || ReadStatusWithField(header, in) != 0)
        return -1;
    ACE_CDR::ULong value = 0;
    if (!in.read_ulong(value))
        return -1;
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
    ACE_InputCDR *in = connection.ReceiveReply(header);
    if (in == nullptr)
        return -1;
    return DecodeStoreCount(connection, header, *in, count);
}

// Payload: three texts, the item count, then each item's name and value.
// A null item name goes out as an empty string.
bool EncodeMergeRequest(ACE_OutputCDR &payload, const WCHAR *first, const WCHAR *second, const WCHAR *third,
                        const WCHAR *const *names, const DWORD *values, DWORD count)
{
    if (!WriteWideString(payload, first) || !WriteWideString(payload, second) || !WriteWideString(payload, third) ||
        !payload.write_ulong(count))
        return false;
    for (DWORD i = 0; i < count; ++i) {
        if (!WriteWideString(payload, names[i]) || !payload.write_ulong(values[i]))
            return false;
        if (payload.total_length() > kMaxPayloadLength)
            return false;
    }
    return true;
}

int MergeStores(AgentConnection &connection, const WCHAR *first, const WCHAR *second, const WCHAR *third,
                const WCHAR *const *names, const DWORD *values, DWORD count)
{
    if (connection.state != Ready) {
        SetLastError(ERROR_INVALID_ACCESS);
        return -1;
    }
    ACE_OutputCDR payload = MakeOutputStream(kPayloadStreamSize);
    if (!EncodeMergeRequest(payload, first, second, third, names, values, count)) {
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

int DecodeStoreList(AgentConnection &connection, const MessageHeader &header, ACE_InputCDR &in,
                    AgentPstListCallback visit, void *context)
{
    if (CheckMinimumReply(connection, header, OpGetPstList) != 0 || ReadStatusWithField(header, in) != 0)
        return -1;
    ACE_CDR::ULong count = 0;
    if (!in.read_ulong(count))
        return -1;
    // The count is the agent's claim; the payload bounds what is read.
    for (ACE_CDR::ULong i = 0; i < count; ++i) {
        OwnedWideString path, second;
        if (!path.Read(in) || !second.Read(in))
            return -1;
        visit(path.get(), second.get(), context);
    }
    return 0;
}

int ListStores(AgentConnection &connection, AgentPstListCallback visit, void *context)
{
    if (SendBareRequest(connection, OpGetPstList) != 0)
        return -1;
    ACE_InputCDR in(static_cast<const char *>(nullptr), 0);
    MessageHeader header;
    if (connection.ReceiveReply(in, header) != 0)
        return -1;
    return DecodeStoreList(connection, header, in, visit, context);
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
