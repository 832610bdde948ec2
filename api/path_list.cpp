// AgentGetPathList, AgentCancelPathList, AgentStopPathList.
#include "api/path_list.h"

#include "transport/entry_stream_receiver.h"
#include "protocol/path_list_messages.h"
#include "session/agent_logon.h"
#include "session/export_frame.h"

namespace agent {

namespace {

// The path lists running on this thread, innermost first, so that a
// callback can stop the list that called it (and only that one), also when
// it runs a path list of its own.
struct PathListRun {
    bool stopRequested = false;
    PathListRun *outer = nullptr;
};
thread_local PathListRun *currentRun = nullptr;

class RunScope {
public:
    RunScope()
    {
        run_.outer = currentRun;
        currentRun = &run_;
    }
    ~RunScope() { currentRun = run_.outer; }
    RunScope(const RunScope &) = delete;
    RunScope &operator=(const RunScope &) = delete;
    bool StopRequested() const { return run_.stopRequested; }

private:
    PathListRun run_;
};

int Fail(AgentConnection &connection, DWORD error)
{
    SetLastError(error);
    connection.Break();
    return -1;
}

// Whether a wide string could start at the stream's position: its u32 count,
// after alignment, must fit. Fewer bytes are the chunk's trailing padding.
bool RoomForString(ACE_InputCDR &in, const char *chunkStart)
{
    const size_t offset = static_cast<size_t>(in.rd_ptr() - chunkStart);
    const size_t padding = (4 - offset % 4) % 4;
    return in.length() >= padding + 4;
}

enum class ChunkResult { Done, Stopped, Failed };

// Hands every entry of one chunk to the callback.
ChunkResult DeliverChunk(AgentConnection &connection, ACE_InputCDR &chunk, const RunScope &run,
                         AgentPathListCallback callback, void *context)
{
    const char *start = chunk.rd_ptr();
    WIN32_FIND_DATAW data;
    OwnedWideString path;
    for (bool first = true;; first = false) {
        const bool room = RoomForString(chunk, start);
        const protocol::PathListEntry entry = protocol::DecodePathListEntry(chunk, path, data);
        if (entry == protocol::PathListEntry::NoPath) {
            // A string cut off or longer than the chunk is a broken entry,
            // not the chunk's end: skipping it would lose entries silently.
            // A chunk without any entry is broken too: a list ends with the
            // 0 marker, and endless empty chunks would never reach a
            // callback that could stop them.
            if (room || first) {
                Fail(connection, ERROR_INVALID_DATA);
                return ChunkResult::Failed;
            }
            return ChunkResult::Done;
        }
        if (entry == protocol::PathListEntry::BadRecord) {
            Fail(connection, ERROR_INVALID_DATA);
            return ChunkResult::Failed;
        }
        callback(path.get(), &data, context);
        if (run.StopRequested())
            return ChunkResult::Stopped;
    }
}

} // namespace

int GetPathList(AgentConnection &connection, const WCHAR *path, AgentPathListCallback callback, void *context)
{
    if (callback == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    if (connection.state != Ready) {
        SetLastError(ERROR_INVALID_ACCESS);
        return -1;
    }
    if (connection.SendEncoded(OpGetPathList,
                               [&](ACE_OutputCDR &out) { return protocol::EncodeGetPathListRequest(out, path); }) != 0)
        return -1;
    MessageHeader header;
    if (connection.Receive(ReplyShape::Stream(OpGetPathList), header) == nullptr)
        return -1;
    // The stream follows whatever length the header announces.
    connection.StreamByteOrder = header.byteOrder;
    connection.state = Enumerating;
    return RunPathListStream(connection, callback, context);
}

int RunPathListStream(AgentConnection &connection, AgentPathListCallback callback, void *context)
{
    RunScope run;
    EntryStream stream(connection, protocol::kPathListLengthOrder, ByteOrderOf(connection.StreamByteOrder));
    while (connection.state == Enumerating) {
        ACE_InputCDR chunk(static_cast<const char *>(nullptr), 0);
        const EntryStream::Result got = stream.Next(chunk);
        if (got != EntryStream::Chunk)
            return got;
        switch (DeliverChunk(connection, chunk, run, callback, context)) {
        case ChunkResult::Failed:
            return -1;
        case ChunkResult::Stopped:
            // Where the agent resumes after a cancel is its own affair, so
            // the connection is not reused: tell the agent, then drop it.
            CancelPathList(connection);
            return Fail(connection, ERROR_CANCELLED);
        case ChunkResult::Done:
            break;
        }
        if (connection.SendBareRequest(OpNextPathList) != 0)
            return -1;
    }
    // Nothing else may move a streaming connection out of Enumerating; if
    // something did, its stream position is unknown.
    connection.Break();
    return -1;
}

int CancelPathList(AgentConnection &connection)
{
    if (connection.state != Enumerating) {
        SetLastError(ERROR_INVALID_ACCESS);
        return -1;
    }
    return connection.SendBareRequest(OpCancelPathList);
}

} // namespace agent

using namespace agent;

extern "C" {

BOOL AGENTAPI AgentGetPathList(AGENT_LOGON logon, const WCHAR *path, AgentPathListCallback callback, void *context)
{
    if (logon == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return Guarded<BOOL>(0, [&]() -> BOOL {
        ConnectionHolder connection(logon);
        if (connection.get() == nullptr)
            return 0;
        // FALSE in every case: hosts tell a complete list by the last
        // error ERROR_NO_MORE_FILES, which AgentGetLastError holds as well.
        if (GetPathList(*connection.get(), path, callback, context) == 1)
            SetLastError(ERROR_NO_MORE_FILES);
        return 0;
    }, Record::Always);
}

BOOL AGENTAPI AgentCancelPathList(AGENT_LOGON logon)
{
    if (logon == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return Guarded<BOOL>(0, [&]() -> BOOL {
        return RunOnPooledConnection(logon, [](AgentConnection &connection) { return CancelPathList(connection); }) == 0
                   ? 1
                   : 0;
    }, Record::Never);
}

BOOL AGENTAPI AgentStopPathList(void)
{
    if (currentRun == nullptr) {
        SetLastError(ERROR_INVALID_ACCESS);
        return 0;
    }
    currentRun->stopRequested = true;
    return 1;
}

} // extern "C"
