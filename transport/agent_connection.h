// One logged-on TCP connection to an agent: socket, receive buffer, state,
// and the send/receive primitives every exchange is built from.
#ifndef AGENT_CONNECTION_H
#define AGENT_CONNECTION_H

#include "protocol/fss_util.h"

#include <ace/INET_Addr.h>
#include <ace/Message_Block.h>
#include <ace/SOCK_Stream.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

namespace agent {

class CallWatch;

enum ConnectionState : uint32_t {
    Closed = 0,
    Connected = 1,
    Ready = 2,
    Enumerating = 3,
    FileOpen = 4,
    DriveEnumerating = 5,
};

// The shape of reply an exchange expects; Receive checks it.
struct ReplyShape {
    enum Form : uint8_t {
        // A status word, read without testing any header field: agents
        // answer some requests with another opcode and rely on that.
        StatusOnly,
        // A Reply to the opcode of at least `length` payload bytes.
        AtLeast,
        // A Reply to the opcode of exactly `length` payload bytes.
        Exactly,
        // Exactly, then raw data that the caller receives (ReceiveData).
        DataFollows,
        // A Reply header to the opcode alone: entry-stream chunks follow it
        // and its length only says whether any do.
        StreamHeader,
    };
    Form form;
    uint32_t opcode;
    uint32_t length;

    static ReplyShape Status(uint32_t opcode) { return {StatusOnly, opcode, 4}; }
    static ReplyShape Minimum(uint32_t opcode, uint32_t length) { return {AtLeast, opcode, length}; }
    static ReplyShape Exact(uint32_t opcode, uint32_t length) { return {Exactly, opcode, length}; }
    static ReplyShape WithData(uint32_t opcode, uint32_t length) { return {DataFollows, opcode, length}; }
    static ReplyShape Stream(uint32_t opcode) { return {StreamHeader, opcode, 0}; }
};

// The verdict on a decoded reply: 0; -1 with a non-zero status as the
// last error; or -1 with 13 when a zero status lacks the fields it
// promises (the reply has arrived whole, so the connection stays usable).
inline int ReplyVerdict(uint32_t status, bool decoded)
{
    if (status != 0 || !decoded) {
        SetLastError(status != 0 ? status : static_cast<DWORD>(ERROR_INVALID_DATA));
        return -1;
    }
    return 0;
}

constexpr size_t kReceiveBufferSize = 20488;
// A receive buffer grown past this for one large reply goes back to
// kReceiveBufferSize when the exchange ends, so idle connections stay small.
constexpr size_t kReceiveBufferShrinkAbove = 256 * 1024;

class AgentConnection {
public:
    AgentConnection();
    ~AgentConnection(); // closes the socket without any exchange
    AgentConnection(const AgentConnection &) = delete;
    AgentConnection &operator=(const AgentConnection &) = delete;

    ConnectionState state = Closed;
    uint32_t StreamByteOrder = 1;
    // The logon that made this connection; a connection is only ever
    // pooled or closed through its own logon.
    const ::AgentLogon *owner = nullptr;

    // All return 0 on success and -1 on failure, the cause in the thread's
    // last error. Transport failures put the connection into Closed.
    // connectMs 0 waits as long as the system lets a connect take. Turns
    // on keepalive, and a time-out of WSAETIMEDOUT (10060).
    int Connect(const ACE_INET_Addr &address, DWORD connectMs = 0);
    // Every later send and receive fails with WSAETIMEDOUT (and closes
    // the connection) when it takes longer than `ioMs`; 0 waits for ever.
    int SetIoTimeout(DWORD ioMs);
    // The whole of `payload` behind a request header for `opcode`.
    int SendPayload(uint32_t opcode, ACE_OutputCDR &payload);
    // Header and the caller's bytes in one gathered write, no copy: the
    // request shape whose payload is raw data.
    int SendDataRequest(uint32_t opcode, const void *data, uint32_t length);
    int SendStringRequest(uint32_t opcode, const WCHAR *text);
    // A request built in the connection's own buffer, without allocating:
    // StartRequest leaves the returned stream after the header, the caller
    // writes the payload into it, and SendStartedRequest sends the whole
    // message in one write. The stream is valid until the next request.
    ACE_OutputCDR &StartRequest(uint32_t opcode);
    int SendStartedRequest();
    // SendStartedRequest, then ReceiveStatusResult.
    int RunStartedRequest();
    // StartRequest, the payload from `encode(ACE_OutputCDR &) -> bool`
    // (false: memory ran out, or a text too long for the wire), then
    // SendStartedRequest, or RunStartedRequest.
    template <typename Encode>
    int SendEncoded(uint32_t opcode, Encode &&encode)
    {
        return Encoded(encode(StartRequest(opcode))) != 0 ? -1 : SendStartedRequest();
    }
    template <typename Encode>
    int RunEncoded(uint32_t opcode, Encode &&encode)
    {
        return Encoded(encode(StartRequest(opcode))) != 0 ? -1 : RunStartedRequest();
    }
    // A request without payload: its 12 header bytes in one write.
    int SendBareRequest(uint32_t opcode);

