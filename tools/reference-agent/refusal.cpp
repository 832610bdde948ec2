#include "refusal.h"

#include "protocol/fss_util.h"
#include "protocol/handle_messages.h"
#include "protocol/status_reply.h"

namespace refagent {

using namespace agent;

namespace {

std::string Framed(uint32_t opcode, uint32_t length, std::initializer_list<uint32_t> words)
{
    ACE_OutputCDR out = MakeOutputStream(kHeaderStreamSize + 16);
    WriteHeader(out, Reply, opcode, length);
    for (uint32_t w : words)
        out.write_ulong(w);
    out.consolidate();
    return std::string(out.begin()->rd_ptr(), out.total_length());
}

// A reply whose payload `encode(stream)` writes.
template <typename Encode>
std::string Encoded(uint32_t opcode, Encode &&encode)
{
    ACE_OutputCDR payload = MakeOutputStream(16);
    encode(payload);
    payload.consolidate();
    ACE_OutputCDR header = MakeOutputStream(kHeaderStreamSize);
    WriteHeader(header, Reply, opcode, static_cast<uint32_t>(payload.total_length()));
    header.consolidate();
    return std::string(header.begin()->rd_ptr(), header.total_length()) +
           std::string(payload.begin()->rd_ptr(), payload.total_length());
}

} // namespace

std::string StatusBytes(uint32_t opcode, uint32_t status)
{
    return Encoded(opcode, [&](ACE_OutputCDR &out) { return protocol::EncodeStatusReply(out, {status}); });
}

bool RefusalBytes(uint32_t opcode, uint32_t status, std::string &bytes)
{
    bytes.clear();
    switch (opcode) {
    case OpFindFirst:
    case OpFindFirstDrive: bytes = Framed(opcode, 0, {}); return true; // no entries
    case OpGetPathList: bytes = Framed(opcode, 0, {0}); return true;   // the end marker at once
    case OpGetOSVersion: return false;
    case OpCancelPathList:
    case OpNextPathList: return true; // never answered
    case OpReadFile:
    case OpReadFileAt:
    case OpWriteFile:
        bytes = Encoded(opcode, [&](ACE_OutputCDR &out) { return protocol::EncodeCountReply(out, {status, 0}); });
        return true;
    default: bytes = StatusBytes(opcode, status); return true;
    }
}

} // namespace refagent
