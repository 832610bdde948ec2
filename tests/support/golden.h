// Golden-byte checks of the protocol codecs: a message written out by hand
// is decoded, encoded back, and delivered to the library in every way a
// socket may cut it.
#ifndef AGENT_TEST_GOLDEN_H
#define AGENT_TEST_GOLDEN_H

#include "fake_agent.h"
#include "protocol/search_messages.h"
#include "wire.h"

#include <ace/CDR_Stream.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace fake {

// Decodes a payload and compares the values with the expected ones.
using Decoded = std::function<void(ACE_InputCDR &)>;

// The payload of `message` decodes to the expected values, leaving none of
// its bytes unread, and those values encode to the same bytes.
void CheckCodec(const Bytes &message, const Encoder &encode, const Decoded &expectDecoded);
// The same for a payload apart from its header; a null `encode` where the
// encoder writes other bytes for these values (a short or padded row).
void CheckPayload(const Bytes &payload, bool bigEndian, const Encoder &encode, const Decoded &expectDecoded);

// Every delivery of `message` (whole, byte by byte, split at every point)
// queued for `opcode`, and `call` run once for each.
void CheckDeliveries(FakeAgent &agent, uint32_t opcode, const Bytes &message, const std::function<void()> &call);

// Decodes the payload as a `Message` through `decode`, then checks it.
template <typename Message, typename Check>
Decoded Decodes(bool (*decode)(ACE_InputCDR &, Message &), Check check)
{
    return [=](ACE_InputCDR &in) {
        Message message{};
        ASSERT_TRUE(decode(in, message));
        check(message);
    };
}

// The status reply's encoder and expected decoding.
Encoder StatusOnly(uint32_t status);
Decoded IsStatusOnly(uint32_t status);

// A request: the codec as above, and (when `send` is set) the library's
// request is exactly these bytes.
struct RequestRow {
    const char *name;
    std::string hex; // header and payload
    Encoder encode;
    Decoded expectDecoded;
    std::function<void()> send; // makes the library send it; its outcome is not looked at
};
void CheckRequest(FakeAgent &agent, const RequestRow &row);

// A reply: the codec as above, then every delivery of the message queued
// for its opcode and `call` run once for each, checking what the library
// made of it.
struct ReplyRow {
    const char *name;
    std::string hex;     // header, payload and any raw data after it
    size_t trailing;     // raw bytes after the payload
    Encoder encode;
    Decoded expectDecoded;
    std::function<void()> call;
    uint32_t queueFor = 0; // the request it answers, when not the header's opcode
};
void CheckReply(FakeAgent &agent, const ReplyRow &row);

// Every field of a find-data record as the library hands it out.
void ExpectFindData(const WIN32_FIND_DATAW &data, const agent::protocol::FindRecord &r);

} // namespace fake

#endif
