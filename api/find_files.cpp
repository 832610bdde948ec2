// AgentFindFirstFileW, AgentFindFirstFile2W, AgentFindNextFileW.
#include "api/find_files.h"

#include "session/pending_handle.h"
#include "transport/entry_stream_receiver.h"
#include "protocol/search_messages.h"
#include "session/export_frame.h"

namespace agent {

namespace {

int SendFindFirst(AgentConnection &connection, const WCHAR *pattern, int32_t value)
{
    return connection.SendEncoded(
        OpFindFirst, [&](ACE_OutputCDR &out) { return protocol::EncodeFindFirstRequest(out, pattern, value); });
}

} // namespace

int FindFirst(AgentConnection &connection, const WCHAR *pattern, int32_t value, WIN32_FIND_DATAW &data)
{
    if (IsEmpty(pattern)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    if (connection.state != Ready) {
        SetLastError(ERROR_INVALID_ACCESS);
        return -1;
    }
    if (SendFindFirst(connection, pattern, value) != 0)
        return -1;
    const int opened = OpenEntryStream(connection, OpFindFirst, Enumerating);
    return opened != 0 ? opened : FindNext(connection, data);
}

int FindNext(AgentConnection &connection, WIN32_FIND_DATAW &data)
{
    return NextStreamRecord(connection, Enumerating, data, protocol::DecodeFindRecord);
}

bool SearchHasReadAhead(HANDLE search)
{
    HandleUse use(search, HandleKind::Search);
    return use.connection() != nullptr && use.connection()->ReadAhead() > 0;
}

} // namespace agent

using namespace agent;

extern "C" {

HANDLE AGENTAPI AgentFindFirstFile2W(AGENT_LOGON logon, const WCHAR *pattern, int32_t value, WIN32_FIND_DATAW *data)
{
    if (logon == nullptr || data == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return Guarded<HANDLE>(nullptr, [&]() -> HANDLE {
        return OpenStreamHandle(logon, HandleKind::Search, [&](AgentConnection &c) { return FindFirst(c, pattern, value, *data); });
    });
}

HANDLE AGENTAPI AgentFindFirstFileW(AGENT_LOGON logon, const WCHAR *pattern, WIN32_FIND_DATAW *data)
{
    return AgentFindFirstFile2W(logon, pattern, -1, data);
}

BOOL AGENTAPI AgentFindNextFileW(HANDLE search, WIN32_FIND_DATAW *data)
{
    if (search == nullptr || data == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return Guarded<BOOL>(0, [&]() -> BOOL {
        return StepStreamHandle(search, HandleKind::Search, [&](AgentConnection &c) { return FindNext(c, *data); });
    });
}

} // extern "C"
