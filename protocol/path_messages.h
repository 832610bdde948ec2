// Files and attributes by path: the path tests (OpPathFileExists,
// OpPathIsRoot, OpPathStripToRoot), OpGetFileAttributes,
// OpGetFileAttributesEx, OpSetFileAttributes, OpCreateDirectory,
// OpRemovePath and OpMoveFile.
//
// Every request but the attribute setting and the move is the path alone
// (the "path request"). Every reply opens with the status word; only the
// two attribute queries carry more, and only after a status of 0. The
// others are answered by the status reply (status_reply.h).
#ifndef AGENT_PROTOCOL_PATH_MESSAGES_H
#define AGENT_PROTOCOL_PATH_MESSAGES_H

#include "platform/platform.h"
#include "protocol/wide_string.h"

#include <ace/CDR_Stream.h>

#include <cstdint>
#include <string>

namespace agent {
namespace protocol {

// Opcodes 5, 6, 7, 14, 25, 26, 27: one wide string.
bool EncodePathRequest(ACE_OutputCDR &out, const WCHAR *path);
bool DecodePathRequest(ACE_InputCDR &in, WideText &path);

// OpSetFileAttributes: the path, then the attributes.
struct SetFileAttributesRequest {
    WideText path;
    uint32_t attributes = 0;
};
bool EncodeSetFileAttributesRequest(ACE_OutputCDR &out, const WCHAR *path, uint32_t attributes);
bool DecodeSetFileAttributesRequest(ACE_InputCDR &in, SetFileAttributesRequest &request);

// OpMoveFile: source, then target.
struct MoveFileRequest {
    WideText source, target;
};
bool EncodeMoveFileRequest(ACE_OutputCDR &out, const WCHAR *source, const WCHAR *target);
bool DecodeMoveFileRequest(ACE_InputCDR &in, MoveFileRequest &request);

// OpGetFileAttributes: status, then the attributes.
struct GetFileAttributesReply {
    uint32_t status = 0;
    uint32_t attributes = 0;
};
bool EncodeGetFileAttributesReply(ACE_OutputCDR &out, const GetFileAttributesReply &reply);
bool DecodeGetFileAttributesReply(ACE_InputCDR &in, GetFileAttributesReply &reply);

// OpGetFileAttributesEx: status, then attributes, creation, last access and
// last write times, and the size low part first (the reverse of the
// record's own order). The decoder stores each field as it is read, so a
// payload that ends early leaves the earlier fields written and the later
// ones as they were.
struct GetFileAttributesExReply {
    uint32_t status = 0;
    WIN32_FILE_ATTRIBUTE_DATA data{};
};
bool EncodeGetFileAttributesExReply(ACE_OutputCDR &out, const GetFileAttributesExReply &reply);
bool DecodeGetFileAttributesExReply(ACE_InputCDR &in, GetFileAttributesExReply &reply);

} // namespace protocol
} // namespace agent

#endif
