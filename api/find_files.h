// Directory searches on a connection: one request, then an entry stream of
// one find-data record per chunk, read one record per call.
#ifndef AGENT_API_FIND_FILES_H
#define AGENT_API_FIND_FILES_H

#include "transport/agent_connection.h"

namespace agent {

// 0 the first entry is in `data` and the connection is Enumerating; 1 no
// entries (connection Ready); -1 failure, the cause in the last error.
int FindFirst(AgentConnection &connection, const WCHAR *pattern, int32_t value, WIN32_FIND_DATAW &data);
// 0 next entry; 1 end marker read (connection Ready); -1 failure. A record
// that cannot be decoded fails with ERROR_INVALID_DATA and leaves the
// search running at the next chunk.
int FindNext(AgentConnection &connection, WIN32_FIND_DATAW &data);
// Whether some of the next record of the search `search` has arrived, so
// that AgentFindNextFileW need not wait for the agent; false for a handle
// that is not a live search.
bool SearchHasReadAhead(HANDLE search);

} // namespace agent

#endif
