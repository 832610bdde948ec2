#include "messages.h"

#include "protocol/fss_util.h"
#include "protocol/mail_store_messages.h"
#include "protocol/path_list_messages.h"
#include "protocol/search_messages.h"
#include "protocol/user_data_messages.h"

#include <stdexcept>

namespace fake {

using namespace agent;

Payload Encoded(const std::function<bool(ACE_OutputCDR &)> &encode)
{
    ACE_OutputCDR out = MakeOutputStream(kPayloadStreamSize);
    if (!encode(out))
        throw std::runtime_error("encoding failed");
    Bytes bytes;
    for (const ACE_Message_Block *b = out.begin(); b != nullptr; b = b->cont())
        bytes.insert(bytes.end(), b->rd_ptr(), b->rd_ptr() + b->length());
    return Payload().raw(bytes);
}

ACE_InputCDR InputOver(const Bytes &bytes, bool bigEndian)
{
    static const char none = 0;
    return ACE_InputCDR(bytes.empty() ? &none : reinterpret_cast<const char *>(bytes.data()), bytes.size(),
                        bigEndian ? ACE_CDR::BYTE_ORDER_BIG_ENDIAN : ACE_CDR::BYTE_ORDER_LITTLE_ENDIAN, 1, 2);
}

Bytes ReplyOf(uint32_t opcode, const Encoder &encode) { return Reply(opcode, Encoded(encode)); }
Bytes RequestOf(uint32_t opcode, const Encoder &encode) { return RequestBytes(opcode, Encoded(encode)); }

Bytes DiskSpaceReply(uint32_t status, uint32_t sectorsPerCluster, uint32_t bytesPerSector, uint32_t freeClusters,
                     uint32_t totalClusters)
{
    return ReplyOf(OpGetDiskFreeSpace, Writes(protocol::EncodeGetDiskFreeSpaceReply,
                                              {status, sectorsPerCluster, bytesPerSector, freeClusters, totalClusters}));
}

Bytes OsVersionReply(uint32_t version)
{
    return ReplyOf(OpGetOSVersion, [=](ACE_OutputCDR &out) { return protocol::EncodeGetOSVersionReply(out, version); });
}

Bytes PathReply(uint32_t opcode, uint32_t status, const WString &path)
{
    return ReplyOf(opcode, [&](ACE_OutputCDR &out) { return protocol::EncodePathReply(out, status, path); });
}

Bytes PstCountReply(uint32_t status, uint32_t count)
{
    return ReplyOf(OpGetPstCount, Writes(protocol::EncodeGetPstCountReply, {status, count}));
}

Bytes PstListReply(const std::vector<std::pair<WString, WString>> &stores)
{
    std::vector<protocol::PstStore> list;
    for (const auto &s : stores)
        list.push_back({s.first, s.second});
    return ReplyOf(OpGetPstList, [&](ACE_OutputCDR &out) { return protocol::EncodeGetPstListReply(out, 0, list); });
}

Bytes FindFirstRequest(const WString &pattern, int32_t value)
{
    return RequestOf(OpFindFirst,
                     [&](ACE_OutputCDR &out) { return protocol::EncodeFindFirstRequest(out, pattern.c_str(), value); });
}

Bytes PathListRequest(const WString &path)
{
    return RequestOf(OpGetPathList,
                     [&](ACE_OutputCDR &out) { return protocol::EncodeGetPathListRequest(out, path.c_str()); });
}

Bytes FolderPathRequest(uint32_t folder, uint32_t flag)
{
    return RequestOf(OpGetFolderPath, Writes(protocol::EncodeGetFolderPathRequest, {folder, flag}));
}

} // namespace fake
