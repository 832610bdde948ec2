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
    const char *chunk = nullptr;
    uint32_t length = 0;
    const Result got = Next(chunk, length);
    if (got == Chunk)
        content = protocol::ChunkContent(chunk, length, contentOrder_);
    return got;
}

EntryStream::Result EntryStream::Next(const char *&chunk, uint32_t &length)
{
    const char *word = connection_.ReceiveFraming(protocol::kChunkLengthSize);
    if (word == nullptr)
        return Failed;
    length = 0;
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
    chunk = connection_.ReceiveIntoBuffer(length);
    return chunk != nullptr ? Chunk : Failed;
}

} // namespace agent
