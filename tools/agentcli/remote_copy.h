// Copies one remote file into a local file through the library's
// AgentCopyFileFromAgentExW, so that the final name only ever holds a
// complete copy: the library writes a partial file beside it and renames
// it into place after the last byte.
#ifndef AGENTCLI_REMOTE_COPY_H
#define AGENTCLI_REMOTE_COPY_H

#include "agent_stub.h"

#include <atomic>
#include <cstdint>
#include <string>

namespace agentcli {

// The name the library writes a copy of finalPath under until it is
// complete, in the same folder: ".agent-partial:<name>" (on Windows
// ".agent-partial-<name>"), or for a name too long for that a cut name
// with a hash of the whole one.
std::string PartialName(const std::string &finalPath);
// True for a file name (no folder) of that form.
bool IsPartialName(const std::string &name);
// The bytes the partial file of finalPath holds for a restart of the copy
// of this remote version (size, last-write ticks); 0 when there is none or
// something other than a regular file stands at its name.
uint64_t ResumableBytes(const std::string &finalPath, uint64_t size, uint64_t lastWrite);

enum class CopyMode {
    Fresh,       // start from the first byte; a failed copy leaves nothing behind
    Restartable, // continue a partial file of the same remote version; a failed copy keeps its partial file
};

struct CopyResult {
    uint32_t error = 0;   // 0 on success: a Win32 or socket code otherwise
    std::string where;    // "local path", "copy" for messages
    uint64_t bytes = 0;   // the file's size once copied
    uint64_t resumed = 0; // of those, the bytes a partial file already held
};

// `progress` (may be null) counts the bytes as they arrive, a resumed
// partial file's bytes included; `resumed` (may be null) counts those
// alone, so a rate can leave out what was not transferred. On failure the
// final name is left as it was. flush false: AGENT_COPY_FILE_NO_FLUSH.
CopyResult CopyRemoteFile(AGENT_LOGON logon, const std::basic_string<WCHAR> &remote, const std::string &localPath,
                          std::atomic<uint64_t> *progress, CopyMode mode = CopyMode::Fresh,
                          std::atomic<uint64_t> *resumed = nullptr, bool flush = true);

// The mirror: a local file onto the agent through AgentCopyFileToAgentExW,
// which writes a partial file beside the remote target and gives it the
// target's name only when complete. Restartable continues a partial file
// an interrupted put of the same local version left on the agent.
CopyResult PutLocalFile(AGENT_LOGON logon, const std::string &localPath, const std::basic_string<WCHAR> &remote,
                        std::atomic<uint64_t> *progress, CopyMode mode = CopyMode::Fresh);

} // namespace agentcli

#endif
