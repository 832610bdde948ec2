#include "wire_channel.h"

#include <cstring>
#include <sys/uio.h>

namespace refagent {

namespace {
constexpr size_t kBatch = 64 * 1024;
}

WireChannel::Read WireChannel::ReadRequest(agent::MessageHeader &header)
{
    alignas(8) char raw[agent::kHeaderSize];
    const ssize_t got = stream_.recv_n(raw, sizeof raw);
    if (got != static_cast<ssize_t>(sizeof raw))
        return Read::Closed;
    ACE_InputCDR in(raw, sizeof raw, ACE_CDR::BYTE_ORDER_LITTLE_ENDIAN, 1, 2);
    if (!agent::ReadHeader(in, header))
        return Read::Malformed;
    if (header.kind != agent::Request || header.length > agent::kMaxPayloadLength)
        return Read::Malformed;
    byteOrder_ = header.byteOrder;
    length_ = header.length;
    const size_t words = (length_ + 7) / 8 + 1;
    if (buffer_.size() < words)
        buffer_.resize(words);
    if (length_ > 0 && stream_.recv_n(buffer_.data(), length_) != static_cast<ssize_t>(length_))
        return Read::Closed;
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
    size_t total = na + nb + nc;
    size_t sent = 0;
    return stream_.sendv_n(parts, count, nullptr, &sent) != -1 && sent == total;
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
    payload.write_ulong(status);
    return SendReply(opcode, payload);
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
