#include "protocol/path_list_messages.h"

namespace agent {
namespace protocol {

bool EncodeGetPathListRequest(ACE_OutputCDR &out, const WCHAR *path) { return WriteWideString(out, path); }

bool DecodeGetPathListRequest(ACE_InputCDR &in, WideText &path) { return ReadWideString(in, path); }

void EncodePathListChunkLength(unsigned char (&word)[4], uint32_t length)
{
    for (int i = 0; i < 4; ++i)
        word[i] = static_cast<unsigned char>(length >> (8 * i));
}

bool EncodePathListEntry(ACE_OutputCDR &out, const WideText &path, const FindRecord &record)
{
    return WriteWideString(out, path) && EncodeFindRecord(out, record);
}

PathListEntry DecodePathListEntry(ACE_InputCDR &in, OwnedWideString &path, WIN32_FIND_DATAW &data)
{
    if (!path.Read(in))
        return PathListEntry::NoPath;
    return DecodeFindRecord(in, data) ? PathListEntry::Decoded : PathListEntry::BadRecord;
}

} // namespace protocol
} // namespace agent
