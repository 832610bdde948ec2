// Golden-byte checks of the protocol codecs: a message written out by hand
// is decoded, encoded back, and delivered to the library in every way a
// socket may cut it.
#ifndef AGENT_TEST_GOLDEN_H
#define AGENT_TEST_GOLDEN_H

#include "fake_agent.h"
#include "messages.h"
#include "protocol/handle_messages.h"
#include "protocol/logon_messages.h"
#include "protocol/mail_store_messages.h"
#include "protocol/path_messages.h"
#include "protocol/search_messages.h"
#include "protocol/status_reply.h"
#include "protocol/user_data_messages.h"

#include <ace/CDR_Stream.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <tuple>

namespace fake {

// Decodes a payload and compares the values with the expected ones.
using Decoded = std::function<void(ACE_InputCDR &)>;

// What a row's payload must be: `encode` writes exactly its bytes,
// `decoded` checks what it decodes to, every byte used. Either may be null:
// no encoder writes a short or padded row, and a reply's values are
// checked where the export hands them out.
struct Codec {
    Encoder encode;
    Decoded decoded;
};

// A request's fields, so that a decoded one and the row's compare (and
// print) field by field.
inline uint64_t Ticks(const FILETIME &t) { return uint64_t(t.dwHighDateTime) << 32 | t.dwLowDateTime; }
inline auto Fields(const agent::protocol::ReadFileRequest &r) { return std::make_tuple(r.toRead); }
inline auto Fields(const agent::protocol::ReadFileAtRequest &r) { return std::make_tuple(r.toRead, r.offset); }
inline auto Fields(const agent::protocol::SetFilePointerRequest &r) { return std::make_tuple(r.distance, r.method); }
inline auto Fields(const agent::protocol::SetFileTimeRequest &r)
{
    return std::make_tuple(Ticks(r.creation), Ticks(r.lastAccess), Ticks(r.lastWrite));
}
inline auto Fields(const agent::protocol::CreateFileRequest &r)
{
    return std::make_tuple(r.flags, r.disposition, r.share, r.access, r.path);
}
inline auto Fields(const agent::protocol::SetFileAttributesRequest &r) { return std::make_tuple(r.path, r.attributes); }
inline auto Fields(const agent::protocol::MoveFileRequest &r) { return std::make_tuple(r.source, r.target); }
inline auto Fields(const agent::protocol::LogonRequest &r)
{
    return std::make_tuple(r.user, r.password, r.machineId, r.computerName, r.initial);
}
inline auto Fields(const agent::protocol::FindFirstRequest &r) { return std::make_tuple(r.pattern, r.value); }
inline auto Fields(const agent::protocol::MergePstRequest &r)
{
    return std::make_tuple(r.first, r.second, r.third, r.items);
}
inline auto Fields(const agent::protocol::GetFolderPathRequest &r) { return std::make_tuple(r.folder, r.flag); }
template <typename Plain>
auto Fields(const Plain &v)
{
    return std::make_tuple(v);
}

// A Windows record's bytes in hex, to compare one as the export filled it in.
template <typename Record>
std::string HexOf(const Record &r)
{
    Bytes out(sizeof r);
    std::memcpy(out.data(), &r, sizeof r);
    return ToHex(out);
}

// The payload decodes through `decode` to a message equal to `want`.
template <typename Message>
Decoded Is(bool (*decode)(ACE_InputCDR &, Message &), const Message &want)
{
    return [=](ACE_InputCDR &in) {
        Message got{};
        ASSERT_TRUE(decode(in, got));
        EXPECT_EQ(Fields(got), Fields(want));
    };
}

template <typename Message>
Codec Of(bool (*encode)(ACE_OutputCDR &, const Message &), bool (*decode)(ACE_InputCDR &, Message &),
         const Message &value)
{
    return {Writes(encode, value), Is(decode, value)};
}

// A status reply's encoder.
Encoder Status(uint32_t status);

// `payload` (in the given byte order) against `codec`.
void CheckPayload(const Bytes &payload, bool bigEndian, const Codec &codec);

// A request (header and payload): the codec, then (when `send` is set) the
// library's request, which `send` makes it send, is exactly these bytes.
void CheckRequest(FakeAgent &agent, const Bytes &message, const Codec &codec, const std::function<void()> &send);
struct RequestRow {
    const char *name;
    std::string hex;
    Codec codec;
    std::function<void()> send; // its outcome is not looked at
};
void CheckRequest(FakeAgent &agent, const RequestRow &row);

// Every delivery of `message` (whole, byte by byte, split at every point)
// queued for `opcode`, and `call` run once for each, checking what the
// library made of it.
void CheckDeliveries(FakeAgent &agent, uint32_t opcode, const Bytes &message, const std::function<void()> &call);
// A reply (header, payload and any raw data after it): the encoder, then
// every delivery.
void CheckReply(FakeAgent &agent, uint32_t opcode, const Bytes &message, const Encoder &encode,
                const std::function<void()> &call);
struct ReplyRow {
    const char *name;
    std::string hex;
    Encoder encode;
    std::function<void()> call;
    uint32_t queueFor = 0; // the request it answers, when not the header's opcode
};
void CheckReply(FakeAgent &agent, const ReplyRow &row);

// A row of a family's table of payloads: the bytes written out by hand (in
// the given byte order) and the values they carry.
template <typename Values>
struct PayloadRow {
    const char *label;
    bool bigEndian;
    const char *hex;
    Values expected;
    bool canonical = true; // what the encoder writes for these values
};

// A reply of `opcode` around a payload row (the header in its byte order).
template <typename Values>
void CheckReply(FakeAgent &agent, uint32_t opcode, const PayloadRow<Values> &row, const Encoder &encode,
                const std::function<void()> &call)
{
    SCOPED_TRACE(row.label);
    CheckReply(agent, opcode, Reply(opcode, Payload(row.bigEndian).raw(Hex(row.hex))), row.canonical ? encode : nullptr,
               call);
}

// Every field of a find-data record as the library hands it out.
void ExpectFindData(const WIN32_FIND_DATAW &data, const agent::protocol::FindRecord &r);

} // namespace fake

#endif
