// Copies one remote file into a local file so that the final name only
// ever holds a complete copy: the data go to a temporary name beside it,
// which is renamed into place after the last byte.
#ifndef AGENTCLI_REMOTE_COPY_H
#define AGENTCLI_REMOTE_COPY_H

#include "agent_stub.h"

#include <atomic>
#include <cstdint>
#include <string>

namespace agentcli {

// The name a copy is written under until it is complete.
std::string PartialName(const std::string &finalPath);

struct CopyResult {
    uint32_t error = 0;   // 0 on success: a Win32 or socket code otherwise
    std::string where;    // "open", "read", "local write", ... for messages
    uint64_t bytes = 0;
};

// Reads the remote file in chunks of `chunkSize` at explicit offsets until
// the agent reports the end; `progress` (may be null) counts the bytes as
// they arrive. On any failure the temporary file is removed and the final
// name is left as it was.
CopyResult CopyRemoteFile(AGENT_LOGON logon, const std::basic_string<WCHAR> &remote, const std::string &localPath,
                          size_t chunkSize, std::atomic<uint64_t> *progress);

} // namespace agentcli

#endif
