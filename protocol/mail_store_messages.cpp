#include "protocol/mail_store_messages.h"

#include "protocol/fss_util.h"
#include "protocol/opcodes.h"

namespace agent {
namespace protocol {

namespace {

bool ReadStatusThenCount(ACE_InputCDR &in, uint32_t &status, uint32_t &count)
{
    return ReadWord(in, status) && (status != 0 || ReadWord(in, count));
}

} // namespace

bool EncodeMergePstRequest(ACE_OutputCDR &out, const WCHAR *first, const WCHAR *second, const WCHAR *third,
                           const WCHAR *const *names, const DWORD *values, DWORD count)
{
    if (!WriteWideString(out, first) || !WriteWideString(out, second) || !WriteWideString(out, third) ||
        !out.write_ulong(count))
        return false;
    for (DWORD i = 0; i < count; ++i) {
        if (!WriteWideString(out, names[i]) || !out.write_ulong(values[i]))
            return false;
        if (out.total_length() > kMaxPayloadLength)
            return false;
    }
    return true;
}

bool DecodeMergePstRequest(ACE_InputCDR &in, MergePstRequest &request)
{
    ACE_CDR::ULong count = 0;
    if (!ReadWideString(in, request.first) || !ReadWideString(in, request.second) ||
        !ReadWideString(in, request.third) || !in.read_ulong(count))
        return false;
    if (count > in.length() / 8)
        return false;
    request.items.resize(count);
    for (auto &item : request.items)
        if (!ReadWideString(in, item.first) || !ReadWord(in, item.second))
            return false;
    return true;
}

bool EncodeGetPstCountReply(ACE_OutputCDR &out, const GetPstCountReply &reply)
{
    return out.write_ulong(reply.status) && (reply.status != 0 || out.write_ulong(reply.count));
}

bool DecodeGetPstCountReply(ACE_InputCDR &in, GetPstCountReply &reply)
{
    return ReadStatusThenCount(in, reply.status, reply.count);
}

bool EncodeGetPstListReply(ACE_OutputCDR &out, uint32_t status, const std::vector<PstStore> &stores)
{
    if (!out.write_ulong(status))
        return false;
    if (status != 0)
        return true;
    if (!out.write_ulong(static_cast<ACE_CDR::ULong>(stores.size())))
        return false;
    for (const PstStore &store : stores)
        if (!WriteWideString(out, store.path) || !WriteWideString(out, store.secondText))
            return false;
    return true;
}

bool DecodeGetPstListReply(ACE_InputCDR &in, GetPstListReply &reply)
{
    return ReadStatusThenCount(in, reply.status, reply.count);
}

bool DecodePstStore(ACE_InputCDR &in, OwnedWideString &path, OwnedWideString &secondText)
{
    return path.Read(in) && secondText.Read(in);
}

} // namespace protocol
} // namespace agent
