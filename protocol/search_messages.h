// Searches, drives and system information: OpFindFirst (1),
// OpFindFirstDrive (15), OpGetDiskFreeSpace (18), OpGetOSVersion (19).
//
// A search and a drive enumeration are answered by a reply header alone
// (length 0: nothing follows; otherwise an entry stream, see
// protocol/entry_stream.h) whose chunks hold one record each, every chunk
// decoded as a CDR stream of its own. The drive request is bare.
#ifndef AGENT_PROTOCOL_SEARCH_MESSAGES_H
#define AGENT_PROTOCOL_SEARCH_MESSAGES_H

#include "platform/platform.h"
#include "protocol/wide_string.h"

#include <ace/CDR_Stream.h>

#include <cstdint>

namespace agent {
namespace protocol {

// OpFindFirst request: the pattern (null goes out empty), then a signed
// value the library gives no meaning (its default is -1).
struct FindFirstRequest {
    WideText pattern;
    int32_t value = -1;
};
bool EncodeFindFirstRequest(ACE_OutputCDR &out, const WCHAR *pattern, int32_t value);
bool DecodeFindFirstRequest(ACE_InputCDR &in, FindFirstRequest &request);

// One entry of a search (and of a path list): attributes, the creation,
// last access and last write times, the size low word first, the name.
struct FindRecord {
    uint32_t attributes = 0;
    FILETIME creation = {0, 0};
    FILETIME lastAccess = {0, 0};
    FILETIME lastWrite = {0, 0};
    uint32_t sizeLow = 0;
    uint32_t sizeHigh = 0;
    WideText name;
};
bool EncodeFindRecord(ACE_OutputCDR &out, const FindRecord &record);
// Clears `data`, then fills it field by field, the name cut to 259
// characters (there is no 8.3 name on the wire). False at the first field
// that cannot be read; the fields read before it stay written.
bool DecodeFindRecord(ACE_InputCDR &in, WIN32_FIND_DATAW &data);

// One drive: Value1..Value9, then Text1 and Text2.
struct DriveRecord {
    uint32_t values[9] = {};
    WideText text1;
    WideText text2;
};
bool EncodeDriveRecord(ACE_OutputCDR &out, const DriveRecord &record);
// Stores each field as it is read, the texts cut to 260 characters; the
// record is not cleared first. False at the first field that cannot be read.
bool DecodeDriveRecord(ACE_InputCDR &in, AgentDriveInfo &info);

// OpGetDiskFreeSpace: the path; the reply's status and, on 0, four values.
bool EncodeGetDiskFreeSpaceRequest(ACE_OutputCDR &out, const WCHAR *path);
bool DecodeGetDiskFreeSpaceRequest(ACE_InputCDR &in, WideText &path);
struct GetDiskFreeSpaceReply {
    uint32_t status = 0;
    uint32_t sectorsPerCluster = 0;
    uint32_t bytesPerSector = 0;
    uint32_t freeClusters = 0;
    uint32_t totalClusters = 0;
};
bool EncodeGetDiskFreeSpaceReply(ACE_OutputCDR &out, const GetDiskFreeSpaceReply &reply);
// `in` must hold exactly the payload: the values are read only when the
// status is 0 and exactly their 16 bytes follow it; any other success
// reply leaves them 0.
bool DecodeGetDiskFreeSpaceReply(ACE_InputCDR &in, GetDiskFreeSpaceReply &reply);

// OpGetOSVersion: a bare request; the reply's first u32 is the version
// itself, with no status word before it.
bool EncodeGetOSVersionReply(ACE_OutputCDR &out, uint32_t version);
bool DecodeGetOSVersionReply(ACE_InputCDR &in, uint32_t &version);

} // namespace protocol
} // namespace agent

#endif
