// AgentCopyFilesFromAgentW and AgentCopyFilesToAgentW: many files, each
// copied as the one-file copy of its direction copies one, with as many in
// flight as FlightControl finds the network worth.
#ifndef AGENT_COPY_FILES_H
#define AGENT_COPY_FILES_H

#include "session/agent_logon.h"

namespace agent {
namespace copy_files {

// When the caller names no cap: enough for a long round trip, few enough
// that the agent's connection threads stay affordable.
constexpr unsigned kDefaultCap = 64;

// Which one-file copy each item gets: AgentCopyFileFromAgentExW's (remote
// path to local path) or AgentCopyFileToAgentExW's (local to remote).
enum class Direction { FromAgent, ToAgent };

struct Batch {
    Direction direction = Direction::FromAgent;
    AgentLogon *logon = nullptr;
    AGENT_COPY_ITEM *items = nullptr;
    DWORD count = 0;
    AgentCopyItemRoutine progress = nullptr;
    void *context = nullptr;
    BOOL *cancel = nullptr;
    DWORD flags = 0;
    unsigned cap = kDefaultCap;
};

// 1 when every item was copied; else 0 with the cause in the thread's
// last error (1235 after a cancel, else the first failed item's result).
BOOL CopyFiles(const Batch &batch);

} // namespace copy_files
} // namespace agent

#endif
