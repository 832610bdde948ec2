// Several remote files served by the fake agent, each under its own path:
// open (by path), read at an offset, pointer moves and close, enough for
// AgentCopyFileFromAgent. Opens of unknown paths are refused with status 2.
#ifndef AGENT_TEST_REMOTE_FILES_H
#define AGENT_TEST_REMOTE_FILES_H

#include "fake_agent.h"

#include <map>
#include <memory>

namespace fake {

struct RemoteFile {
    Bytes content;
    uint32_t readStatus = 0; // non-zero: every read is refused with it
    uint64_t lastWrite = 0;  // FILETIME ticks in the information reply
    int readDelayMs = 0;     // each read's reply waits this long
};

using RemoteFiles = std::map<WString, RemoteFile>;

// Scripts OpCreateFile, OpGetFileInformation, OpReadFileAt, OpSetFilePointer
// and OpCloseHandle.
void ServeFiles(FakeAgent &agent, std::shared_ptr<const RemoteFiles> files);

// The path carried by a recorded OpCreateFile request.
WString OpenedPath(const Request &open);

// Bytes 0..n-1 of a pattern that differs per seed and does not repeat at
// 4096-byte boundaries.
Bytes Pattern(size_t n, uint8_t seed);

} // namespace fake

#endif
