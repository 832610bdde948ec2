#include "golden.h"

#include "messages.h"

#include "protocol/fss_util.h"
#include "protocol/status_reply.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

namespace fake {

uint32_t OpcodeOf(const Bytes &message)
{
    const bool big = !(message[0] == 1 && message[1] == 0);
    const uint8_t *o = &message[4];
    return big ? uint32_t(o[0]) << 24 | uint32_t(o[1]) << 16 | uint32_t(o[2]) << 8 | o[3]
               : uint32_t(o[3]) << 24 | uint32_t(o[2]) << 16 | uint32_t(o[1]) << 8 | o[0];
}

void CheckCodec(const Bytes &message, const Encoder &encode, const Decoded &expectDecoded)
{
    PayloadOf payload(message);
    expectDecoded(payload.in());
    EXPECT_EQ(payload.in().length(), 0u) << "the decoder left bytes of the layout unread";
    // ACE writes in the host's byte order only (every sender we build is
    // little-endian), so a big-endian message is checked by decoding alone.
    if (!payload.bigEndian()) {
        EXPECT_EQ(ToHex(EncodedBytes(encode)), ToHex(payload.bytes())) << "encoded";
    }
}

Encoder StatusOnly(uint32_t status)
{
    return [=](ACE_OutputCDR &out) { return agent::protocol::EncodeStatusReply(out, {status}); };
}

Decoded IsStatusOnly(uint32_t status)
{
    return [=](ACE_InputCDR &in) {
        agent::protocol::StatusReply r;
        ASSERT_TRUE(agent::protocol::DecodeStatusReply(in, r));
        EXPECT_EQ(r.status, status);
    };
}

void CheckRequest(FakeAgent &agent, const RequestRow &row)
{
    SCOPED_TRACE(row.name);
    const Bytes message = Hex(row.hex);
    CheckCodec(message, row.encode, row.expectDecoded);
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
    CheckCodec(Bytes(message.begin(), message.end() - static_cast<long>(row.trailing)), row.encode,
               row.expectDecoded);
    const uint32_t opcode = row.queueFor != 0 ? row.queueFor : OpcodeOf(message);
    for (auto &delivery : Deliveries(message)) {
        SCOPED_TRACE(delivery.first);
        agent.Queue(opcode, delivery.second);
        row.call();
        if (::testing::Test::HasFailure())
            return; // one cut's failure tells enough
    }
}

} // namespace fake
