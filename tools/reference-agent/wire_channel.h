// The agent's side of the framing: one request in (header and whole
// payload, bounded), replies out in the shapes clients read.
#ifndef REFAGENT_WIRE_CHANNEL_H
#define REFAGENT_WIRE_CHANNEL_H

#include "protocol/fss_util.h"

#include <ace/CDR_Stream.h>
#include <ace/SOCK_Stream.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace refagent {

// The largest request accepted before a logon: a logon with generous
// names fits, a memory-eating announcement does not.
constexpr uint32_t kMaxPreLogonPayload = 4096;

// What one request may cost in time and memory.
struct ReadLimits {
    uint32_t maxPayload = agent::kMaxPayloadLength;
    // Longest wait for the first byte; zero waits for ever.
    std::chrono::milliseconds firstByte{0};
    // Longest wait for any further byte once a request has begun.
    std::chrono::milliseconds stall{30000};
    // No wait reaches past this, when set (the logon deadline).
    std::chrono::steady_clock::time_point deadline{};
};

// Decodes a request header (its first u16 read little-endian, the rest in
// the byte order it announces); false when it is not a request.
bool DecodeRequestHeader(const char (&raw)[agent::kHeaderSize], agent::MessageHeader &header);

class WireChannel {
public:
    explicit WireChannel(ACE_SOCK_Stream &stream) : stream_(stream) {}

    enum class Read { Ok, Closed, Malformed, TimedOut };
    // A request header followed by its payload. Malformed: not a request,
    // or a payload above the bound. The payload buffer grows with the bytes
    // that arrive, never ahead of them on the announced length alone.
    Read ReadRequest(agent::MessageHeader &header, const ReadLimits &limits = ReadLimits());
    // Sends give up when the client takes nothing for this long.
    void SetSendStall(std::chrono::milliseconds stall) { sendStall_ = stall; }
    // The last request's payload, decoded in the sender's byte order.
    ACE_InputCDR PayloadStream() const;
    const char *Payload() const { return reinterpret_cast<const char *>(buffer_.data()); }
    size_t PayloadLength() const { return length_; }

    // Header with the payload's length, then the payload.
    bool SendReply(uint32_t opcode, ACE_OutputCDR &payload);
    bool SendStatus(uint32_t opcode, uint32_t status);
    // As SendReply, with raw bytes after the payload that its length does
    // not count (read replies).
    bool SendReplyWithData(uint32_t opcode, ACE_OutputCDR &payload, const void *data, size_t size);
    // A header alone, for entry-stream openers; `length` is not followed by bytes.
    bool SendHeaderOnly(uint32_t opcode, uint32_t length);
    bool SendRaw(const void *data, size_t size);

private:
    static Read NoBytes(ssize_t r);
    bool SendParts(const void *a, size_t na, const void *b, size_t nb, const void *c, size_t nc);
    // Receives up to n bytes within the wait; -1 on time-out (errno ETIME).
    // expectWait: the bytes are not likely to be there yet.
    ssize_t ReceiveSome(void *data, size_t n, std::chrono::milliseconds wait, const ReadLimits &limits,
                        bool expectWait);

    ACE_SOCK_Stream &stream_;
    std::vector<uint64_t> buffer_; // 8-aligned, so CDR alignment counts from the payload start
    size_t length_ = 0;
    uint16_t byteOrder_ = 1;
    std::chrono::milliseconds sendStall_{30000};
};

// Collects entry-stream chunks (u32 length, little-endian, then the CDR
// record) and sends them in batches.
class ChunkWriter {
public:
    explicit ChunkWriter(WireChannel &channel) : channel_(channel) {}
    bool Add(ACE_OutputCDR &record);
    bool Flush();
    // The zero length that ends the stream, then a flush.
    bool End();
    size_t Pending() const { return pending_.size(); }

private:
    WireChannel &channel_;
    std::string pending_;
};

} // namespace refagent

#endif
