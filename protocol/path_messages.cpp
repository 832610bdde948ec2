#include "protocol/path_messages.h"

#include "protocol/fss_util.h"
#include "protocol/wide_string.h"

namespace agent {
namespace protocol {

namespace {

bool WriteFileTime(ACE_OutputCDR &out, const FILETIME &time)
{
    return out.write_ulong(time.dwLowDateTime) && out.write_ulong(time.dwHighDateTime);
}

// Stores the status; true when what follows it is to be read.
bool ReadStatus(ACE_InputCDR &in, uint32_t &status)
{
    ACE_CDR::ULong value = 0;
    if (!in.read_ulong(value))
        return false;
    status = value;
    return true;
}

bool ReadWord(ACE_InputCDR &in, DWORD &field)
{
    ACE_CDR::ULong value = 0;
    if (!in.read_ulong(value))
        return false;
    field = value;
    return true;
}

} // namespace

bool EncodePathRequest(ACE_OutputCDR &out, const WCHAR *path) { return WriteWideString(out, path); }

bool DecodePathRequest(ACE_InputCDR &in, WideText &path) { return ReadWideString(in, path); }

bool EncodeSetFileAttributesRequest(ACE_OutputCDR &out, const WCHAR *path, uint32_t attributes)
{
    return WriteWideString(out, path) && out.write_ulong(attributes);
}

bool DecodeSetFileAttributesRequest(ACE_InputCDR &in, SetFileAttributesRequest &request)
{
    ACE_CDR::ULong attributes = 0;
    if (!ReadWideString(in, request.path) || !in.read_ulong(attributes))
        return false;
    request.attributes = attributes;
    return true;
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
    if (!ReadStatus(in, reply.status))
        return false;
    if (reply.status != 0)
        return true;
    ACE_CDR::ULong attributes = 0;
    if (!in.read_ulong(attributes))
        return false;
    reply.attributes = attributes;
    return true;
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
    if (!ReadStatus(in, reply.status))
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
