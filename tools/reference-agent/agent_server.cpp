#include "agent_server.h"

#include "attribute_store.h"
#include "protocol/fss_util.h"
#include "session.h"
#include "win32_codes.h"

#include <ace/INET_Addr.h>
#include <ace/SOCK_Stream.h>
#include <ace/Time_Value.h>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>

namespace refagent {

struct AgentServer::Worker {
    ACE_SOCK_Stream stream;
    std::thread thread;
    std::atomic<bool> done{false};
};

namespace {

std::string PeerText(const sockaddr_storage &address)
{
    char text[INET6_ADDRSTRLEN] = "?";
    if (address.ss_family == AF_INET)
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in &>(address).sin_addr, text, sizeof text);
    else if (address.ss_family == AF_INET6)
        ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6 &>(address).sin6_addr, text, sizeof text);
    return text;
}

// Every waiting connection holds a descriptor; the soft limit is raised to
// the hard one so that the lobby, not the default of 1024, sets the bound.
void RaiseDescriptorLimit()
{
    struct rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

} // namespace

AgentServer::AgentServer(const AgentConfig &config)
    : config_(config), throttle_(config.throttle),
      lobby_(config, throttle_,
             LogonLobby::Hooks{[this] { return active_ < config_.maxConnections; },
                               [this](UniqueFd fd, const std::string &peer) { StartSession(std::move(fd), peer); }})
{
}

AgentServer::~AgentServer()
{
    Stop();
    Reap(true);
    acceptor_.close();
}

bool AgentServer::Open(std::string &error)
{
    ACE_INET_Addr address;
    if (address.set(config_.port, config_.listenAddress.c_str()) != 0) {
        error = "cannot resolve listen address " + config_.listenAddress;
        return false;
    }
    // A deep backlog: bursts of connections wait in the kernel for the
    // lobby rather than in SYN retries.
    if (acceptor_.open(address, 1, PF_UNSPEC, 1024) == -1) {
        error = "cannot listen on " + config_.listenAddress + ":" + std::to_string(config_.port);
        return false;
    }
    ACE_INET_Addr bound;
    acceptor_.get_local_addr(bound);
    port_ = bound.get_port_number();
    // Accepting never blocks the loop that serves the lobby.
    const int handle = acceptor_.get_handle();
    ::fcntl(handle, F_SETFL, ::fcntl(handle, F_GETFL) | O_NONBLOCK);
    RaiseDescriptorLimit();
    return true;
}

void AgentServer::Reap(bool all)
{
    std::list<std::unique_ptr<Worker>> finished;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = workers_.begin(); it != workers_.end();) {
            if (all)
                ::shutdown((*it)->stream.get_handle(), SHUT_RDWR); // wakes a blocked receive
            if (all || (*it)->done) {
                finished.push_back(std::move(*it));
                it = workers_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto &w : finished) {
        w->thread.join();
        w->stream.close();
    }
}

void AgentServer::AcceptWaiting()
{
    // A bounded batch, so that waiting connections get their turn too.
    for (int i = 0; i < 64; ++i) {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        const int fd = ::accept4(acceptor_.get_handle(), reinterpret_cast<sockaddr *>(&address), &length,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            lobby_.Admit(UniqueFd(fd), PeerText(address));
            continue;
        }
        if (errno == EMFILE || errno == ENFILE) {
            if (lobby_.Waiting() == 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            lobby_.DropOldest();
        }
        if (errno != EINTR && errno != ECONNABORTED)
            return;
    }
}

void AgentServer::StartSession(UniqueFd fd, const std::string &peer)
{
    auto worker = std::make_unique<Worker>();
    worker->stream.set_handle(fd.Release());
    // Replies are small and request-driven; waiting to coalesce them
    // would only add delayed-acknowledgement stalls.
    int noDelay = 1;
    worker->stream.set_option(IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
    ++active_;
    Worker *w = worker.get();
    const int id = nextId_++;
    std::lock_guard<std::mutex> lock(mutex_);
    w->thread = std::thread([this, w, id, peer] {
        UseOwnWorkingFolder();
        Session session(config_, w->stream, id, throttle_, peer);
        session.Run();
        ::shutdown(w->stream.get_handle(), SHUT_RDWR);
        --active_;
        w->done = true;
    });
    workers_.push_back(std::move(worker));
}

void AgentServer::Run()
{
    while (!stopping_) {
        if (lobby_.Step(acceptor_.get_handle(), 200))
            AcceptWaiting();
        Reap(false);
    }
    Reap(true);
}

} // namespace refagent
