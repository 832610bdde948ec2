#include "golden.h"

#include "messages.h"

namespace fake {

namespace {
uint32_t OpcodeOf(const Bytes &message)
{
    const bool big = !(message[0] == 1 && message[1] == 0);
    const uint8_t *o = &message[4];
    return big ? uint32_t(o[0]) << 24 | uint32_t(o[1]) << 16 | uint32_t(o[2]) << 8 | o[3]
               : uint32_t(o[3]) << 24 | uint32_t(o[2]) << 16 | uint32_t(o[1]) << 8 | o[0];
}
} // namespace

Codec StatusOnly(uint32_t status)
{
    return Of(agent::protocol::EncodeStatusReply, agent::protocol::DecodeStatusReply, {status});
}

Codec Bare()
{
    return {[](ACE_OutputCDR &) { return true; }, [](ACE_InputCDR &) {}};
}

void CheckPayload(const Bytes &payload, bool bigEndian, const Codec &codec)
{
    PayloadOf reader(payload, bigEndian);
    codec.decoded(reader.in());
    EXPECT_EQ(reader.in().length(), 0u) << "the decoder left bytes of the layout unread";
    // ACE writes in the host's byte order only (every sender we build is
    // little-endian), so a big-endian message is checked by decoding alone.
    if (!bigEndian && codec.encode) {
        EXPECT_EQ(ToHex(EncodedBytes(codec.encode)), ToHex(payload)) << "encoded";
    }
}

void CheckCodec(const Bytes &message, const Codec &codec)
{
    PayloadOf payload(message);
    CheckPayload(payload.bytes(), payload.bigEndian(), codec);
}

void CheckDeliveries(FakeAgent &agent, uint32_t opcode, const Bytes &message, const std::function<void()> &call)
{
    for (auto &delivery : Deliveries(message)) {
        SCOPED_TRACE(delivery.first);
        agent.Queue(opcode, delivery.second);
        call();
        if (::testing::Test::HasFailure())
            return; // one cut's failure tells enough
    }
}

void CheckRequest(FakeAgent &agent, const RequestRow &row)
{
    SCOPED_TRACE(row.name);
    const Bytes message = Hex(row.hex);
    CheckCodec(message, row.codec);
    if (!row.send)
        return;
    const uint32_t opcode = OpcodeOf(message);
    const size_t before = agent.CountOf(opcode);
    row.send();
    ASSERT_TRUE(agent.WaitUntil([&] { return agent.CountOf(opcode) > before; }));
    EXPECT_EQ(ToHex(agent.RequestsOf(opcode).back().raw()), ToHex(message)) << "sent by the library";
}

void CheckReply(FakeAgent &agent, const ReplyRow &row)
{
    SCOPED_TRACE(row.name);
    const Bytes message = Hex(row.hex);
    CheckCodec(Bytes(message.begin(), message.end() - static_cast<long>(row.trailing)), row.codec);
    CheckDeliveries(agent, row.queueFor != 0 ? row.queueFor : OpcodeOf(message), message, row.call);
}

Bytes ReplyAround(uint32_t opcode, const Bytes &payload, bool bigEndian)
{
    return Reply(opcode, Payload(bigEndian).raw(payload));
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
