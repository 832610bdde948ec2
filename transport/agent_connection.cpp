#include "transport/agent_connection.h"
#include "transport/call_watch.h"

#include "util/out_of_memory.h"
#include "protocol/wide_string.h"

#include <ace/ACE.h>
#include <ace/SOCK_Connector.h>
#include <ace/os_include/netinet/os_tcp.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>

namespace agent {

namespace {

// Room for the header and a request with two long paths, so that requests
// never outgrow it in practice (a larger one grows it once).
constexpr size_t kRequestBufferSize = 2048;

// A receive time-out on the socket: ReceiveSome reports ETIMEDOUT, and a
// raw "would block" can only mean the same on a blocking socket.
bool ReceiveTimedOut(int error)
{
    return error == ETIMEDOUT || error == EAGAIN || error == EWOULDBLOCK;
}

} // namespace

AgentConnection::AgentConnection()
    : buffer_(kReceiveBufferSize),
      request_(kRequestBufferSize, ACE_CDR::BYTE_ORDER_LITTLE_ENDIAN, ZeroFilledAllocator(), nullptr, nullptr,
               kMemcpyTradeoff, 1, 2)
{
}

bool AgentConnection::HasBuffer() const
{
    return buffer_.data_block() != nullptr && buffer_.base() != nullptr;
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
    if (!held_)
        return SendNow(parts, count, total);
    const size_t before = held_bytes_.size();
    if (total <= kHeldBytes) {
        try {
            for (int i = 0; i < count; ++i)
                held_bytes_.append(static_cast<const char *>(parts[i].iov_base), parts[i].iov_len);
            return 0;
        } catch (const std::bad_alloc &) {
            held_bytes_.resize(before); // sent now, behind what was held
        }
    }
    if (before == 0)
        return SendNow(parts, count, total);
    if (count >= kMaxParts) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    iovec all[kMaxParts];
    all[0].iov_base = const_cast<char *>(held_bytes_.data());
    all[0].iov_len = before;
    std::copy(parts, parts + count, all + 1);
    const int result = SendNow(all, count + 1, before + total);
    held_bytes_.clear();
    return result;
}

int AgentConnection::SendHeld()
{
    held_ = false;
    if (held_bytes_.empty())
        return 0;
    iovec part;
    part.iov_base = const_cast<char *>(held_bytes_.data());
    part.iov_len = held_bytes_.size();
    const int result = SendNow(&part, 1, held_bytes_.size());
    held_bytes_.clear();
    return result;
}

int AgentConnection::SendNow(const iovec *parts, int count, size_t total)
{
    CallWatch *watch = CallWatch::Current();
    if (watch != nullptr && watch->Active()) {
        endingSince_ = watch->EndingSince();
        return SendAllWatched(*watch, parts, count, total);
    }
    size_t sent = 0;
    if (platform::SendGathered(socket_.get_handle(), parts, count, &sent) != 0 || sent != total) {
        platform::SetLastSocketErrorOrReset();
        state = Closed;
        return -1;
    }
    return 0;
}

int AgentConnection::SendAllWatched(CallWatch &watch, const iovec *parts, int count, size_t total)
{
    iovec local[kMaxParts]; // held requests, a header, and at most one part of data
    if (count > kMaxParts) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    std::memcpy(local, parts, sizeof(iovec) * static_cast<size_t>(count));
    iovec *next = local;
    int left = count;
    size_t sent = 0;
    while (sent < total) {
        if (WaitWatched(watch, true) != 0)
            return -1;
#ifdef _WIN32
        // A Winsock send blocks until it has taken every byte: once the
        // socket has room, the rest goes in one gathered send.
        size_t taken = 0;
        const ssize_t n = platform::SendGathered(socket_.get_handle(), next, left, &taken) == 0
                              ? static_cast<ssize_t>(taken)
                              : -1;
#else
        const ssize_t n = platform::SendSome(socket_.get_handle(), next, left);
#endif
        if (n < 0) {
            if (errno == EINTR || errno == EWOULDBLOCK)
                continue;
            platform::SetLastSocketErrorOrReset();
            state = Closed;
            return -1;
        }
        watch.Count(static_cast<size_t>(n));
        sent += static_cast<size_t>(n);
        platform::SkipSent(next, left, static_cast<size_t>(n));
    }
    return 0;
}

int AgentConnection::WaitWatched(CallWatch &watch, bool write)
{
    using Clock = CallWatch::Clock;
    using std::chrono::milliseconds;
    // The waits of an exchange begun once the call was ending belong to
    // its cleanup: neither the cancel nor the deadline fails them, only
    // the end of the time the cleanup has.
    const Clock::time_point endingSince = endingSince_;
    const bool ending = endingSince != Clock::time_point::max();
    const Clock::time_point start = Clock::now();
    const DWORD ioMs = ioMs_.load(std::memory_order_relaxed);
    Clock::time_point until = ioMs != 0 ? start + milliseconds(ioMs) : Clock::time_point::max();
    if (ending)
        until = std::min(until, endingSince + milliseconds(CallWatch::kEndingWaitMs));
    for (;;) {
        const DWORD cause = ending ? 0 : watch.Verdict();
        if (cause != 0) {
            SetLastError(cause);
            state = Closed;
            return -1;
        }
        const Clock::time_point now = Clock::now();
        if (now >= until) {
            SetLastError(WSAETIMEDOUT);
            state = Closed;
            return -1;
        }
        DWORD slice = CallWatch::kSliceMs;
        if (until - now < milliseconds(slice))
            slice = static_cast<DWORD>(std::chrono::duration_cast<milliseconds>(until - now).count()) + 1;
        const int ready = platform::WaitSocket(socket_.get_handle(), write, slice);
        if (ready > 0)
            return 0;
        if (ready < 0 && errno != EINTR) {
            platform::SetLastSocketErrorOrReset();
            state = Closed;
            return -1;
        }
    }
}

ssize_t AgentConnection::ReceiveOnce(void *buffer, size_t length)
{
    CallWatch *watch = CallWatch::Current();
    if (watch == nullptr || !watch->Active())
        return platform::ReceiveSome(socket_.get_handle(), buffer, length);
    if (WaitWatched(*watch, false) != 0)
        return kWatchEnded;
    const ssize_t n = platform::ReceiveSome(socket_.get_handle(), buffer, length);
    if (n > 0)
        watch->Count(static_cast<size_t>(n));
    return n;
}

ACE_OutputCDR &AgentConnection::StartRequest(uint32_t opcode)
{
    // Alignment padding is skipped, not written: the bytes of the last
    // request are cleared so that padding goes out as zeros.
    ACE_Message_Block *first = const_cast<ACE_Message_Block *>(request_.begin());
    std::memset(first->base(), 0, static_cast<size_t>(first->wr_ptr() - first->base()));
    request_.reset();
    requestOpcode_ = opcode;
    // The header comes first in the same buffer; its length is filled in
    // when the request goes out. Being 12 bytes, it leaves the payload's
    // 4-byte alignment where it would be in a stream of its own.
    WriteHeader(request_, Request, opcode, 0);
    return request_;
}

int AgentConnection::SendStartedRequest()
{
    if (!request_.good_bit() || request_.consolidate() != 0) {
        NoteOutOfMemory();
        return -1;
    }
    const size_t total = request_.total_length();
    if (total - kHeaderSize > kMaxPayloadLength) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    char *message = const_cast<char *>(request_.begin()->rd_ptr());
    PutRequestHeader(message, requestOpcode_, static_cast<uint32_t>(total - kHeaderSize));
    iovec part;
    part.iov_base = message;
    part.iov_len = total;
    return SendAll(&part, 1, total);
}

int AgentConnection::Encoded(bool encoded)
{
    if (encoded)
        return 0;
    NoteOutOfMemory();
    return -1;
}

int AgentConnection::RunStartedRequest()
{
    return SendStartedRequest() != 0 ? -1 : ReceiveStatusResult(requestOpcode_);
}

int AgentConnection::SendBareRequest(uint32_t opcode)
{
    char header[kHeaderSize];
    PutRequestHeader(header, opcode, 0);
    iovec part;
    part.iov_base = header;
    part.iov_len = kHeaderSize;
    return SendAll(&part, 1, kHeaderSize);
}

int AgentConnection::SendDataRequest(uint32_t opcode, const void *data, uint32_t length)
{
    char header[kHeaderSize];
    PutRequestHeader(header, opcode, length);
    iovec parts[2];
    parts[0].iov_base = header;
    parts[0].iov_len = kHeaderSize;
    // char * on Windows (ACE's iovec), void * elsewhere: char * converts to both.
    parts[1].iov_base = static_cast<char *>(const_cast<void *>(data));
    parts[1].iov_len = length;
    return SendAll(parts, length > 0 ? 2 : 1, kHeaderSize + length);
}

int AgentConnection::SendStringRequest(uint32_t opcode, const WCHAR *text)
{
    return SendEncoded(opcode, [text](ACE_OutputCDR &out) { return WriteWideString(out, text); });
}

int AgentConnection::SendPayload(uint32_t opcode, ACE_OutputCDR &payload)
{
    // A payload the caller built: header beside it, both in one gathered
    // write, so a large one is not copied.
    if (payload.consolidate() != 0) {
        NoteOutOfMemory();
        return -1;
    }
    return SendDataRequest(opcode, payload.begin()->rd_ptr(), static_cast<uint32_t>(payload.total_length()));
}

char *AgentConnection::Base() const
{
    return ACE_ptr_align_binary(buffer_.base(), ACE_CDR::MAX_ALIGNMENT);
}

size_t AgentConnection::Capacity() const
{
    return buffer_.size() - static_cast<size_t>(Base() - buffer_.base());
}

int AgentConnection::FailReceive(ssize_t result)
{
    // A peer that closed mid-message leaves no errno (or a stale one from
    // an earlier call): report a reset.
    if (result == 0)
        SetLastError(WSAECONNRESET);
    else if (ReceiveTimedOut(errno))
        SetLastError(WSAETIMEDOUT);
    else
        platform::SetLastSocketErrorOrReset();
    state = Closed;
    return -1;
}

int AgentConnection::ReceiveMore()
{
    for (;;) {
        const ssize_t n = ReceiveOnce(Base() + wr_, Capacity() - wr_);
        if (n > 0) {
            wr_ += static_cast<size_t>(n);
            return 0;
        }
        if (n == kWatchEnded)
            return -1;
        if (n < 0 && errno == EINTR)
            continue;
        return FailReceive(n);
    }
}

int AgentConnection::Reposition(size_t length, size_t alignment)
{
    // A header or length word starts 4 bytes into an 8-byte unit, so that
    // the payload or chunk after it arrives aligned to 8 in the same receive.
    size_t start = alignment == 4 && length % 8 == 4 ? 4 : 0;
    const size_t have = wr_ - rd_;
    const size_t needed = length > have ? length : have;
    if (start + needed > Capacity())
        start = 0;
    const size_t oldOffset = static_cast<size_t>(Base() - buffer_.base());
    if (needed > Capacity()) {
        // Grown once and kept: later replies reuse the larger block.
        if (buffer_.size(needed + ACE_CDR::MAX_ALIGNMENT) != 0) {
            NoteOutOfMemory();
            state = Closed;
            return -1;
        }
    }
    // The unread bytes (kept by a resize) move to the chosen start.
    if (have > 0)
        std::memmove(Base() + start, buffer_.base() + oldOffset + rd_, have);
    rd_ = start;
    wr_ = start + have;
    return 0;
}

char *AgentConnection::Take(size_t length, size_t alignment)
{
    if (length > kMaxPayloadLength) {
        SetLastError(WSAEMSGSIZE); // "message too long"
        state = Closed;
        return nullptr;
    }
    if (rd_ == wr_ || rd_ % alignment != 0 || rd_ + length > Capacity()) {
        if (Reposition(length, alignment) != 0)
            return nullptr;
    }
    while (wr_ - rd_ < length)
        if (ReceiveMore() != 0)
            return nullptr;
    char *start = Base() + rd_;
    rd_ += length;
    return start;
}

char *AgentConnection::ReceiveIntoBuffer(size_t length)
{
    return Take(length, ACE_CDR::MAX_ALIGNMENT);
}

char *AgentConnection::ReceiveFraming(size_t length)
{
    return Take(length, ACE_CDR::LONG_ALIGN);
}

void AgentConnection::EndExchange()
{
    if (repliesAhead_ > 0) {
        --repliesAhead_;
        return;
    }
    if (rd_ != wr_)
        Break();
}

int AgentConnection::ReceiveData(void *buffer, size_t length)
{
    char *out = static_cast<char *>(buffer);
    // What the reply's receive already brought in comes first.
    const size_t ahead = wr_ - rd_;
    size_t done = length < ahead ? length : ahead;
    if (done > 0)
        std::memcpy(out, Base() + rd_, done);
    rd_ += done;
    while (done < length) {
        const ssize_t n = ReceiveOnce(out + done, length - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n == kWatchEnded)
            return -1;
        if (n < 0 && errno == EINTR)
            continue;
        return FailReceive(n);
    }
    EndExchange();
    return 0;
}

ACE_InputCDR *AgentConnection::Violation()
{
    SetLastError(ERROR_INVALID_DATA);
    Break();
    return nullptr;
}

ACE_InputCDR *AgentConnection::Receive(const ReplyShape &shape, MessageHeader &header)
{
    const char *raw = ReceiveFraming(kHeaderSize);
    if (raw == nullptr)
        return nullptr;
    reply_.Over(raw, kHeaderSize, ACE_CDR::BYTE_ORDER_LITTLE_ENDIAN);
    if (!ReadHeader(reply_, header))
        return Violation();
    if (shape.form == ReplyShape::StreamHeader)
        return header.kind == Reply && header.opcode == shape.opcode ? &reply_ : Violation();
    // Refused before anything else, so that no announcement makes the
    // buffer grow (10040 whatever else is wrong with the header).
    if (header.length > kMaxPayloadLength) {
        SetLastError(WSAEMSGSIZE);
        Break();
        return nullptr;
    }
    if (shape.form != ReplyShape::StatusOnly) {
        if (header.kind != Reply || header.opcode != shape.opcode || header.length < shape.length)
            return Violation();
        if (shape.form != ReplyShape::AtLeast && header.length != shape.length)
            return Violation();
    }
    const char *payload = raw;
    if (header.length > 0) {
        payload = ReceiveIntoBuffer(header.length);
        if (payload == nullptr)
            return nullptr;
    }
    // Taken whole, so the stream stays in step even when the payload is
    // too short for a status word.
    if (header.length < shape.length)
        return Violation();
    reply_.Over(payload, header.length, ByteOrderOf(header.byteOrder));
    if (shape.form != ReplyShape::DataFollows)
        EndExchange();
    return &reply_;
}

int AgentConnection::ReceiveStatus(uint32_t opcode, uint32_t &status)
{
    MessageHeader header;
    ACE_InputCDR *in = Receive(ReplyShape::Status(opcode), header);
    if (in == nullptr)
        return -1;
    ACE_CDR::ULong value = 0;
    if (!in->read_ulong(value)) {
        Violation();
        return -1;
    }
    status = value;
    return 0;
}

ACE_InputCDR *AgentConnection::ReceiveAfterStatus(uint32_t opcode, MessageHeader &header)
{
    ACE_InputCDR *in = Receive(ReplyShape::Minimum(opcode, 4), header);
    if (in == nullptr)
        return nullptr;
    ACE_CDR::ULong status = 0;
    if (!in->read_ulong(status))
        return Violation();
    if (status != 0) {
        SetLastError(status);
        return nullptr;
    }
    return in;
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

int AgentConnection::SetIoTimeout(DWORD ioMs)
{
    if (platform::SetIoTimeout(socket_.get_handle(), ioMs) != 0) {
        platform::SetLastSocketError();
        return -1;
    }
    ioMs_.store(ioMs, std::memory_order_relaxed);
    return 0;
}

bool AgentConnection::NothingWaiting() const
{
    return state == Ready && platform::NothingToRead(socket_.get_handle());
}

void AgentConnection::ShrinkReceiveBuffer()
{
    // Bytes read ahead would be lost with the block; an idle connection
    // has none (EndExchange breaks one that has).
    if (buffer_.size() <= kReceiveBufferShrinkAbove || rd_ != wr_)
        return;
    ACE_Message_Block small(kReceiveBufferSize);
    if (small.data_block() == nullptr || small.base() == nullptr)
        return; // keeping the large block is harmless; it goes with the connection
    // The buffer takes over the small block; the large one is released.
    buffer_.data_block(small.data_block()->duplicate());
    buffer_.reset();
    rd_ = wr_ = 0;
}

} // namespace agent
