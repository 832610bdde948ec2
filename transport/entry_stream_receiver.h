// Receiving an entry stream (its chunks are described with their codec in
// protocol/entry_stream.h) from a connection.
//
// Chunks are pulled one at a time into the connection's receive buffer, so
// a stream of any length is read in the memory of its largest chunk.
#ifndef AGENT_ENTRY_STREAM_RECEIVER_H
#define AGENT_ENTRY_STREAM_RECEIVER_H

#include "protocol/entry_stream.h"
#include "protocol/fss_util.h"
#include "transport/agent_connection.h"

#include <ace/CDR_Stream.h>

namespace agent {

class EntryStream {
public:
    // lengthOrder decodes the chunk length words, contentOrder the chunks
    // (ACE_CDR byte-order values; see ByteOrderOf).
    EntryStream(AgentConnection &connection, int lengthOrder, int contentOrder)
        : connection_(connection), lengthOrder_(lengthOrder), contentOrder_(contentOrder)
    {
    }

    // The values are the stream readers' own results.
    enum Result { Chunk = 0, End = 1, Failed = -1 };

    // Reads the next chunk. Chunk: `content` is positioned over exactly the
    // chunk's bytes, alignment counting from its first byte, valid until the
    // next receive on the connection. End: the end marker was read and the
    // connection is Ready (Closed when bytes followed the marker). Failed:
    // short receive or a length above kMaxPayloadLength (last error
    // WSAEMSGSIZE); the connection is Closed either way.
    Result Next(ACE_InputCDR &content);
    // The same, with the chunk's bytes (aligned to 8) and length instead of
    // a stream over them.
    Result Next(const char *&chunk, uint32_t &length);

private:
    AgentConnection &connection_;
    int lengthOrder_;
    int contentOrder_;
};

// After the request of a search or drive enumeration has gone out: takes
// the reply header. 1 when it announces no entries (length 0), 0 with the
// connection in the `streaming` state, -1 on failure.
int OpenEntryStream(AgentConnection &connection, uint32_t opcode, ConnectionState streaming);

// The next record of a search or drive enumeration: 0 with `record` filled
// by `read(chunk, record)`, 1 at the end marker, -1 on failure (12 when
// the connection is not `streaming`, ERROR_INVALID_DATA for a record that
// cannot be decoded, so that it is never mistaken for the end of a stream).
template <typename Record, typename Reader>
int NextStreamRecord(AgentConnection &connection, ConnectionState streaming, Record &record, Reader read)
{
    if (connection.state != streaming) {
        SetLastError(ERROR_INVALID_ACCESS);
        return -1;
    }
    const int order = ByteOrderOf(connection.StreamByteOrder);
    EntryStream stream(connection, order, order);
    const char *bytes = nullptr;
    uint32_t length = 0;
    const EntryStream::Result got = stream.Next(bytes, length);
    if (got != EntryStream::Chunk)
        return got;
    // One stream per record, made once: a listing reads them by the thousand.
    ACE_InputCDR chunk = protocol::ChunkContent(bytes, length, order);
    if (!read(chunk, record)) {
        SetLastError(ERROR_INVALID_DATA);
        return -1;
    }
    return 0;
}

} // namespace agent

#endif
