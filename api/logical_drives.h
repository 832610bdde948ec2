// Drive enumeration on a connection: a bare request, then an entry stream
// of one drive record per chunk.
#ifndef AGENT_API_LOGICAL_DRIVES_H
#define AGENT_API_LOGICAL_DRIVES_H

#include "transport/agent_connection.h"

namespace agent {

// 0 first record in `info` (connection DriveEnumerating); 1 no drives; -1 failure.
int FindFirstDrive(AgentConnection &connection, AgentDriveInfo &info);
// 0 next record; 1 end marker (connection Ready); -1 failure. An undecodable
// record fails with ERROR_INVALID_DATA and leaves the enumeration running.
int FindNextDrive(AgentConnection &connection, AgentDriveInfo &info);

} // namespace agent

#endif
