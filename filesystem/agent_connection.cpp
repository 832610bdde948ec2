#include "filesystem/agent_connection.h"

#include "filesystem/machine_identity.h"
#include "filesystem/wide_string.h"

#include <ace/ACE.h>
#include <ace/SOCK_Connector.h>
#include <ace/os_include/netinet/os_tcp.h>

#include <cerrno>

namespace agent {

AgentConnection::AgentConnection() : buffer_(kReceiveBufferSize)
{
    ACE_CDR::mb_align(&buffer_);
}

AgentConnection::~AgentConnection()
{
    // A connection is often destroyed right after the failure that closed
    // it; a successful closesocket resets the thread's last error on
    // Windows, and the host must still see the cause.
    const DWORD error = GetLastError();
    socket_.close();
    state = Closed;
    SetLastError(error);
}

int AgentConnection::Connect(const ACE_INET_Addr &address, DWORD connectMs)
{
    if (state != Closed) {
        SetLastError(ERROR_INVALID_ACCESS);
        return -1;
    }
    ACE_SOCK_Connector connector;
    const ACE_Time_Value limit(static_cast<time_t>(connectMs / 1000), static_cast<suseconds_t>((connectMs % 1000) * 1000));
    if (connector.connect(socket_, address, connectMs != 0 ? &limit : nullptr) == -1) {
        // ACE reports its own wait running out as ETIME.
        const bool timedOut = connectMs != 0 && (errno == ETIME || errno == ETIMEDOUT);
        if (!timedOut)
            platform::SetLastSocketError();
        socket_.close();
        if (timedOut)
            SetLastError(WSAETIMEDOUT);
        return -1;
    }
    // A host that vanishes (cable pulled, laptop closed) never answers;
    // keepalive turns that silence into a connection error in about a
    // minute. A failure here only loses that protection.
    platform::EnableKeepAlive(socket_.get_handle());
    // Every message goes out in one write and waits for its answer, so
    // Nagle's algorithm could only add delay (a bare acknowledgement of a
    // stream chunk, for instance).
    int noDelay = 1;
    socket_.set_option(IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
    state = Connected;
    return 0;
}

int AgentConnection::SendAll(const iovec *parts, int count, size_t total)
{
    size_t sent = 0;
    if (platform::SendGathered(socket_.get_handle(), parts, count, &sent) != 0 || sent != total) {
        platform::SetLastSocketErrorOrReset();
        state = Closed;
        return -1;
    }
    return 0;
}

int AgentConnection::SendHeader(ACE_OutputCDR &header, uint32_t opcode)
{
    header.reset();
    if (!WriteHeader(header, Request, opcode, 0)) {
        state = Closed;
        return -1;
    }
    header.consolidate();
    iovec part;
    part.iov_base = const_cast<char *>(header.begin()->rd_ptr());
    part.iov_len = kHeaderSize;
    return SendAll(&part, 1, kHeaderSize);
}

int AgentConnection::SendRequest(ACE_OutputCDR &header, ACE_OutputCDR &payload, size_t payloadLength)
{
    if (header.consolidate() != 0 || payload.consolidate() != 0) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        state = Closed;
        return -1;
    }
    iovec parts[2];
    parts[0].iov_base = const_cast<char *>(header.begin()->rd_ptr());
    parts[0].iov_len = header.total_length();
    parts[1].iov_base = const_cast<char *>(payload.begin()->rd_ptr());
    parts[1].iov_len = payloadLength;
    return SendAll(parts, payloadLength > 0 ? 2 : 1, parts[0].iov_len + payloadLength);
}

int AgentConnection::SendDataRequest(uint32_t opcode, const void *data, uint32_t length)
{
    ACE_OutputCDR header = MakeOutputStream(kHeaderStreamSize);
    if (!WriteHeader(header, Request, opcode, length))
        return -1;
    header.consolidate();
    iovec parts[2];
    parts[0].iov_base = const_cast<char *>(header.begin()->rd_ptr());
    parts[0].iov_len = kHeaderSize;
    // char * on Windows (ACE's iovec), void * elsewhere: char * converts to both.
    parts[1].iov_base = static_cast<char *>(const_cast<void *>(data));
    parts[1].iov_len = length;
    return SendAll(parts, length > 0 ? 2 : 1, kHeaderSize + length);
}

int AgentConnection::SendStringRequest(uint32_t opcode, const WCHAR *text)
{
    ACE_OutputCDR payload = MakeOutputStream(kStringPayloadStreamSize);
    if (!WriteWideString(payload, text)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return -1;
    }
    return SendPayload(opcode, payload);
}

int AgentConnection::SendPayload(uint32_t opcode, ACE_OutputCDR &payload)
{
    const size_t length = payload.total_length();
    ACE_OutputCDR header = MakeOutputStream(kHeaderStreamSize);
    if (!WriteHeader(header, Request, opcode, static_cast<uint32_t>(length)))
        return -1;
    return SendRequest(header, payload, length);
}

char *AgentConnection::PrepareBuffer(size_t length)
{
    buffer_.reset();
    ACE_CDR::mb_align(&buffer_);
    if (buffer_.space() < length) {
        // Grown once and kept: later replies reuse the larger block.
        if (buffer_.size(length + ACE_CDR::MAX_ALIGNMENT) != 0) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        buffer_.reset();
        ACE_CDR::mb_align(&buffer_);
    }
    return buffer_.wr_ptr();
}

int AgentConnection::ReceiveData(void *buffer, size_t length)
{
    char *next = static_cast<char *>(buffer);
    size_t left = length;
    while (left > 0) {
        const ssize_t rc = platform::ReceiveSome(socket_.get_handle(), next, left);
        if (rc > 0) {
            next += rc;
            left -= static_cast<size_t>(rc);
            continue;
        }
        if (rc < 0 && errno == EINTR)
            continue;
        // A peer that closed mid-message leaves no errno (or a stale one
        // from an earlier call): report a reset.
        if (rc < 0)
            platform::SetLastSocketErrorOrReset();
        else
            SetLastError(WSAECONNRESET);
        state = Closed;
        return -1;
    }
    return 0;
}

char *AgentConnection::ReceiveIntoBuffer(size_t length)
{
    if (length > kMaxPayloadLength) {
        SetLastError(kOversizedReplyError);
        state = Closed;
        return nullptr;
    }
    char *start = PrepareBuffer(length);
    if (start == nullptr) {
        state = Closed;
        return nullptr;
    }
    if (ReceiveData(start, length) != 0)
        return nullptr;
    buffer_.wr_ptr(length);
    return start;
}

int AgentConnection::ReceiveReply(ACE_InputCDR &in, MessageHeader &header)
{
    char *raw = ReceiveIntoBuffer(kHeaderSize);
    if (raw == nullptr)
        return -1;
    ACE_InputCDR headerStream(raw, kHeaderSize, ACE_CDR::BYTE_ORDER_LITTLE_ENDIAN, 1, 2);
    if (!ReadHeader(headerStream, header)) {
        state = Closed;
        return -1;
    }
    char *payload = raw;
    if (header.length > 0) {
        payload = ReceiveIntoBuffer(header.length);
        if (payload == nullptr)
            return -1;
    }
    in = ACE_InputCDR(payload, header.length, ByteOrderOf(header.byteOrder), 1, 2);
    return 0;
}

int AgentConnection::ReceiveStatus(uint32_t /*opcode*/, uint32_t &status)
{
    ACE_InputCDR in(static_cast<const char *>(nullptr), 0);
    MessageHeader header;
    if (ReceiveReply(in, header) != 0)
        return -1;
    ACE_CDR::ULong value = 0;
    if (!in.read_ulong(value))
        return -1;
    status = value;
    return 0;
}

int AgentConnection::RunStringRequest(uint32_t opcode, const WCHAR *text)
{
    if (IsEmpty(text)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    if (state != Ready) {
        SetLastError(ERROR_INVALID_ACCESS);
        return -1;
    }
    return SendStringRequest(opcode, text) != 0 ? -1 : ReceiveStatusResult(opcode);
}

int AgentConnection::ReceiveStatusResult(uint32_t opcode)
{
    uint32_t status = 0;
    if (ReceiveStatus(opcode, status) != 0)
        return -1;
    if (status != 0) {
        SetLastError(status);
        return -1;
    }
    return 0;
}

int AgentConnection::RunPayloadRequest(uint32_t opcode, ACE_OutputCDR &payload)
{
    return SendPayload(opcode, payload) != 0 ? -1 : ReceiveStatusResult(opcode);
}

int AgentConnection::Logon(const WCHAR *user, const WCHAR *password, int initialLogon)
{
    if (IsEmpty(user) || password == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    if (state != Connected) {
        SetLastError(ERROR_INVALID_ACCESS);
        return -1;
    }
    WCHAR machineId[kMachineIdChars] = {};
    ReadMachineId(machineId);
    WCHAR computerName[kComputerNameChars] = {};
    ReadComputerName(computerName);

    ACE_OutputCDR payload = MakeOutputStream(kPayloadStreamSize);
    if (!WriteWideString(payload, user) || !WriteWideString(payload, password) ||
        !WriteWideString(payload, machineId) || !WriteWideString(payload, computerName) ||
        !payload.write_octet((initialLogon & 0xFF) != 0 ? 1 : 0)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return -1;
    }
    if (RunPayloadRequest(OpLogon, payload) != 0)
        return -1;
    state = Ready;
    return 0;
}

int AgentConnection::Logout()
{
    return SendLogout() != 0 ? -1 : ReceiveLogout();
}

int AgentConnection::SendLogout()
{
    if (state != Ready) {
        SetLastError(ERROR_INVALID_ACCESS);
        return -1;
    }
    ACE_OutputCDR header = MakeOutputStream(kHeaderStreamSize);
    return SendHeader(header, OpLogout);
}

int AgentConnection::ReceiveLogout()
{
    if (state != Ready) {
        SetLastError(ERROR_INVALID_ACCESS);
        return -1;
    }
    uint32_t status = 0;
    if (ReceiveStatus(OpLogout, status) != 0)
        return -1;
    if (status == 0)
        state = Connected;
    else
        SetLastError(status);
    return 0;
}

int AgentConnection::SetIoTimeout(DWORD ioMs)
{
    if (platform::SetIoTimeout(socket_.get_handle(), ioMs) != 0) {
        platform::SetLastSocketError();
        return -1;
    }
    return 0;
}

bool AgentConnection::NothingWaiting() const
{
    if (state != Ready)
        return false;
    // handle_read_ready: 1 readable (bytes or the peer's close); the zero
    // wait running out is -1 with ETIME in this ACE (0 in its documentation);
    // any other -1 is a broken socket.
    errno = 0;
    const int rc = ACE::handle_read_ready(socket_.get_handle(), &ACE_Time_Value::zero);
    return rc == 0 || (rc == -1 && errno == ETIME);
}

void AgentConnection::ShrinkReceiveBuffer()
{
    if (buffer_.size() <= kReceiveBufferShrinkAbove)
        return;
    ACE_Message_Block small(kReceiveBufferSize);
    if (small.data_block() == nullptr || small.base() == nullptr)
        return; // keeping the large block is harmless; it goes with the connection
    // The buffer takes over the small block; the large one is released.
    buffer_.data_block(small.data_block()->duplicate());
    buffer_.reset();
    ACE_CDR::mb_align(&buffer_);
}

} // namespace agent
