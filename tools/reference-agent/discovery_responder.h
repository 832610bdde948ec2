// Answers discovery probes with "1,<tcp port>,<computer name>", sent back
// to the probe's source. Only loopback sources are answered unless told
// otherwise, so a development agent never talks to a real network.
#ifndef REFAGENT_DISCOVERY_RESPONDER_H
#define REFAGENT_DISCOVERY_RESPONDER_H

#include <ace/SOCK_Dgram.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

namespace refagent {

// The reply text for a probe: leading number 1, the TCP port as the value,
// then the computer name.
std::string DiscoveryReply(uint16_t tcpPort, const std::string &computerName);

class DiscoveryResponder {
public:
    ~DiscoveryResponder() { Stop(); }
    // Binds UDP `port` on every local address (broadcasts arrive only there).
    bool Start(uint16_t port, uint16_t tcpPort, const std::string &name, bool anySource, std::string &error);
    void Stop();
    uint64_t Answered() const { return answered_; }

private:
    void Loop();

    ACE_SOCK_Dgram socket_;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::atomic<uint64_t> answered_{0};
    std::string reply_;
    bool anySource_ = false;
};

} // namespace refagent

#endif
