// Path lists: OpGetPathList (28), OpCancelPathList (29), OpNextPathList (30).
//
// The request is one path. The reply header (its length means nothing) is
// followed by chunks: a u32 length, always little-endian, then that many
// bytes of CDR in the reply header's byte order holding entries back to
// back, each a path and a find record (protocol/search_messages.h); a
// length of 0 ends the list. The client answers each chunk with a bare
// OpNextPathList and may send a bare OpCancelPathList; neither has a reply.
#ifndef AGENT_PROTOCOL_PATH_LIST_MESSAGES_H
#define AGENT_PROTOCOL_PATH_LIST_MESSAGES_H

#include "protocol/search_messages.h"

namespace agent {
namespace protocol {

// The byte order of every chunk length word (an ACE_CDR byte-order value).
constexpr int kPathListLengthOrder = ACE_CDR::BYTE_ORDER_LITTLE_ENDIAN;

// A null path goes out as the empty string.
bool EncodeGetPathListRequest(ACE_OutputCDR &out, const WCHAR *path);
bool DecodeGetPathListRequest(ACE_InputCDR &in, WideText &path);

// The length word that opens a chunk of `length` bytes.
void EncodePathListChunkLength(unsigned char (&word)[4], uint32_t length);

// One entry, appended to a chunk's stream (alignment counts from the
// chunk's first byte).
bool EncodePathListEntry(ACE_OutputCDR &out, const WideText &path, const FindRecord &record);

// NoPath: no path could be read at the stream's position (the chunk's
// end, or a broken string: the caller tells them apart). BadRecord: a path
// was read but its record could not be.
enum class PathListEntry { Decoded, NoPath, BadRecord };
PathListEntry DecodePathListEntry(ACE_InputCDR &in, OwnedWideString &path, WIN32_FIND_DATAW &data);

} // namespace protocol
} // namespace agent

#endif
