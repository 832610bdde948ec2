#include "protocol/handle_messages.h"

#include "protocol/fss_util.h"
#include "protocol/wide_string.h"

namespace agent {
namespace protocol {

namespace {

bool Write64(ACE_OutputCDR &out, uint64_t value)
{
    return out.write_ulong(static_cast<uint32_t>(value)) && out.write_ulong(static_cast<uint32_t>(value >> 32));
}

bool Read64(ACE_InputCDR &in, uint64_t &value)
{
    uint32_t low = 0, high = 0;
    if (!ReadWord(in, low) || !ReadWord(in, high))
        return false;
    value = static_cast<uint64_t>(high) << 32 | low;
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
    return ReadWord(in, request.flags) && ReadWord(in, request.disposition) && ReadWord(in, request.share) &&
           ReadWord(in, request.access) && ReadWideString(in, request.path);
}

bool EncodeSetFilePointerRequest(ACE_OutputCDR &out, const SetFilePointerRequest &request)
{
    return Write64(out, static_cast<uint64_t>(request.distance)) && out.write_ulong(request.method);
}

bool DecodeSetFilePointerRequest(ACE_InputCDR &in, SetFilePointerRequest &request)
{
    uint64_t distance = 0;
    if (!Read64(in, distance) || !ReadWord(in, request.method))
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
    if (!ReadWord(in, reply.status))
        return false;
    return reply.status != 0 || Read64(in, reply.position);
}

bool EncodeReadFileRequest(ACE_OutputCDR &out, const ReadFileRequest &request)
{
    return out.write_ulong(request.toRead);
}

bool DecodeReadFileRequest(ACE_InputCDR &in, ReadFileRequest &request) { return ReadWord(in, request.toRead); }

bool EncodeReadFileAtRequest(ACE_OutputCDR &out, const ReadFileAtRequest &request)
{
    return out.write_ulong(request.toRead) && Write64(out, request.offset);
}

bool DecodeReadFileAtRequest(ACE_InputCDR &in, ReadFileAtRequest &request)
{
    return ReadWord(in, request.toRead) && Read64(in, request.offset);
}

bool EncodeCountReply(ACE_OutputCDR &out, const CountReply &reply)
{
    return out.write_ulong(reply.status) && out.write_ulong(reply.count);
}

bool DecodeCountReply(ACE_InputCDR &in, CountReply &reply)
{
    return ReadWord(in, reply.status) && ReadWord(in, reply.count);
}

bool EncodeSetFileTimeRequest(ACE_OutputCDR &out, const SetFileTimeRequest &request)
{
    return WriteFileTime(out, request.creation) && WriteFileTime(out, request.lastAccess) && WriteFileTime(out, request.lastWrite);
}

bool DecodeSetFileTimeRequest(ACE_InputCDR &in, SetFileTimeRequest &request)
{
    return ReadFileTime(in, request.creation) && ReadFileTime(in, request.lastAccess) && ReadFileTime(in, request.lastWrite);
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
    if (!ReadWord(in, reply.status))
        return false;
    bool ok = true;
    if (reply.status == 0)
        ForEachInformationWord(reply.info, [&](DWORD &word) { return ok = ReadWord(in, word); });
    return ok;
}

} // namespace protocol
} // namespace agent
