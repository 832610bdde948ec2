// Byte builders for what an agent sends: headers, CDR payloads (with the
// payload-relative alignment of the wire), wide strings, entry-stream chunks.
#ifndef AGENT_TEST_WIRE_H
#define AGENT_TEST_WIRE_H

#include "agent_stub.h"

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

class ACE_InputCDR;
class ACE_OutputCDR;

namespace fake {

using Bytes = std::vector<uint8_t>;
using WString = std::basic_string<WCHAR>;

// A WCHAR string from a UTF-16 literal (WCHAR is wchar_t on Windows).
WString W(const char16_t *text);
// UTF-8 -> WCHAR string; std::invalid_argument for bytes that are not UTF-8.
WString Utf16(const std::string &utf8);

Bytes Hex(const std::string &text); // "01 00 0a ff" -> bytes
std::string ToHex(const Bytes &bytes);

// Builds a CDR payload. Alignment counts from the payload's first byte.
class Payload {
public:
    explicit Payload(bool bigEndian = false) : big_(bigEndian) {}
    Payload &u16(uint16_t v);
    Payload &u32(uint32_t v);
    Payload &wstr(const WString &s);
    Payload &wstr(const char16_t *s) { return wstr(W(s)); }
    Payload &filetime(uint32_t low, uint32_t high) { return u32(low).u32(high); }
    Payload &raw(const Bytes &b);
    // Pads to a 4-byte boundary with the given filler.
    Payload &align4(uint8_t filler = 0);
    const Bytes &bytes() const { return bytes_; }
    size_t size() const { return bytes_.size(); }
    bool bigEndian() const { return big_; }

private:
    bool big_;
    Bytes bytes_;
};

// A 12-byte header. `order` is the byte-order flag as the sender writes it.
Bytes Header(uint16_t kind, uint32_t opcode, uint32_t length, bool bigEndian = false);
// Header of kind 2 (reply) with the payload's size, then the payload.
Bytes Reply(uint32_t opcode, const Payload &payload);
// What a protocol encoder writes into a stream (messages.h).
using Encoder = std::function<bool(ACE_OutputCDR &)>;
// A reply carrying only a status word.
Bytes StatusReply(uint32_t opcode, uint32_t status);
// A u32 chunk length (little-endian unless told) followed by the payload.
Bytes Chunk(const Payload &payload, bool bigEndianLength = false);
Bytes EndChunk();
Bytes Concat(std::initializer_list<Bytes> parts);

// The bytes the library sends for a request with the given payload.
Bytes RequestBytes(uint32_t opcode, const Payload &payload);
Bytes BareRequest(uint32_t opcode);

} // namespace fake

#endif
