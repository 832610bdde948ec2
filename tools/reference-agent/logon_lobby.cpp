#include "logon_lobby.h"

#include "credentials.h"
#include "protocol/fss_util.h"
#include "refusal.h"
#include "win32_codes.h"
#include "wire_channel.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

namespace refagent {

using namespace agent;

namespace {
// Failed logons one connection may try before it is closed.
constexpr unsigned kMaxFailuresPerConnection = 5;
} // namespace

struct LogonLobby::Pending {
    UniqueFd fd;
    std::string peer;
    Clock::time_point deadline;
    char header[kHeaderSize] = {};
    size_t headerGot = 0;
    MessageHeader request;
    std::vector<uint64_t> payload; // 8-aligned for the CDR reader
    size_t payloadGot = 0;
    std::string out; // the answer on its way
    size_t outSent = 0;
    Clock::time_point answerAt{}; // a refused logon is answered no earlier
    unsigned failures = 0;
    enum class Then { Read, Close, HandOver } then = Then::Read;
};

LogonLobby::LogonLobby(const AgentConfig &config, LogonThrottle &throttle, Hooks hooks)
    : config_(config), throttle_(throttle), hooks_(std::move(hooks))
{
}

LogonLobby::~LogonLobby() = default;

size_t LogonLobby::Waiting() const { return waiting_.size(); }

void LogonLobby::DropOldest()
{
    if (!waiting_.empty())
        waiting_.pop_front();
}

void LogonLobby::Admit(UniqueFd fd, std::string peer)
{
    // The oldest goes: a real client logs on within moments of connecting,
    // so only connections that sat silent are lost.
    if (waiting_.size() >= config_.maxPending)
        waiting_.pop_front();
    waiting_.emplace_back();
    Pending &w = waiting_.back();
    w.fd = std::move(fd);
    w.peer = std::move(peer);
    w.deadline = Clock::now() + config_.logonTimeout;
}

bool LogonLobby::Flush(Pending &w)
{
    if (w.answerAt > Clock::now())
        return true;
    while (w.outSent < w.out.size()) {
        const ssize_t n = ::send(w.fd.get(), w.out.data() + w.outSent, w.out.size() - w.outSent,
                                 MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true; // the rest when the socket takes it
        if (n <= 0)
            return false;
        w.outSent += static_cast<size_t>(n);
    }
    w.out.clear();
    w.outSent = 0;
    if (w.then == Pending::Then::Close)
        return false;
    if (w.then == Pending::Then::HandOver) {
        const int flags = ::fcntl(w.fd.get(), F_GETFL);
        ::fcntl(w.fd.get(), F_SETFL, flags & ~O_NONBLOCK);
        hooks_.startSession(std::move(w.fd), w.peer);
        return false;
    }
    return true;
}

bool LogonLobby::OnRequest(Pending &w)
{
    const uint32_t op = w.request.opcode;
    ACE_InputCDR in(reinterpret_cast<const char *>(w.payload.data()), w.request.length, ByteOrderOf(w.request.byteOrder),
                    1, 2);
    if (op == OpLogon) {
        LogonRequest logon;
        if (!protocol::DecodeLogonRequest(in, logon))
            return false;
        if (CredentialsMatch(config_, logon)) {
            const bool free = hooks_.sessionSlotFree();
            w.out = StatusBytes(OpLogon, free ? 0 : kErrorReqNotAccepted);
            w.then = free ? Pending::Then::HandOver : Pending::Then::Close;
            if (config_.verbose)
                std::fprintf(stderr, "reference-agent: logon of \"%s\" from %s %s\n",
                             LoggableName(logon.user).c_str(), w.peer.c_str(), free ? "accepted" : "over the cap");
        } else {
            const Clock::time_point now = Clock::now();
            const LogonThrottle::Verdict verdict = throttle_.Failure(w.peer, now);
            ++w.failures;
            w.answerAt = verdict.answerAt;
            w.out = StatusBytes(OpLogon, kErrorLogonFailure);
            if (w.failures >= kMaxFailuresPerConnection)
                w.then = Pending::Then::Close;
            const double delay = std::chrono::duration<double>(verdict.answerAt - now).count();
            std::fprintf(stderr,
                         "reference-agent: logon refused for user \"%s\" from %s (failure %u from this address, "
                         "answered after %.1f s%s)\n",
                         LoggableName(logon.user).c_str(), w.peer.c_str(), verdict.failures, delay,
                         w.then == Pending::Then::Close ? ", connection closed" : "");
        }
    } else if (op == OpLogout) {
        w.out = StatusBytes(op, 0);
    } else if (!RefusalBytes(op, kErrorNotLoggedOn, w.out)) {
        return false;
    }
    return Flush(w);
}

bool LogonLobby::OnReadable(Pending &w)
{
    ssize_t n = 0;
    if (w.headerGot < kHeaderSize) {
        n = ::recv(w.fd.get(), w.header + w.headerGot, kHeaderSize - w.headerGot, MSG_DONTWAIT);
        if (n > 0) {
            w.headerGot += static_cast<size_t>(n);
            if (w.headerGot < kHeaderSize)
                return true;
            if (!DecodeRequestHeader(w.header, w.request) || w.request.length > kMaxPreLogonPayload)
                return false; // nothing sizable before a logon
            w.payload.assign(w.request.length / 8 + 1, 0);
            w.payloadGot = 0;
        }
    } else {
        n = ::recv(w.fd.get(), reinterpret_cast<char *>(w.payload.data()) + w.payloadGot,
                   w.request.length - w.payloadGot, MSG_DONTWAIT);
        if (n > 0)
            w.payloadGot += static_cast<size_t>(n);
    }
    if (n == 0)
        return false;
    if (n < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    if (w.headerGot < kHeaderSize || w.payloadGot < w.request.length)
        return true;
    w.headerGot = 0;
    return OnRequest(w);
}

bool LogonLobby::Step(int listenFd, int waitMs)
{
    Clock::time_point now = Clock::now();
    Clock::time_point wake = now + std::chrono::milliseconds(waitMs);
    std::vector<pollfd> fds;
    std::vector<std::list<Pending>::iterator> order;
    fds.push_back(pollfd{listenFd, POLLIN, 0});
    for (auto it = waiting_.begin(); it != waiting_.end(); ++it) {
        wake = std::min(wake, it->deadline);
        short events = 0;
        if (!it->out.empty()) {
            if (it->answerAt > now)
                wake = std::min(wake, it->answerAt);
            else
                events = POLLOUT;
        } else {
            events = POLLIN; // a request is read only once the last answer is out
        }
        fds.push_back(pollfd{it->fd.get(), events, 0});
        order.push_back(it);
    }
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(wake - now).count();
    const int ready = ::poll(fds.data(), fds.size(), static_cast<int>(std::max<long long>(wait, 0) + 1));
    if (ready < 0)
        return false;
    now = Clock::now();
    for (size_t i = 0; i < order.size(); ++i) {
        Pending &w = *order[i];
        const short revents = fds[i + 1].revents;
        bool keep = now < w.deadline;
        if (keep && !w.out.empty())
            keep = Flush(w);
        else if (keep && (revents & (POLLIN | POLLHUP | POLLERR)) != 0)
            keep = OnReadable(w);
        if (!keep)
            waiting_.erase(order[i]);
    }
    return (fds[0].revents & POLLIN) != 0;
}

} // namespace refagent
