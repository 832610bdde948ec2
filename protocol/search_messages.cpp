#include "protocol/search_messages.h"

#include "protocol/fss_util.h"

#include <cstring>

namespace agent {
namespace protocol {

namespace {

constexpr size_t kDriveTextCapacity = sizeof(AgentDriveInfo::Text1) / sizeof(WCHAR);

bool ReadText(ACE_InputCDR &in, WCHAR *field, size_t capacity)
{
    OwnedWideString text;
    if (!text.Read(in))
        return false;
    CopyWide(field, capacity, text.get());
    return true;
}

} // namespace

bool EncodeFindFirstRequest(ACE_OutputCDR &out, const WCHAR *pattern, int32_t value)
{
    return WriteWideString(out, pattern) && out.write_ulong(static_cast<ACE_CDR::ULong>(value));
}

bool DecodeFindFirstRequest(ACE_InputCDR &in, FindFirstRequest &request)
{
    ACE_CDR::ULong value = 0;
    if (!ReadWideString(in, request.pattern) || !in.read_ulong(value))
        return false;
    request.value = static_cast<int32_t>(value);
    return true;
}

bool EncodeFindRecord(ACE_OutputCDR &out, const FindRecord &record)
{
    return out.write_ulong(record.attributes) && WriteFileTime(out, record.creation) &&
           WriteFileTime(out, record.lastAccess) && WriteFileTime(out, record.lastWrite) &&
           out.write_ulong(record.sizeLow) && out.write_ulong(record.sizeHigh) && WriteWideString(out, record.name);
}

bool DecodeFindRecord(ACE_InputCDR &in, WIN32_FIND_DATAW &data)
{
    std::memset(&data, 0, sizeof data);
    return ReadWord(in, data.dwFileAttributes) && ReadFileTime(in, data.ftCreationTime) &&
           ReadFileTime(in, data.ftLastAccessTime) && ReadFileTime(in, data.ftLastWriteTime) &&
           ReadWord(in, data.nFileSizeLow) && ReadWord(in, data.nFileSizeHigh) &&
           ReadText(in, data.cFileName, sizeof data.cFileName / sizeof data.cFileName[0]);
}

bool EncodeDriveRecord(ACE_OutputCDR &out, const DriveRecord &record)
{
    for (uint32_t value : record.values)
        if (!out.write_ulong(value))
            return false;
    return WriteWideString(out, record.text1) && WriteWideString(out, record.text2);
}

bool DecodeDriveRecord(ACE_InputCDR &in, AgentDriveInfo &info)
{
    DWORD *const values[] = {&info.Value1, &info.Value2, &info.Value3, &info.Value4, &info.Value5,
                             &info.Value6, &info.Value7, &info.Value8, &info.Value9};
    for (DWORD *value : values)
        if (!ReadWord(in, *value))
            return false;
    return ReadText(in, info.Text1, kDriveTextCapacity) && ReadText(in, info.Text2, kDriveTextCapacity);
}

bool EncodeGetDiskFreeSpaceRequest(ACE_OutputCDR &out, const WCHAR *path) { return WriteWideString(out, path); }

bool DecodeGetDiskFreeSpaceRequest(ACE_InputCDR &in, WideText &path) { return ReadWideString(in, path); }

bool EncodeGetDiskFreeSpaceReply(ACE_OutputCDR &out, const GetDiskFreeSpaceReply &reply)
{
    if (!out.write_ulong(reply.status))
        return false;
    return reply.status != 0 || (out.write_ulong(reply.sectorsPerCluster) && out.write_ulong(reply.bytesPerSector) &&
                                 out.write_ulong(reply.freeClusters) && out.write_ulong(reply.totalClusters));
}

bool DecodeGetDiskFreeSpaceReply(ACE_InputCDR &in, GetDiskFreeSpaceReply &reply)
{
    reply = GetDiskFreeSpaceReply();
    if (!ReadWord(in, reply.status))
        return false;
    constexpr size_t kValuesSize = 4 * sizeof(ACE_CDR::ULong);
    if (reply.status != 0 || in.length() != kValuesSize)
        return true;
    ACE_CDR::ULong v[4] = {};
    if (!in.read_ulong_array(v, 4))
        return false;
    reply.sectorsPerCluster = v[0];
    reply.bytesPerSector = v[1];
    reply.freeClusters = v[2];
    reply.totalClusters = v[3];
    return true;
}

bool EncodeGetOSVersionReply(ACE_OutputCDR &out, uint32_t version) { return out.write_ulong(version); }

bool DecodeGetOSVersionReply(ACE_InputCDR &in, uint32_t &version) { return ReadWord(in, version); }

} // namespace protocol
} // namespace agent
