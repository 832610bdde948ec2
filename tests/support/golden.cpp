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

void CheckPayload(const Bytes &payload, bool bigEndian, const Encoder &encode, const Decoded &expectDecoded)
{
    PayloadOf reader(payload, bigEndian);
    expectDecoded(reader.in());
    EXPECT_EQ(reader.in().length(), 0u) << "the decoder left bytes of the layout unread";
    // ACE writes in the host's byte order only (every sender we build is
    // little-endian), so a big-endian message is checked by decoding alone.
    if (!bigEndian && encode) {
        EXPECT_EQ(ToHex(EncodedBytes(encode)), ToHex(payload)) << "encoded";
    }
}

void CheckCodec(const Bytes &message, const Encoder &encode, const Decoded &expectDecoded)
{
    PayloadOf payload(message);
    CheckPayload(payload.bytes(), payload.bigEndian(), encode, expectDecoded);
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
    CheckDeliveries(agent, row.queueFor != 0 ? row.queueFor : OpcodeOf(message), message, row.call);
}

void ExpectFindData(const WIN32_FIND_DATAW &data, const agent::protocol::FindRecord &r)
{
    EXPECT_EQ(data.dwFileAttributes, r.attributes);
    EXPECT_EQ(data.ftCreationTime.dwLowDateTime, r.creation.dwLowDateTime);
    EXPECT_EQ(data.ftCreationTime.dwHighDateTime, r.creation.dwHighDateTime);
    EXPECT_EQ(data.ftLastAccessTime.dwLowDateTime, r.lastAccess.dwLowDateTime);
    EXPECT_EQ(data.ftLastAccessTime.dwHighDateTime, r.lastAccess.dwHighDateTime);
    EXPECT_EQ(data.ftLastWriteTime.dwLowDateTime, r.lastWrite.dwLowDateTime);
    EXPECT_EQ(data.ftLastWriteTime.dwHighDateTime, r.lastWrite.dwHighDateTime);
    EXPECT_EQ(data.nFileSizeLow, r.sizeLow);
    EXPECT_EQ(data.nFileSizeHigh, r.sizeHigh);
    EXPECT_EQ(WString(data.cFileName), r.name);
    EXPECT_EQ(data.cAlternateFileName[0], 0);
    EXPECT_EQ(data.dwReserved0 | data.dwReserved1, 0u);
}

} // namespace fake
