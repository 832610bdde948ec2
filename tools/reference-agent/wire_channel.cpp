#include "wire_channel.h"

#include "protocol/status_reply.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <climits>

#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>

namespace refagent {

namespace {
constexpr size_t kBatch = 64 * 1024;
}

bool DecodeRequestHeader(const char (&raw)[agent::kHeaderSize], agent::MessageHeader &header)
{
    alignas(8) char copy[agent::kHeaderSize];
    std::memcpy(copy, raw, sizeof copy);
    ACE_InputCDR in(copy, sizeof copy, ACE_CDR::BYTE_ORDER_LITTLE_ENDIAN, 1, 2);
    return agent::ReadHeader(in, header) && header.kind == agent::Request;
}

namespace {

// Waits until the socket can take `events`, at most `wait` (zero: for
// ever). False on time-out (errno ETIME) or failure.
bool WaitFor(int fd, short events, std::chrono::milliseconds wait)
{
    pollfd p{fd, events, 0};
    const int ms = wait.count() == 0 ? -1 : static_cast<int>(std::min<long long>(wait.count(), INT_MAX));
    for (;;) {
        const int rc = ::poll(&p, 1, ms);
        if (rc > 0)
            return true;
        if (rc == 0) {
            errno = ETIME;
            return false;
        }
        if (errno != EINTR)
            return false;
    }
}

} // namespace

// Timed waits use poll and non-blocking calls on a socket left in blocking
// mode: ACE's timed calls switch the mode with two fcntl calls per receive
// or send, which more than doubled the agent's system calls per request.
ssize_t WireChannel::ReceiveSome(void *data, size_t n, std::chrono::milliseconds wait, const ReadLimits &limits,
                                 bool expectWait)
{
    using Clock = std::chrono::steady_clock;
    if (limits.deadline != Clock::time_point()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(limits.deadline - Clock::now());
        if (left.count() <= 0) {
            errno = ETIME;
            return -1;
        }
        if (wait.count() == 0 || left < wait)
            wait = left;
    }
    const int fd = stream_.get_handle();
    if (wait.count() == 0)
        return ::recv(fd, data, n, 0);
    // The rest of a request that has begun is usually there already; the
    // next request usually is not, so that one is waited for first.
    if (!expectWait) {
        const ssize_t r = ::recv(fd, data, n, MSG_DONTWAIT);
        if (r >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
            return r;
    }
    const auto until = Clock::now() + wait;
    for (;;) {
        if (!WaitFor(fd, POLLIN, wait))
            return -1;
        const ssize_t r = ::recv(fd, data, n, MSG_DONTWAIT);
        if (r >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
            return r;
        wait = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
        if (wait.count() <= 0) {
            errno = ETIME;
            return -1;
        }
    }
}

// What a receive that brought no bytes means for the request: Ok when it
// was interrupted and is worth repeating.
WireChannel::Read WireChannel::NoBytes(ssize_t r)
{
    if (r < 0 && errno == EINTR)
        return Read::Ok;
    if (r < 0 && (errno == ETIME || errno == EWOULDBLOCK || errno == EAGAIN))
        return Read::TimedOut;
    return Read::Closed;
}

WireChannel::Read WireChannel::ReadRequest(agent::MessageHeader &header, const ReadLimits &limits)
{
    char raw[agent::kHeaderSize];
    size_t got = 0;
    while (got < sizeof raw) {
        const ssize_t r =
            ReceiveSome(raw + got, sizeof raw - got, got == 0 ? limits.firstByte : limits.stall, limits, got == 0);
        if (r <= 0) {
            const Read why = NoBytes(r);
            if (why == Read::Ok)
                continue;
            return why;
        }
        got += static_cast<size_t>(r);
    }
    if (!DecodeRequestHeader(raw, header) || header.length > limits.maxPayload)
        return Read::Malformed;
    byteOrder_ = header.byteOrder;
    length_ = header.length;
    size_t have = 0;
    while (have < length_) {
        // Grow by what has arrived (doubling, from 64 KiB), so that an
        // announcement alone reserves little.
        const size_t want = std::min<size_t>(length_, std::max<size_t>(64 * 1024, have * 2));
        if (buffer_.size() * 8 < want)
            buffer_.resize((want + 7) / 8 + 1);
        const ssize_t r = ReceiveSome(reinterpret_cast<char *>(buffer_.data()) + have, want - have, limits.stall,
                                      limits, false);
        if (r <= 0) {
            const Read why = NoBytes(r);
            if (why == Read::Ok)
                continue;
            return why;
        }
        have += static_cast<size_t>(r);
    }
    if (buffer_.empty())
        buffer_.resize(1);
    // A large buffer is not kept for the small requests that follow.
    if (buffer_.size() * 8 > 1024 * 1024 && length_ < 64 * 1024) {
        std::vector<uint64_t> smaller((length_ + 7) / 8 + 1);
        std::memcpy(smaller.data(), buffer_.data(), length_);
        buffer_.swap(smaller);
    }
    return Read::Ok;
}

ACE_InputCDR WireChannel::PayloadStream() const
{
    return ACE_InputCDR(Payload(), length_, agent::ByteOrderOf(byteOrder_), 1, 2);
}

bool WireChannel::SendParts(const void *a, size_t na, const void *b, size_t nb, const void *c, size_t nc)
{
    iovec parts[3];
    int count = 0;
    for (auto [p, n] : {std::pair<const void *, size_t>{a, na}, {b, nb}, {c, nc}})
        if (n > 0) {
            parts[count].iov_base = const_cast<void *>(p);
            parts[count].iov_len = n;
            ++count;
        }
    if (count == 0)
        return true;
    // The stall bounds each wait for the client to take bytes, so a client
    // that stops reading cannot hold its thread for ever.
    const int fd = stream_.get_handle();
    iovec *part = parts;
    for (;;) {
        msghdr message{};
        message.msg_iov = part;
        message.msg_iovlen = static_cast<size_t>(count);
        const ssize_t r = ::sendmsg(fd, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            if ((errno == EAGAIN || errno == EWOULDBLOCK) && WaitFor(fd, POLLOUT, sendStall_))
                continue;
            return false;
        }
        size_t done = static_cast<size_t>(r);
        while (count > 0 && done >= part->iov_len) {
            done -= part->iov_len;
            ++part;
            --count;
        }
        if (count == 0)
            return true;
        part->iov_base = static_cast<char *>(part->iov_base) + done;
        part->iov_len -= done;
    }
}

bool WireChannel::SendReply(uint32_t opcode, ACE_OutputCDR &payload)
{
    return SendReplyWithData(opcode, payload, nullptr, 0);
}

bool WireChannel::SendReplyWithData(uint32_t opcode, ACE_OutputCDR &payload, const void *data, size_t size)
{
    if (payload.consolidate() != 0)
        return false;
    const size_t length = payload.total_length();
    ACE_OutputCDR header = agent::MakeOutputStream(agent::kHeaderStreamSize);
    if (!agent::WriteHeader(header, agent::Reply, opcode, static_cast<uint32_t>(length)))
        return false;
    return SendParts(header.begin()->rd_ptr(), agent::kHeaderSize, payload.begin()->rd_ptr(), length, data, size);
}

bool WireChannel::SendStatus(uint32_t opcode, uint32_t status)
{
    ACE_OutputCDR payload = agent::MakeOutputStream(16);
    return agent::protocol::EncodeStatusReply(payload, agent::protocol::StatusReply{status}) &&
           SendReply(opcode, payload);
}

bool WireChannel::SendHeaderOnly(uint32_t opcode, uint32_t length)
{
    ACE_OutputCDR header = agent::MakeOutputStream(agent::kHeaderStreamSize);
    if (!agent::WriteHeader(header, agent::Reply, opcode, length))
        return false;
    return SendParts(header.begin()->rd_ptr(), agent::kHeaderSize, nullptr, 0, nullptr, 0);
}

bool WireChannel::SendRaw(const void *data, size_t size) { return SendParts(data, size, nullptr, 0, nullptr, 0); }

bool ChunkWriter::Add(ACE_OutputCDR &record)
{
    if (record.consolidate() != 0)
        return false;
    const size_t n = record.total_length();
    const unsigned char length[4] = {static_cast<unsigned char>(n), static_cast<unsigned char>(n >> 8),
                                     static_cast<unsigned char>(n >> 16), static_cast<unsigned char>(n >> 24)};
    pending_.append(reinterpret_cast<const char *>(length), 4);
    pending_.append(record.begin()->rd_ptr(), n);
    return pending_.size() < kBatch || Flush();
}

bool ChunkWriter::Flush()
{
    if (pending_.empty())
        return true;
    const bool ok = channel_.SendRaw(pending_.data(), pending_.size());
    pending_.clear();
    return ok;
}

bool ChunkWriter::End()
{
    pending_.append(4, '\0');
    return Flush();
}

} // namespace refagent
