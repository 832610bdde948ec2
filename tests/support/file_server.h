// A remote file served by the fake agent from memory: open, sequential
// read, read at an offset, pointer moves and close, with switches for the
// failures a copy must survive.
#ifndef AGENT_TEST_FILE_SERVER_H
#define AGENT_TEST_FILE_SERVER_H

#include "fake_agent.h"

#include <memory>

namespace fake {

struct FileServerOptions {
    uint32_t openStatus = 0;     // non-zero: the open is refused with it
    int failRead = 0;            // 1-based read answered with failReadStatus and no data
    uint32_t failReadStatus = 5;
    int failMove = 0;            // 1-based pointer move answered with failMoveStatus
    uint32_t failMoveStatus = 87;
    int cutRead = 0;             // 1-based read whose data stop half-way, then the agent closes
    uint32_t closeStatus = 0;    // status of the close reply
    // 1-based count over every reply of a logon, open, read, move and
    // close: that reply is not sent and the connection is closed instead.
    int dropAtReply = 0;
};

// Serves `content` as the file behind every open on every connection.
// Each connection keeps its own file pointer; a read at an offset leaves
// it alone.
void ServeFile(FakeAgent &agent, std::shared_ptr<const Bytes> content, FileServerOptions options = {});

// Bytes 0..n-1 of a pattern that does not repeat at 4096-byte boundaries.
Bytes PatternBytes(size_t n);

} // namespace fake

#endif
