// Entry streams: what follows the reply header of a search, a drive
// enumeration or a path list. A sequence of chunks, each a u32 length N and
// N bytes of CDR that decode as a stream of their own; N = 0 ends it. The
// codec only: receiving the chunks belongs to the connection
// (entry_stream_receiver.h).
#ifndef AGENT_ENTRY_STREAM_H
#define AGENT_ENTRY_STREAM_H

#include <ace/CDR_Stream.h>

#include <cstddef>
#include <cstdint>

namespace agent {
namespace protocol {

constexpr size_t kChunkLengthSize = 4;

// The length word at `word` (kChunkLengthSize bytes) in the ACE_CDR byte
// order `order`; 0 is the end marker.
inline bool DecodeChunkLength(const char *word, int order, uint32_t &length)
{
    ACE_InputCDR stream(word, kChunkLengthSize, order, 1, 2);
    ACE_CDR::ULong value = 0;
    if (!stream.read_ulong(value))
        return false;
    length = value;
    return true;
}

// A chunk's bytes as a CDR stream of their own. CDR aligns by address, so
// `chunk` must start on an 8-byte boundary for alignment to count from the
// chunk's first byte.
inline ACE_InputCDR ChunkContent(const char *chunk, size_t length, int order)
{
    return ACE_InputCDR(chunk, length, order, 1, 2);
}

} // namespace protocol
} // namespace agent

#endif