    // The one receive of a reply: its header, checked against `shape`, then
    // its payload into the connection's buffer. Returns a stream over the
    // payload in the sender's byte order (over the header for a stream
    // header), valid until the next receive; or null with the connection
    // Closed and the last error 13 for a reply of another shape, 10040 for
    // one announcing more than kMaxPayloadLength, 10054 for a peer that
    // closed mid-message, or the socket's error.
    ACE_InputCDR *Receive(const ReplyShape &shape, MessageHeader &header);
    // A status-only reply's status word. 0 / -1.
    int ReceiveStatus(uint32_t opcode, uint32_t &status);
    // ReceiveStatus, with a non-zero status made the thread's last error. 0 / -1.
    int ReceiveStatusResult(uint32_t opcode);
    // A reply of at least a status word: the stream after a zero status;
    // null for a non-zero one (made the thread's last error; the
    // connection stays usable) or as Receive.
    ACE_InputCDR *ReceiveAfterStatus(uint32_t opcode, MessageHeader &header);
    // SendPayload, then ReceiveStatusResult: a request answered by a status.
    int RunPayloadRequest(uint32_t opcode, ACE_OutputCDR &payload);
    int RunStringRequest(uint32_t opcode, const WCHAR *text);

    // Zero-wait check of an idle connection: true when nothing is waiting
    // to be read. A peer that closed, or sent bytes nobody asked for,
    // makes it false, and such a connection must not be reused.
    bool NothingWaiting() const;
    // Gives back a receive buffer grown past kReceiveBufferShrinkAbove.
    void ShrinkReceiveBuffer();
    ACE_HANDLE handle() const { return socket_.get_handle(); }
    // False when the receive buffer could not be allocated.
    bool HasBuffer() const;

    // Exactly `length` raw bytes that end the reply (the data of a read),
    // straight into the caller's memory after what was read ahead.
    int ReceiveData(void *buffer, size_t length);
    // The next `length` bytes of the stream, in the receive buffer (grown
    // when needed, refused above kMaxPayloadLength) at a start aligned to 8;
    // null on failure.
    char *ReceiveIntoBuffer(size_t length);
    // The same with the start aligned to 4 and placed so that what follows
    // is aligned to 8: for a header or a length word.
    char *ReceiveFraming(size_t length);

    // Ends an exchange: bytes the agent sent beyond the reply break the
    // protocol (replies come strictly one per request), so a connection
    // that still holds some is marked broken and never reused.
    void EndExchange();
    // Before the replies to `count` requests sent back to back are read:
    // the bytes after each reply but the last are the next one's, so only
    // the last reply's end looks for bytes beyond it.
    void ExpectReplies(unsigned count) { repliesAhead_ = count > 0 ? count - 1 : 0; }

    // Requests sent while held wait on the connection and go out together
    // at SendHeld, in one write: a burst of them then costs one send here
    // and one receive at the agent. A request with more than kHeldBytes
    // takes the waiting ones along in its own write.
    void HoldSends() { held_ = true; }
    // Sends what was held and ends the holding. 0 / -1 as a send.
    int SendHeld();

    // Marks the connection broken after a protocol violation.
    void Break()
    {
        state = Closed;
        repliesAhead_ = 0;
        held_ = false;
        held_bytes_.clear();
    }
    // Break, with ERROR_INVALID_DATA (13) as the cause: a reply that breaks
    // the protocol. Returns null, for the receive paths.
    ACE_InputCDR *Violation();
    size_t ReceiveBufferSize() const { return buffer_.size(); }
    // Bytes received and not yet consumed: with none, the next receive
    // waits on the network.
    size_t ReadAhead() const { return wr_ - rd_; }

private:
    // 0, or -1 with the failed encoding noted as memory run out.
    static int Encoded(bool encoded);
    int SendAll(const iovec *parts, int count, size_t total);
    // SendAll without holding, for at most kMaxParts parts.
    int SendNow(const iovec *parts, int count, size_t total);
    static constexpr int kMaxParts = 3;
    static constexpr size_t kHeldBytes = 4096;
    // The same under an active watch: the waits for room wake in slices.
    int SendAllWatched(CallWatch &watch, const iovec *parts, int count, size_t total);
    // One receive: ReceiveSome, or under an active watch a sliced wait for
    // bytes first. kWatchEnded when the wait failed (the connection is then
    // Closed, the cause set).
    static constexpr ssize_t kWatchEnded = -2;
    ssize_t ReceiveOnce(void *buffer, size_t length);
    // Waits for the socket to be ready, looking at the watch between
    // slices and keeping the I/O time-out. 0, or -1 with the connection
    // Closed and the cause (1235, 10060, a socket error) set.
    int WaitWatched(CallWatch &watch, bool write);
    char *Take(size_t length, size_t alignment);
    int Reposition(size_t length, size_t alignment);
    int ReceiveMore();
    int FailReceive(ssize_t result);
    char *Base() const;
    size_t Capacity() const;

    ACE_SOCK_Stream socket_;
    // Received bytes: [rd_, wr_) of the aligned base are read ahead and not
    // yet consumed.
    ACE_Message_Block buffer_;
    size_t rd_ = 0;
    unsigned repliesAhead_ = 0; // replies still to come of requests sent back to back
    bool held_ = false;
    std::string held_bytes_; // requests held, not yet sent
    size_t wr_ = 0;
    BorrowedInput reply_;
    ACE_OutputCDR request_;
    uint32_t requestOpcode_ = 0;
    // The I/O time-out in force, for the waits that slice it themselves.
    std::atomic<DWORD> ioMs_{0};
    // Under a watch: when the call began to end, as its watch said when the
    // last request went out (max while it went on). An exchange begun
    // after that is the call's cleanup, and the waits for its reply are
    // only bounded.
    std::chrono::steady_clock::time_point endingSince_ = std::chrono::steady_clock::time_point::max();
};

} // namespace agent

#endif
