#include "transport/entry_stream_receiver.h"

namespace agent {

int OpenEntryStream(AgentConnection &connection, uint32_t opcode, ConnectionState streaming)
{
    MessageHeader header;
    if (connection.Receive(ReplyShape::Stream(opcode), header) == nullptr)
        return -1;
    // The length only says whether entries follow; no payload of that size comes.
    if (header.length == 0) {
        connection.EndExchange();
        return 1;
    }
    connection.StreamByteOrder = header.byteOrder;
    connection.state = streaming;
    return 0;
}

EntryStream::Result EntryStream::Next(ACE_InputCDR &content)
{
    const char *word = connection_.ReceiveFraming(protocol::kChunkLengthSize);
    if (word == nullptr)
        return Failed;
    uint32_t length = 0;
    if (!protocol::DecodeChunkLength(word, lengthOrder_, length)) {
        connection_.Break();
        return Failed;
    }
    if (length == 0) {
        // Free for the next exchange, unless the agent sent more than the
        // stream (EndExchange then breaks it).
        connection_.state = Ready;
        connection_.EndExchange();
        return End;
    }
    // Refuses lengths above the bound (closing the connection) before
    // anything is allocated; otherwise the chunk replaces the length word at
    // the buffer's aligned start.
    const char *chunk = connection_.ReceiveIntoBuffer(length);
    if (chunk == nullptr)
        return Failed;
    content = protocol::ChunkContent(chunk, length, contentOrder_);
    return Chunk;
}

} // namespace agent
