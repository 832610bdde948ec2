// An open remote file: OpCreateFile, OpSetFilePointer, OpReadFile,
// OpReadFileAt, OpWriteFile, OpCloseHandle, OpGetFileInformation and
// OpSetFileTime.
//
// 64-bit quantities (distance, position, offset, times) travel as two u32,
// low part first. Two shapes carry raw bytes beside the CDR payload:
// - a read reply (OpReadFile, OpReadFileAt) is the 8-byte count reply,
//   then exactly `count` raw bytes that its header's length does not count;
// - a write request (OpWriteFile) has the caller's bytes, raw, as its
//   whole payload: there is nothing to encode.
// OpGetFileInformation and OpCloseHandle are bare requests (no payload).
// OpCreateFile, OpCloseHandle and OpSetFileTime are answered by the
// status reply (status_reply.h).
#ifndef AGENT_PROTOCOL_HANDLE_MESSAGES_H
#define AGENT_PROTOCOL_HANDLE_MESSAGES_H

#include "platform/platform.h"
#include "protocol/wide_string.h"

#include <ace/CDR_Stream.h>

#include <cstdint>
#include <string>

namespace agent {
namespace protocol {

// OpCreateFile: the four numbers in the reverse of CreateFileW's argument
// order, then the path.
struct CreateFileRequest {
    uint32_t flags = 0, disposition = 0, share = 0, access = 0;
    WideText path;
};
bool EncodeCreateFileRequest(ACE_OutputCDR &out, const WCHAR *path, uint32_t access, uint32_t share,
                             uint32_t disposition, uint32_t flags);
bool DecodeCreateFileRequest(ACE_InputCDR &in, CreateFileRequest &request);

// OpSetFilePointer: distance (signed) and move method.
struct SetFilePointerRequest {
    int64_t distance = 0;
    uint32_t method = 0;
};
bool EncodeSetFilePointerRequest(ACE_OutputCDR &out, const SetFilePointerRequest &request);
bool DecodeSetFilePointerRequest(ACE_InputCDR &in, SetFilePointerRequest &request);

// Status, then the new position. A client that sees a status of 0 without
// room for the position tells that apart before decoding (the payload
// length), as it is an error of its own.
struct SetFilePointerReply {
    uint32_t status = 0;
    uint64_t position = 0;
};
bool EncodeSetFilePointerReply(ACE_OutputCDR &out, const SetFilePointerReply &reply);
bool DecodeSetFilePointerReply(ACE_InputCDR &in, SetFilePointerReply &reply);

// OpReadFile: the number of bytes wanted.
struct ReadFileRequest {
    uint32_t toRead = 0;
};
bool EncodeReadFileRequest(ACE_OutputCDR &out, const ReadFileRequest &request);
bool DecodeReadFileRequest(ACE_InputCDR &in, ReadFileRequest &request);

// OpReadFileAt: the number of bytes wanted and the absolute offset.
struct ReadFileAtRequest {
    uint32_t toRead = 0;
    uint64_t offset = 0;
};
bool EncodeReadFileAtRequest(ACE_OutputCDR &out, const ReadFileAtRequest &request);
bool DecodeReadFileAtRequest(ACE_InputCDR &in, ReadFileAtRequest &request);

// The reply to reads and writes: status and count, both always present
// (a read's count says how many raw bytes follow, whatever the status; a
// write's how many were written). Exactly 8 bytes.
struct CountReply {
    uint32_t status = 0;
    uint32_t count = 0;
};
constexpr uint32_t kCountReplyLength = 8;
bool EncodeCountReply(ACE_OutputCDR &out, const CountReply &reply);
bool DecodeCountReply(ACE_InputCDR &in, CountReply &reply);

// OpSetFileTime: creation, last access and last write; an absent time
// travels as zero.
struct SetFileTimeRequest {
    FILETIME creation{}, lastAccess{}, lastWrite{};
};
bool EncodeSetFileTimeRequest(ACE_OutputCDR &out, const SetFileTimeRequest &request);
bool DecodeSetFileTimeRequest(ACE_InputCDR &in, SetFileTimeRequest &request);

// OpGetFileInformation: status, then the 13 words of the record in its own
// order (size and index high part first). The decoder stores each word as
// it is read, so a payload that ends early leaves the earlier fields
// written and the later ones as they were.
struct GetFileInformationReply {
    uint32_t status = 0;
    BY_HANDLE_FILE_INFORMATION info{};
};
bool EncodeGetFileInformationReply(ACE_OutputCDR &out, const GetFileInformationReply &reply);
bool DecodeGetFileInformationReply(ACE_InputCDR &in, GetFileInformationReply &reply);

} // namespace protocol
} // namespace agent

#endif
