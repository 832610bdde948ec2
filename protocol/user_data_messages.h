// Shell folders and browser data: OpGetFolderPath (13), OpFirefox3Exists
// (31), OpGetFirefox3BookmarkPath (32), OpGetIEFavoritePath (33).
//
// The folder request carries the folder number and a flag; the three
// others are bare. OpFirefox3Exists is answered by a status alone; the
// others by a path reply: the status and, on 0, one path.
#ifndef AGENT_PROTOCOL_USER_DATA_MESSAGES_H
#define AGENT_PROTOCOL_USER_DATA_MESSAGES_H

#include "platform/platform.h"
#include "protocol/wide_string.h"

#include <ace/CDR_Stream.h>

#include <cstdint>

namespace agent {
namespace protocol {

// folder: a CSIDL number, passed through; flag: 0 current path, 1 default.
struct GetFolderPathRequest {
    uint32_t folder = 0;
    uint32_t flag = 0;
};
bool EncodeGetFolderPathRequest(ACE_OutputCDR &out, const GetFolderPathRequest &request);
bool DecodeGetFolderPathRequest(ACE_InputCDR &in, GetFolderPathRequest &request);

// The path is written only when the status is 0.
bool EncodePathReply(ACE_OutputCDR &out, uint32_t status, const WideText &path);
// Decoded into the library's form: the path stays in the CDR allocator's
// memory until the caller has copied it out.
struct PathReply {
    uint32_t status = 0;
    OwnedWideString path;
};
// False when the status, or after a status of 0 the path, cannot be read.
bool DecodePathReply(ACE_InputCDR &in, PathReply &reply);

} // namespace protocol
} // namespace agent

#endif
