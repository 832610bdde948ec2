// AgentProber: one UDP socket that broadcasts probes into every local
// IPv4 subnet and a receive thread that hands each answer to the host's
// callback until the prober is closed.
#ifndef AGENT_PROBER_H
#define AGENT_PROBER_H

#include "platform/platform.h"

#include <ace/SOCK_Dgram_Bcast.h>
#include <ace/Thread.h>

#include <atomic>

struct AgentProber {
public:
    AgentProber() = default;
    // Stops the receive thread and closes the socket (see Close).
    ~AgentProber();
    AgentProber(const AgentProber &) = delete;
    AgentProber &operator=(const AgentProber &) = delete;

    // Opens the socket, starts the receive thread and runs a first sweep.
    // 0, or -1 when any of the three failed.
    int Open(u_short port, AgentProbeCallback callback, void *context);
    // One sweep; 0 when at least one probe went out, else -1.
    int SendProbes();
    // Ends the receive thread, waiting for a callback in progress, then
    // closes the socket. No callback runs once it has returned.
    void Close();

private:
    static ACE_THR_FUNC_RETURN ReceiveLoop(void *prober);
    void ReceiveReplies();

    ACE_thread_t threadId_{};
    bool threadStarted_ = false;
    u_short port_ = 0;
    AgentProbeCallback callback_ = nullptr;
    void *context_ = nullptr;
    ACE_SOCK_Dgram_Bcast socket_;
    std::atomic<bool> stopping_{false};
};

#endif
