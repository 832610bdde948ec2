#include "agent_server.h"

#include "filesystem/fss_util.h"
#include "session.h"
#include "win32_codes.h"

#include <ace/INET_Addr.h>
#include <ace/SOCK_Stream.h>
#include <ace/Time_Value.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace refagent {

struct AgentServer::Worker {
    ACE_SOCK_Stream stream;
    std::thread thread;
    std::atomic<bool> done{false};
};

AgentServer::AgentServer(const AgentConfig &config) : config_(config) {}

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
    if (acceptor_.open(address, 1) == -1) {
        error = "cannot listen on " + config_.listenAddress + ":" + std::to_string(config_.port);
        return false;
    }
    ACE_INET_Addr bound;
    acceptor_.get_local_addr(bound);
    port_ = bound.get_port_number();
    return true;
}

void AgentServer::TurnAway(ACE_SOCK_Stream &stream)
{
    // Read the logon (briefly, and only a small one) so that the refusal
    // arrives as its answer rather than being lost to a reset.
    unsigned char header[12];
    ACE_Time_Value wait(1);
    if (stream.recv_n(header, sizeof header, &wait) == static_cast<ssize_t>(sizeof header)) {
        const bool big = header[0] != 1 || header[1] != 0;
        auto u32 = [&](int at) {
            return big ? uint32_t(header[at]) << 24 | uint32_t(header[at + 1]) << 16 | uint32_t(header[at + 2]) << 8 |
                             header[at + 3]
                       : uint32_t(header[at]) | uint32_t(header[at + 1]) << 8 | uint32_t(header[at + 2]) << 16 |
                             uint32_t(header[at + 3]) << 24;
        };
        const uint32_t opcode = u32(4);
        const uint32_t length = u32(8);
        char payload[4096];
        ACE_Time_Value payloadWait(1);
        if (length <= sizeof payload &&
            (length == 0 || stream.recv_n(payload, length, &payloadWait) == static_cast<ssize_t>(length))) {
            ACE_OutputCDR reply = agent::MakeOutputStream(32);
            agent::WriteHeader(reply, agent::Reply, opcode, 4);
            reply.write_ulong(kErrorReqNotAccepted);
            reply.consolidate();
            ACE_Time_Value sendWait(1);
            stream.send_n(reply.begin()->rd_ptr(), reply.total_length(), &sendWait);
            ::shutdown(stream.get_handle(), SHUT_WR);
        }
    }
    stream.close();
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

void AgentServer::Run()
{
    while (!stopping_) {
        auto worker = std::make_unique<Worker>();
        ACE_Time_Value poll(0, 200 * 1000);
        if (acceptor_.accept(worker->stream, nullptr, &poll) == -1) {
            Reap(false);
            continue;
        }
        Reap(false);
        if (active_ >= config_.maxConnections) {
            TurnAway(worker->stream);
            continue;
        }
        // Replies are small and request-driven; waiting to coalesce them
        // would only add delayed-acknowledgement stalls.
        int noDelay = 1;
        worker->stream.set_option(IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
        ++active_;
        Worker *w = worker.get();
        const int id = nextId_++;
        std::lock_guard<std::mutex> lock(mutex_);
        w->thread = std::thread([this, w, id] {
            Session session(config_, w->stream, id);
            session.Run();
            ::shutdown(w->stream.get_handle(), SHUT_RDWR);
            --active_;
            w->done = true;
        });
        workers_.push_back(std::move(worker));
    }
    Reap(true);
}

} // namespace refagent
