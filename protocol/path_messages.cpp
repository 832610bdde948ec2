#include "protocol/path_messages.h"

#include "protocol/fss_util.h"
#include "protocol/wide_string.h"

namespace agent {
namespace protocol {

bool EncodePathRequest(ACE_OutputCDR &out, const WCHAR *path) { return WriteWideString(out, path); }

bool DecodePathRequest(ACE_InputCDR &in, WideText &path) { return ReadWideString(in, path); }

bool EncodeSetFileAttributesRequest(ACE_OutputCDR &out, const WCHAR *path, uint32_t attributes)
{
    return WriteWideString(out, path) && out.write_ulong(attributes);
}

bool DecodeSetFileAttributesRequest(ACE_InputCDR &in, SetFileAttributesRequest &request)
{
    return ReadWideString(in, request.path) && ReadWord(in, request.attributes);
}

bool EncodeMoveFileRequest(ACE_OutputCDR &out, const WCHAR *source, const WCHAR *target)
{
    return WriteWideString(out, source) && WriteWideString(out, target);
}

bool DecodeMoveFileRequest(ACE_InputCDR &in, MoveFileRequest &request)
{
    return ReadWideString(in, request.source) && ReadWideString(in, request.target);
}

bool EncodeGetFileAttributesReply(ACE_OutputCDR &out, const GetFileAttributesReply &reply)
{
    if (!out.write_ulong(reply.status))
        return false;
    return reply.status != 0 || out.write_ulong(reply.attributes);
}

bool DecodeGetFileAttributesReply(ACE_InputCDR &in, GetFileAttributesReply &reply)
{
    return ReadWord(in, reply.status) && (reply.status != 0 || ReadWord(in, reply.attributes));
}

bool EncodeGetFileAttributesExReply(ACE_OutputCDR &out, const GetFileAttributesExReply &reply)
{
    if (!out.write_ulong(reply.status))
        return false;
    if (reply.status != 0)
        return true;
    const WIN32_FILE_ATTRIBUTE_DATA &d = reply.data;
    return out.write_ulong(d.dwFileAttributes) && WriteFileTime(out, d.ftCreationTime) &&
           WriteFileTime(out, d.ftLastAccessTime) && WriteFileTime(out, d.ftLastWriteTime) &&
           out.write_ulong(d.nFileSizeLow) && out.write_ulong(d.nFileSizeHigh);
}

bool DecodeGetFileAttributesExReply(ACE_InputCDR &in, GetFileAttributesExReply &reply)
{
    if (!ReadWord(in, reply.status))
        return false;
    if (reply.status != 0)
        return true;
    WIN32_FILE_ATTRIBUTE_DATA &d = reply.data;
    return ReadWord(in, d.dwFileAttributes) && ReadFileTime(in, d.ftCreationTime) &&
           ReadFileTime(in, d.ftLastAccessTime) && ReadFileTime(in, d.ftLastWriteTime) &&
           ReadWord(in, d.nFileSizeLow) && ReadWord(in, d.nFileSizeHigh);
}

} // namespace protocol
} // namespace agent
