#include "wire.h"

#include "protocol/fss_util.h"
#include "protocol/status_reply.h"
#include "util/utf.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace fake {

WString W(const char16_t *text)
{
    WString out;
    for (; text != nullptr && *text != 0; ++text)
        out.push_back(static_cast<WCHAR>(*text));
    return out;
}

WString Utf16(const std::string &utf8)
{
    WString out;
    if (!agent::util::Utf8ToUtf16(utf8.data(), utf8.size(), out))
        throw std::invalid_argument("not UTF-8: " + utf8);
    return out;
}

Bytes Hex(const std::string &text)
{
    Bytes out;
    int nibbles = 0;
    uint8_t value = 0;
    for (char c : text) {
        int v;
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'a' && c <= 'f')
            v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            v = c - 'A' + 10;
        else
            continue;
        value = static_cast<uint8_t>(value << 4 | v);
        if (++nibbles == 2) {
            out.push_back(value);
            nibbles = 0;
            value = 0;
        }
    }
    if (nibbles != 0)
        throw std::invalid_argument("odd number of hex digits");
    return out;
}

std::string ToHex(const Bytes &bytes)
{
    std::string out;
    char cell[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(cell, sizeof cell, i == 0 ? "%02x" : " %02x", bytes[i]);
        out += cell;
    }
    return out;
}

Payload &Payload::u16(uint16_t v)
{
    while (bytes_.size() % 2 != 0)
        bytes_.push_back(0);
    if (big_) {
        bytes_.push_back(static_cast<uint8_t>(v >> 8));
        bytes_.push_back(static_cast<uint8_t>(v));
    } else {
        bytes_.push_back(static_cast<uint8_t>(v));
        bytes_.push_back(static_cast<uint8_t>(v >> 8));
    }
    return *this;
}

Payload &Payload::u32(uint32_t v)
{
    align4();
    for (int i = 0; i < 4; ++i)
        bytes_.push_back(static_cast<uint8_t>(big_ ? v >> (24 - 8 * i) : v >> (8 * i)));
    return *this;
}

Payload &Payload::wstr(const WString &s)
{
    u32(static_cast<uint32_t>(s.size() * 2));
    for (WCHAR c : s)
        u16(static_cast<uint16_t>(c));
    return *this;
}

Payload &Payload::raw(const Bytes &b)
{
    bytes_.insert(bytes_.end(), b.begin(), b.end());
    return *this;
}

Payload &Payload::align4(uint8_t filler)
{
    while (bytes_.size() % 4 != 0)
        bytes_.push_back(filler);
    return *this;
}

Bytes Header(uint16_t kind, uint32_t opcode, uint32_t length, bool bigEndian)
{
    Payload p(bigEndian);
    p.u16(1).u16(kind).u32(opcode).u32(length);
    return p.bytes();
}

Bytes Reply(uint32_t opcode, const Payload &payload)
{
    Bytes out = Header(2, opcode, static_cast<uint32_t>(payload.size()), payload.bigEndian());
    out.insert(out.end(), payload.bytes().begin(), payload.bytes().end());
    return out;
}

Bytes StatusReply(uint32_t opcode, uint32_t status)
{
    ACE_OutputCDR out = agent::MakeOutputStream(16);
    agent::protocol::EncodeStatusReply(out, {status});
    out.consolidate();
    return Reply(opcode, Payload().raw(Bytes(out.begin()->rd_ptr(), out.begin()->wr_ptr())));
}

Bytes Chunk(const Payload &payload, bool bigEndianLength)
{
    Bytes out = Payload(bigEndianLength).u32(static_cast<uint32_t>(payload.size())).bytes();
    out.insert(out.end(), payload.bytes().begin(), payload.bytes().end());
    return out;
}

Bytes EndChunk() { return Bytes(4, 0); }

Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

PayloadOf::PayloadOf(const Bytes &message)
{
    if (message.size() < agent::kHeaderSize)
        throw std::invalid_argument("shorter than a header");
    big_ = !(message[0] == 1 && message[1] == 0);
    const uint8_t *l = &message[8];
    const uint32_t length = big_ ? uint32_t(l[0]) << 24 | uint32_t(l[1]) << 16 | uint32_t(l[2]) << 8 | l[3]
                                 : uint32_t(l[3]) << 24 | uint32_t(l[2]) << 16 | uint32_t(l[1]) << 8 | l[0];
    if (message.size() < agent::kHeaderSize + length)
        throw std::invalid_argument("shorter than its length");
    payload_.assign(message.begin() + agent::kHeaderSize, message.begin() + agent::kHeaderSize + length);
    Open();
}

PayloadOf::PayloadOf(const Bytes &payload, bool bigEndian) : payload_(payload), big_(bigEndian) { Open(); }

void PayloadOf::Open()
{
    storage_.assign(payload_.size() / 8 + 1, 0);
    if (!payload_.empty())
        std::memcpy(storage_.data(), payload_.data(), payload_.size());
    in_.reset(new ACE_InputCDR(reinterpret_cast<const char *>(storage_.data()), payload_.size(),
                               big_ ? ACE_CDR::BYTE_ORDER_BIG_ENDIAN : ACE_CDR::BYTE_ORDER_LITTLE_ENDIAN, 1, 2));
}

PayloadOf::~PayloadOf() = default;

Bytes RequestBytes(uint32_t opcode, const Payload &payload)
{
    Bytes out = Header(1, opcode, static_cast<uint32_t>(payload.size()));
    out.insert(out.end(), payload.bytes().begin(), payload.bytes().end());
    return out;
}

Bytes BareRequest(uint32_t opcode) { return Header(1, opcode, 0); }

} // namespace fake
