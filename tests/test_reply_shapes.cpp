// The transport's one receive: AgentConnection::Receive against every reply
// shape an exchange can declare, fed by the fake agent.
#include "fake_agent.h"
#include "wire.h"

#include "transport/agent_connection.h"

#include <ace/INET_Addr.h>
#include <gtest/gtest.h>

#include <string>

using namespace agent;
using fake::Bytes;
using fake::Payload;

namespace {

class ReplyShapeTest : public ::testing::Test {
protected:
    void SetUp() override { address_.set(agent_.port(), "127.0.0.1"); }
    fake::FakeAgent agent_;
    ACE_INET_Addr address_;
};

} // namespace

// Every reply shape against every way a reply can break it: 13 for a reply
// of another shape, 10040 for one announcing more than 64 MiB (before any
// allocation), 10054 for a peer closing mid-message; a connection that
// failed is never used again. A status-only reply tests no header field,
// and a stream header's length only says whether entries follow.
TEST_F(ReplyShapeTest, EveryShapeRefusesWhatBreaksIt)
{
    constexpr uint32_t op = OpGetPstCount; // any request: the shape decides
    const ReplyShape shapes[] = {ReplyShape::Status(op), ReplyShape::Minimum(op, 8), ReplyShape::Exact(op, 8),
                                 ReplyShape::WithData(op, 8), ReplyShape::Stream(op)};
    const char *const shapeNames[] = {"status only", "at least 8", "exactly 8", "8 then data", "stream header"};
    const Bytes eight = Payload().u32(0).u32(1).bytes();
    const DWORD ok = 0;
    const struct {
        const char *name;
        fake::Action answer;
        DWORD expected[5]; // per shape, in the order above; 0 accepted
    } breaks[] = {
        {"well formed", fake::Send(fake::Concat({fake::Header(2, op, 8), eight})), {ok, ok, ok, ok, ok}},
        {"another opcode", fake::Send(fake::Concat({fake::Header(2, op + 1, 8), eight})), {ok, 13, 13, 13, 13}},
        {"request kind", fake::Send(fake::Concat({fake::Header(1, op, 8), eight})), {ok, 13, 13, 13, 13}},
        {"no status word", fake::Send(fake::Header(2, op, 0)), {13, 13, 13, 13, ok}},
        {"status word only", fake::Send(fake::StatusReply(op, 0)), {ok, 13, 13, 13, ok}},
        {"longer", fake::Send(fake::Reply(op, Payload().u32(0).u32(1).u32(2))), {ok, ok, 13, 13, ok}},
        {"more than 64 MiB", fake::Send(fake::Header(2, op, static_cast<uint32_t>(kMaxPayloadLength) + 1)),
         {10040, 10040, 10040, 10040, ok}},
        {"4 GiB less 16", fake::Send(fake::Header(2, op, 0xFFFFFFF0u)), {10040, 10040, 10040, 10040, ok}},
        {"closed inside the header", fake::Send(fake::Hex("01 00 02")).ThenClose(), {10054, 10054, 10054, 10054, 10054}},
        {"closed inside the payload", fake::Send(fake::Concat({fake::Header(2, op, 8), fake::Hex("00 00")})).ThenClose(),
         {10054, 10054, 10054, 10054, ok}},
    };
    for (const auto &b : breaks) {
        for (size_t i = 0; i < 5; ++i) {
            SCOPED_TRACE(std::string(b.name) + ", " + shapeNames[i]);
            AgentConnection c;
            ASSERT_EQ(c.Connect(address_), 0) << GetLastError();
            agent_.Queue(op, b.answer);
            ASSERT_EQ(c.SendBareRequest(op), 0);
            SetLastError(0);
            MessageHeader header;
            ACE_InputCDR *in = c.Receive(shapes[i], header);
            if (b.expected[i] == ok) {
                EXPECT_NE(in, nullptr) << GetLastError();
                EXPECT_EQ(c.state, Connected);
                continue;
            }
            EXPECT_EQ(in, nullptr);
            EXPECT_EQ(GetLastError(), b.expected[i]);
            EXPECT_EQ(c.state, Closed);
            EXPECT_EQ(c.ReceiveBufferSize(), kReceiveBufferSize);
        }
    }
}

