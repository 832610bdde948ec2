#include "discovery_responder.h"

#include "protocol/discovery_messages.h"

#include <ace/INET_Addr.h>
#include <ace/Time_Value.h>

namespace refagent {

std::string DiscoveryReply(uint16_t tcpPort, const std::string &computerName)
{
    return agent::protocol::EncodeProbeReply(1, tcpPort, computerName);
}

bool DiscoveryResponder::Start(uint16_t port, uint16_t tcpPort, const std::string &name, bool anySource,
                               std::string &error)
{
    ACE_INET_Addr local(port, static_cast<ACE_UINT32>(INADDR_ANY));
    if (socket_.open(local) == -1) {
        error = "cannot bind UDP port " + std::to_string(port);
        return false;
    }
    reply_ = DiscoveryReply(tcpPort, name);
    anySource_ = anySource;
    thread_ = std::thread([this] { Loop(); });
    return true;
}

void DiscoveryResponder::Stop()
{
    stopping_ = true;
    if (thread_.joinable())
        thread_.join();
    socket_.close();
}

void DiscoveryResponder::Loop()
{
    char buffer[512];
    while (!stopping_) {
        ACE_INET_Addr from;
        ACE_Time_Value poll(0, 200 * 1000);
        const ssize_t n = socket_.recv(buffer, sizeof buffer, from, 0, &poll);
        // Anything but a probe is not ours to answer.
        agent::protocol::ProbeRequest probe;
        if (n < 0 || !agent::protocol::DecodeProbeRequest(buffer, static_cast<size_t>(n), probe))
            continue;
        if (!anySource_ && !from.is_loopback())
            continue;
        if (socket_.send(reply_.data(), reply_.size(), from) == static_cast<ssize_t>(reply_.size()))
            ++answered_;
    }
}

} // namespace refagent
