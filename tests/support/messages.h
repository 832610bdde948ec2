// Well-formed messages of the search, path-list, user-data and mail-store
// families, encoded through the protocol codecs (malformed ones are built
// by hand with wire.h, which is their point).
#ifndef AGENT_TEST_MESSAGES_H
#define AGENT_TEST_MESSAGES_H

#include "fake_agent.h"
#include "wire.h"

#include <ace/CDR_Stream.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace fake {

// What `encode` writes into a CDR stream. Encoders write little-endian
// only (ACE swaps on reading, not on writing), as every sender we have
// does; a big-endian sender's bytes are built by hand with Payload(true).
Payload Encoded(const std::function<bool(ACE_OutputCDR &)> &encode);

// A reply or a request of `opcode` carrying what `encode` writes.
Bytes ReplyOf(uint32_t opcode, const Encoder &encode);
Bytes RequestOf(uint32_t opcode, const Encoder &encode);

// The encoder of a message it takes whole.
template <typename Message>
Encoder Writes(bool (*encode)(ACE_OutputCDR &, const Message &), const Message &message)
{
    return [=](ACE_OutputCDR &out) { return encode(out, message); };
}

Bytes DiskSpaceReply(uint32_t status, uint32_t sectorsPerCluster, uint32_t bytesPerSector, uint32_t freeClusters,
                     uint32_t totalClusters);
Bytes OsVersionReply(uint32_t version);
// Status and, on 0, the path, as the reply to `opcode`.
Bytes PathReply(uint32_t opcode, uint32_t status, const WString &path);
Bytes PstCountReply(uint32_t status, uint32_t count);
Bytes PstListReply(const std::vector<std::pair<WString, WString>> &stores);

Bytes FindFirstRequest(const WString &pattern, int32_t value);
Bytes PathListRequest(const WString &path);
Bytes FolderPathRequest(uint32_t folder, uint32_t flag);

// A CDR input stream over a row's bytes (which must outlive it). CDR
// aligns by address: the bytes are a vector's own, so alignment counts
// from their first byte, as from a payload's on the wire.
ACE_InputCDR InputOver(const Bytes &bytes, bool bigEndian);

} // namespace fake

#endif
