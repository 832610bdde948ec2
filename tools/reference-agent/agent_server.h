// The TCP side: accepts clients into the logon lobby, and runs one session
// thread per logged-on connection up to the configured number.
#ifndef REFAGENT_AGENT_SERVER_H
#define REFAGENT_AGENT_SERVER_H

#include "agent_config.h"
#include "logon_lobby.h"
#include "logon_throttle.h"

#include <ace/SOCK_Acceptor.h>

#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace refagent {

class AgentServer {
public:
    explicit AgentServer(const AgentConfig &config);
    ~AgentServer();
    AgentServer(const AgentServer &) = delete;
    AgentServer &operator=(const AgentServer &) = delete;

    // Binds the listener; false with the reason.
    bool Open(std::string &error);
    uint16_t Port() const { return port_; }
    // Accepts until Stop() is called (from any thread or a signal handler).
    void Run();
    void Stop() { stopping_ = true; }
    // Sessions running now.
    size_t Active() const { return active_; }

private:
    struct Worker;
    void Reap(bool all);
    void AcceptWaiting();
    void StartSession(UniqueFd fd, const std::string &peer);

    const AgentConfig &config_;
    LogonThrottle throttle_;
    LogonLobby lobby_;
    ACE_SOCK_Acceptor acceptor_;
    uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<size_t> active_{0};
    std::mutex mutex_;
    std::list<std::unique_ptr<Worker>> workers_;
    int nextId_ = 0;
};

} // namespace refagent

#endif
