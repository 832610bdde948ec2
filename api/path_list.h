// Path lists on a connection: one request, then chunks of many entries
// (a path and a find-data record each), every chunk acknowledged with a
// bare OpNextPathList once its entries have been handed to the callback.
#ifndef AGENT_API_PATH_LIST_H
#define AGENT_API_PATH_LIST_H

#include "transport/agent_connection.h"

namespace agent {

// 1 the stream ran to its end marker (connection Ready); -1 failure.
int GetPathList(AgentConnection &connection, const WCHAR *path, AgentPathListCallback callback, void *context);
// The chunk loop on an Enumerating connection: 1 or -1 as above; every
// failure leaves the connection Closed.
int RunPathListStream(AgentConnection &connection, AgentPathListCallback callback, void *context);
// Sends a bare OpCancelPathList on an Enumerating connection (no reply is
// read). 0, or -1 with ERROR_INVALID_ACCESS and nothing sent.
int CancelPathList(AgentConnection &connection);

} // namespace agent

#endif
