// Golden-byte checks of the protocol codecs: a message written out by hand
// is decoded, encoded back, and delivered to the library in every way a
// socket may cut it.
#ifndef AGENT_TEST_GOLDEN_H
#define AGENT_TEST_GOLDEN_H

#include "fake_agent.h"
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

} // namespace fake

#endif
