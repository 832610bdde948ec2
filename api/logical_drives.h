// Drive enumeration on a connection: a bare request, then an entry stream
// of one drive record per chunk.
#ifndef AGENT_API_LOGICAL_DRIVES_H
#define AGENT_API_LOGICAL_DRIVES_H

#include "transport/agent_connection.h"

#include <ace/CDR_Stream.h>

namespace agent {

// Reads Value1..Value9, then Text1 and Text2 (each cut to 260 characters),
// storing each field as it is read; the record is not cleared first. False
// at the first field that cannot be read.
bool ReadDriveInfo(ACE_InputCDR &in, AgentDriveInfo &info);

// 0 first record in `info` (connection DriveEnumerating); 1 no drives; -1 failure.
int FindFirstDrive(AgentConnection &connection, AgentDriveInfo &info);
// 0 next record; 1 end marker (connection Ready); -1 failure. An undecodable
// record fails with ERROR_INVALID_DATA and leaves the enumeration running.
int FindNextDrive(AgentConnection &connection, AgentDriveInfo &info);

} // namespace agent

#endif
