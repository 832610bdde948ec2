// An in-process reference agent over a scratch tree, and a raw client that
// speaks to it byte by byte.
#ifndef REFAGENT_TEST_AGENT_HARNESS_H
#define REFAGENT_TEST_AGENT_HARNESS_H

#include "agent_config.h"
#include "agent_server.h"
#include "wire.h"

#include <ace/SOCK_Stream.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace refagent_test {

using fake::Bytes;

// A temporary directory removed with everything in it.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    const std::string &path() const { return path_; }
    // Writes a file (parents created) below the directory.
    void Write(const std::string &relative, const std::string &content) const;
    void MakeDir(const std::string &relative) const;

private:
    std::string path_;
};

class RunningAgent {
public:
    // Serves `root` as C: for user "alice" / password "s3cret".
    explicit RunningAgent(const std::string &root, size_t maxConnections = 16, bool readOnly = false);
    // As above, with `adjust` changing the configuration before the agent starts.
    RunningAgent(const std::string &root, const std::function<void(refagent::AgentConfig &)> &adjust);
    ~RunningAgent();
    uint16_t port() const { return server_->Port(); }
    refagent::AgentConfig &config() { return config_; }

private:
    refagent::AgentConfig config_;
    std::unique_ptr<refagent::AgentServer> server_;
    std::thread thread_;
};

struct ReplyMessage {
    uint16_t byteOrder = 0, kind = 0;
    uint32_t opcode = 0, length = 0;
    Bytes payload;
    bool ok = false;
};

class RawClient {
public:
    explicit RawClient(uint16_t port);
    ~RawClient();
    bool connected() const { return connected_; }
    bool Send(const Bytes &bytes);
    // Exactly n bytes within the time-out, else what arrived.
    Bytes Read(size_t n, int timeoutMs = 5000);
    ReplyMessage ReadReply(int timeoutMs = 5000);
    // True when the agent closes the connection within the time-out.
    bool ClosedByPeer(int timeoutMs = 5000);
    // True when nothing at all arrives within the time.
    bool Silent(int ms);
    bool LogOn(const char16_t *user = u"alice", const char16_t *password = u"s3cret");

private:
    ACE_SOCK_Stream stream_;
    bool connected_ = false;
};

uint32_t U32(const Bytes &b, size_t at);
// Reads payload fields in order with the wire's CDR alignment.
class PayloadReader {
public:
    explicit PayloadReader(const Bytes &b) : bytes_(b) {}
    bool u32(uint32_t &v);
    bool wstr(std::u16string &s);
    size_t offset() const { return at_; }
    bool atEnd() const { return at_ >= bytes_.size(); }

private:
    const Bytes &bytes_;
    size_t at_ = 0;
};

} // namespace refagent_test

#endif
