// Outlook PST stores on the agent's machine: the exchanges shared by the
// store exports.
#ifndef AGENT_API_PST_STORES_H
#define AGENT_API_PST_STORES_H

#include "local_names/store_names.h"
#include "transport/agent_connection.h"

#include <string>
#include <vector>

namespace agent {

// Decodes a store list reply (no socket work): status, count, then per
// store its path and second text, each handed to `visit` as soon as it is
// read, so a list that breaks off still reports the stores before the
// break. 0 after the last store; -1 on a non-zero status (the thread's
// last error) or a short payload (13).
int DecodeStoreList(ACE_InputCDR &in, AgentPstListCallback visit, void *context);

// The store list exchange on a Ready connection (ERROR_INVALID_ACCESS
// otherwise, nothing sent). 0 / -1.
int ListStores(AgentConnection &connection, AgentPstListCallback visit, void *context);

} // namespace agent

#endif
