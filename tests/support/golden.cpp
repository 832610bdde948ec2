#include "golden.h"

#include "protocol/opcodes.h"

namespace fake {

namespace {
bool BigEndian(const Bytes &message) { return !(message[0] == 1 && message[1] == 0); }
// A header word (the opcode at 4, the length at 8) in the header's byte order.
uint32_t Word(const Bytes &message, size_t at)
{
    const uint8_t *w = &message[at];
    return BigEndian(message) ? uint32_t(w[0]) << 24 | uint32_t(w[1]) << 16 | uint32_t(w[2]) << 8 | w[3]
                              : uint32_t(w[3]) << 24 | uint32_t(w[2]) << 16 | uint32_t(w[1]) << 8 | w[0];
}
void CheckMessage(const Bytes &message, const Codec &codec)
{
    const auto payload = message.begin() + agent::kHeaderSize;
    CheckPayload(Bytes(payload, payload + Word(message, 8)), BigEndian(message), codec);
}
} // namespace

Encoder Status(uint32_t status) { return Writes(agent::protocol::EncodeStatusReply, {status}); }

void CheckPayload(const Bytes &payload, bool bigEndian, const Codec &codec)
{
    if (codec.decoded) {
        ACE_InputCDR in = InputOver(payload, bigEndian);
        codec.decoded(in);
        EXPECT_EQ(in.length(), 0u) << "the decoder left bytes of the layout unread";
    }
    // ACE writes in the host's byte order only (every sender we build is
    // little-endian), so a big-endian message is checked by decoding alone.
    if (!bigEndian && codec.encode) {
        EXPECT_EQ(ToHex(Encoded(codec.encode).bytes()), ToHex(payload)) << "encoded";
    }
}

void CheckRequest(FakeAgent &agent, const Bytes &message, const Codec &codec, const std::function<void()> &send)
{
    CheckMessage(message, codec);
    if (!send)
        return;
    const uint32_t opcode = Word(message, 4);
    const size_t before = agent.CountOf(opcode);
    send();
    ASSERT_TRUE(agent.WaitUntil([&] { return agent.CountOf(opcode) > before; }));
    EXPECT_EQ(ToHex(agent.RequestsOf(opcode).back().raw()), ToHex(message)) << "sent by the library";
}

void CheckRequest(FakeAgent &agent, const RequestRow &row)
{
    SCOPED_TRACE(row.name);
    CheckRequest(agent, Hex(row.hex), row.codec, row.send);
}

void CheckDeliveries(FakeAgent &agent, uint32_t opcode, const Bytes &message, const std::function<void()> &call)
{
    Action bytewise = Send(Bytes(message.begin(), message.begin() + 1));
    for (size_t i = 1; i < message.size(); ++i)
        bytewise.ThenSend(Bytes(message.begin() + i, message.begin() + i + 1), 1);
    for (size_t at = 0; at <= message.size() && !::testing::Test::HasFailure(); ++at) {
        SCOPED_TRACE(at == 0 ? "whole" : at == message.size() ? "byte by byte" : "split at " + std::to_string(at));
        agent.Queue(opcode, at == 0 ? Send(message)
                            : at == message.size()
                                ? bytewise
                                : Send(Bytes(message.begin(), message.begin() + at))
                                      .ThenSend(Bytes(message.begin() + at, message.end()), 1));
        call();
    }
}

void CheckReply(FakeAgent &agent, uint32_t opcode, const Bytes &message, const Encoder &encode,
                const std::function<void()> &call)
{
    CheckMessage(message, {encode, nullptr});
    CheckDeliveries(agent, opcode, message, call);
}

void CheckReply(FakeAgent &agent, const ReplyRow &row)
{
    SCOPED_TRACE(row.name);
    const Bytes message = Hex(row.hex);
    CheckReply(agent, row.queueFor != 0 ? row.queueFor : Word(message, 4), message, row.encode, row.call);
}

void ExpectFindData(const WIN32_FIND_DATAW &data, const agent::protocol::FindRecord &r)
{
    EXPECT_EQ(std::make_tuple(data.dwFileAttributes, Ticks(data.ftCreationTime), Ticks(data.ftLastAccessTime),
                              Ticks(data.ftLastWriteTime), data.nFileSizeLow, data.nFileSizeHigh,
                              WString(data.cFileName)),
              std::make_tuple(r.attributes, Ticks(r.creation), Ticks(r.lastAccess), Ticks(r.lastWrite), r.sizeLow,
                              r.sizeHigh, r.name));
    EXPECT_EQ(data.cAlternateFileName[0], 0);
    EXPECT_EQ(data.dwReserved0 | data.dwReserved1, 0u);
}

} // namespace fake
