#include "wire.h"

#include "protocol/fss_util.h"
#include "protocol/status_reply.h"
#include "util/utf.h"

#include <cctype>
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
    std::string digits;
    for (char c : text)
        if (std::isxdigit(static_cast<unsigned char>(c)))
            digits += c;
    if (digits.size() % 2 != 0)
        throw std::invalid_argument("odd number of hex digits");
    Bytes out;
    for (size_t i = 0; i < digits.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
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

Bytes RequestBytes(uint32_t opcode, const Payload &payload)
{
    Bytes out = Header(1, opcode, static_cast<uint32_t>(payload.size()));
    out.insert(out.end(), payload.bytes().begin(), payload.bytes().end());
    return out;
}

Bytes BareRequest(uint32_t opcode) { return Header(1, opcode, 0); }

} // namespace fake
