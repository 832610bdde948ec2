// One logged-on TCP connection to an agent: socket, receive buffer, state,
// and the send/receive primitives every exchange is built from.
#ifndef AGENT_CONNECTION_H
#define AGENT_CONNECTION_H

#include "filesystem/fss_util.h"

#include <ace/INET_Addr.h>
#include <ace/Message_Block.h>
#include <ace/SOCK_Stream.h>

#include <cstdint>

namespace agent {

enum ConnectionState : uint32_t {
    Closed = 0,
    Connected = 1,
    Ready = 2,
    Enumerating = 3,
    FileOpen = 4,
    DriveEnumerating = 5,
};

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
    int SendHeader(ACE_OutputCDR &header, uint32_t opcode);
    int SendRequest(ACE_OutputCDR &header, ACE_OutputCDR &payload, size_t payloadLength);
    // The whole of `payload` behind a request header for `opcode`.
    int SendPayload(uint32_t opcode, ACE_OutputCDR &payload);
    // Header and the caller's bytes in one gathered write, no copy: the
    // request shape whose payload is raw data.
    int SendDataRequest(uint32_t opcode, const void *data, uint32_t length);
    int SendStringRequest(uint32_t opcode, const WCHAR *text);
    // Receives one reply; `in` is left over its payload in the sender's byte order.
    int ReceiveReply(ACE_InputCDR &in, MessageHeader &header);
    int ReceiveStatus(uint32_t opcode, uint32_t &status);
    // ReceiveStatus, with a non-zero status made the thread's last error. 0 / -1.
    int ReceiveStatusResult(uint32_t opcode);
    // SendPayload, then ReceiveStatusResult: a request answered by a status.
    int RunPayloadRequest(uint32_t opcode, ACE_OutputCDR &payload);
    int RunStringRequest(uint32_t opcode, const WCHAR *text);
    int Logon(const WCHAR *user, const WCHAR *password, int initialLogon);
    int Logout();
    // Logout in two halves, so that a caller closing many connections can
    // send every request before it waits for the replies.
    int SendLogout();
    int ReceiveLogout();

    // Zero-wait check of an idle connection: true when nothing is waiting
    // to be read. A peer that closed, or sent bytes nobody asked for,
    // makes it false, and such a connection must not be reused.
    bool NothingWaiting() const;
    // Gives back a receive buffer grown past kReceiveBufferShrinkAbove.
    void ShrinkReceiveBuffer();
    ACE_HANDLE handle() const { return socket_.get_handle(); }

    // Exactly `length` raw bytes from the stream into the caller's memory.
    int ReceiveData(void *buffer, size_t length);
    // Exactly `length` bytes into the receive buffer (grown when needed,
    // refused above kMaxPayloadLength); returns its aligned start or null.
    char *ReceiveIntoBuffer(size_t length);

    // Marks the connection broken after a protocol violation.
    void Break() { state = Closed; }
    size_t ReceiveBufferSize() const { return buffer_.size(); }

private:
    char *PrepareBuffer(size_t length);
    int SendAll(const iovec *parts, int count, size_t total);

    ACE_SOCK_Stream socket_;
    ACE_Message_Block buffer_;
};

} // namespace agent

#endif
