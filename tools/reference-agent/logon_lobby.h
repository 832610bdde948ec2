// Connections that have not logged on yet. They are served by one poll loop
// on the accept thread, not by threads of their own: each costs a
// descriptor and at most a few KiB, reads only a small logon request, is
// closed when it has not logged on by its deadline, and a failed logon is
// answered only when the throttle allows. A successful logon hands the
// connection to a session thread, within the cap on sessions; beyond the
// cap the logon is answered with ERROR_REQ_NOT_ACCEP without any waiting.
#ifndef REFAGENT_LOGON_LOBBY_H
#define REFAGENT_LOGON_LOBBY_H

#include "agent_config.h"
#include "logon_throttle.h"
#include "unique_fd.h"

#include <chrono>
#include <functional>
#include <list>
#include <string>
#include <vector>

namespace refagent {

class LogonLobby {
public:
    using Clock = std::chrono::steady_clock;
    struct Hooks {
        std::function<bool()> sessionSlotFree;
        // Takes over a logged-on connection (blocking mode restored).
        std::function<void(UniqueFd fd, const std::string &peer)> startSession;
    };
    LogonLobby(const AgentConfig &config, LogonThrottle &throttle, Hooks hooks);
    ~LogonLobby();

    // A new connection; the oldest waiting one is dropped when the lobby is full.
    void Admit(UniqueFd fd, std::string peer);
    // Serves waiting connections for at most `waitMs`; true when
    // `listenFd` has a connection to accept.
    bool Step(int listenFd, int waitMs);
    size_t Waiting() const;
    // Frees a descriptor when the process has run out of them.
    void DropOldest();

private:
    struct Pending;
    // False when the connection is done with (closed or handed over).
    bool OnReadable(Pending &w);
    bool OnRequest(Pending &w);
    bool Flush(Pending &w);

    const AgentConfig &config_;
    LogonThrottle &throttle_;
    Hooks hooks_;
    std::list<Pending> waiting_;
};

} // namespace refagent

#endif
