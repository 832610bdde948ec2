#include "protocol/handle_messages.h"

#include "protocol/wide_string.h"

namespace agent {
namespace protocol {

namespace {

bool Read32(ACE_InputCDR &in, uint32_t &field)
{
    ACE_CDR::ULong value = 0;
    if (!in.read_ulong(value))
        return false;
    field = value;
    return true;
}

bool Write64(ACE_OutputCDR &out, uint64_t value)
{
    return out.write_ulong(static_cast<uint32_t>(value)) && out.write_ulong(static_cast<uint32_t>(value >> 32));
}

bool Read64(ACE_InputCDR &in, uint64_t &value)
{
    uint32_t low = 0, high = 0;
    if (!Read32(in, low) || !Read32(in, high))
        return false;
    value = static_cast<uint64_t>(high) << 32 | low;
    return true;
}

bool WriteTime(ACE_OutputCDR &out, const FILETIME &time)
{
    return out.write_ulong(time.dwLowDateTime) && out.write_ulong(time.dwHighDateTime);
}

bool ReadTime(ACE_InputCDR &in, FILETIME &time)
{
    uint32_t low = 0, high = 0;
    if (!Read32(in, low) || !Read32(in, high))
        return false;
    time.dwLowDateTime = low;
    time.dwHighDateTime = high;
    return true;
}

// The by-handle record's words in wire order.
template <typename Info, typename Field>
void ForEachInformationWord(Info &info, Field &&field)
{
    decltype(&info.dwFileAttributes) const words[] = {
        &info.dwFileAttributes,
        &info.ftCreationTime.dwLowDateTime,   &info.ftCreationTime.dwHighDateTime,
        &info.ftLastAccessTime.dwLowDateTime, &info.ftLastAccessTime.dwHighDateTime,
        &info.ftLastWriteTime.dwLowDateTime,  &info.ftLastWriteTime.dwHighDateTime,
        &info.dwVolumeSerialNumber,
        &info.nFileSizeHigh,                  &info.nFileSizeLow,
        &info.nNumberOfLinks,
        &info.nFileIndexHigh,                 &info.nFileIndexLow,
    };
    for (auto *word : words)
        if (!field(*word))
            return;
}

} // namespace

bool EncodeCreateFileRequest(ACE_OutputCDR &out, const WCHAR *path, uint32_t access, uint32_t share,
                             uint32_t disposition, uint32_t flags)
{
    return out.write_ulong(flags) && out.write_ulong(disposition) && out.write_ulong(share) &&
           out.write_ulong(access) && WriteWideString(out, path);
}

bool DecodeCreateFileRequest(ACE_InputCDR &in, CreateFileRequest &request)
{
    return Read32(in, request.flags) && Read32(in, request.disposition) && Read32(in, request.share) &&
           Read32(in, request.access) && ReadWideString(in, request.path);
}

bool EncodeSetFilePointerRequest(ACE_OutputCDR &out, const SetFilePointerRequest &request)
{
    return Write64(out, static_cast<uint64_t>(request.distance)) && out.write_ulong(request.method);
}

bool DecodeSetFilePointerRequest(ACE_InputCDR &in, SetFilePointerRequest &request)
{
    uint64_t distance = 0;
    if (!Read64(in, distance) || !Read32(in, request.method))
        return false;
    request.distance = static_cast<int64_t>(distance);
    return true;
}

bool EncodeSetFilePointerReply(ACE_OutputCDR &out, const SetFilePointerReply &reply)
{
    if (!out.write_ulong(reply.status))
        return false;
    return reply.status != 0 || Write64(out, reply.position);
}

bool DecodeSetFilePointerReply(ACE_InputCDR &in, SetFilePointerReply &reply)
{
    if (!Read32(in, reply.status))
        return false;
    return reply.status != 0 || Read64(in, reply.position);
}

bool EncodeReadFileRequest(ACE_OutputCDR &out, const ReadFileRequest &request)
{
    return out.write_ulong(request.toRead);
}

bool DecodeReadFileRequest(ACE_InputCDR &in, ReadFileRequest &request) { return Read32(in, request.toRead); }

bool EncodeReadFileAtRequest(ACE_OutputCDR &out, const ReadFileAtRequest &request)
{
    return out.write_ulong(request.toRead) && Write64(out, request.offset);
}

bool DecodeReadFileAtRequest(ACE_InputCDR &in, ReadFileAtRequest &request)
{
    return Read32(in, request.toRead) && Read64(in, request.offset);
}

bool EncodeCountReply(ACE_OutputCDR &out, const CountReply &reply)
{
    return out.write_ulong(reply.status) && out.write_ulong(reply.count);
}

bool DecodeCountReply(ACE_InputCDR &in, CountReply &reply)
{
    return Read32(in, reply.status) && Read32(in, reply.count);
}

bool EncodeSetFileTimeRequest(ACE_OutputCDR &out, const SetFileTimeRequest &request)
{
    return WriteTime(out, request.creation) && WriteTime(out, request.lastAccess) && WriteTime(out, request.lastWrite);
}

bool DecodeSetFileTimeRequest(ACE_InputCDR &in, SetFileTimeRequest &request)
{
    return ReadTime(in, request.creation) && ReadTime(in, request.lastAccess) && ReadTime(in, request.lastWrite);
}

bool EncodeGetFileInformationReply(ACE_OutputCDR &out, const GetFileInformationReply &reply)
{
    if (!out.write_ulong(reply.status))
        return false;
    bool ok = true;
    if (reply.status == 0)
        ForEachInformationWord(reply.info, [&](const DWORD &word) { return ok = out.write_ulong(word); });
    return ok;
}

bool DecodeGetFileInformationReply(ACE_InputCDR &in, GetFileInformationReply &reply)
{
    if (!Read32(in, reply.status))
        return false;
    bool ok = true;
    if (reply.status == 0)
        ForEachInformationWord(reply.info, [&](DWORD &word) {
            uint32_t value = 0;
            ok = Read32(in, value);
            if (ok)
                word = value;
            return ok;
        });
    return ok;
}

} // namespace protocol
} // namespace agent
