#include "scripted_agent.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace fuzzing {

namespace {

constexpr size_t kHeaderSize = 12;
constexpr uint32_t kMostRequest = 64u << 20;

[[noreturn]] void Fail(const char *what)
{
    std::perror(what);
    std::abort();
}

// The request's payload length from its header, in the sender's order.
uint32_t PayloadLength(const std::string &header)
{
    const auto *b = reinterpret_cast<const unsigned char *>(header.data());
    const bool little = b[0] == 1 && b[1] == 0;
    return little ? uint32_t(b[8]) | uint32_t(b[9]) << 8 | uint32_t(b[10]) << 16 | uint32_t(b[11]) << 24
                  : uint32_t(b[8]) << 24 | uint32_t(b[9]) << 16 | uint32_t(b[10]) << 8 | uint32_t(b[11]);
}

} // namespace

std::vector<std::string> SplitReplies(const uint8_t *data, size_t size)
{
    const std::string input(reinterpret_cast<const char *>(data), size);
    const size_t separatorLength = sizeof kSeparator - 1;
    std::vector<std::string> replies;
    size_t start = 0;
    for (;;) {
        const size_t at = input.find(kSeparator, start);
        if (at == std::string::npos) {
            replies.push_back(input.substr(start));
            return replies;
        }
        replies.push_back(input.substr(start, at - start));
        start = at + separatorLength;
    }
}

ScriptedAgent::ScriptedAgent()
{
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listener_ < 0)
        Fail("scripted agent: socket");
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr *>(&address), length) != 0 || ::listen(listener_, 64) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        Fail("scripted agent: listen on 127.0.0.1");
    port_ = ntohs(address.sin_port);
    if (::pipe2(wake_, O_NONBLOCK | O_CLOEXEC) != 0)
        Fail("scripted agent: pipe");
    server_ = std::thread([this] { Serve(); });
}

ScriptedAgent::~ScriptedAgent()
{
    {
        std::lock_guard<std::mutex> guard(mutex_);
        stopping_ = true;
    }
    Wake();
    server_.join();
    ::close(listener_);
    ::close(wake_[0]);
    ::close(wake_[1]);
}

void ScriptedAgent::Wake()
{
    const char byte = 1;
    // A full pipe already holds a wake-up.
    (void)!::write(wake_[1], &byte, 1);
}

void ScriptedAgent::Begin(std::vector<std::string> replies, pid_t caller)
{
    std::lock_guard<std::mutex> guard(mutex_);
    replies_ = std::move(replies);
    nextReply_ = 0;
    caller_ = caller;
}

void ScriptedAgent::End()
{
    std::unique_lock<std::mutex> lock(mutex_);
    ending_ = true;
    Wake();
    // The server answers within one poll round; the bound only keeps a
    // broken harness from hanging the fuzzer silently.
    if (!done_.wait_for(lock, std::chrono::seconds(10), [this] { return !ending_; }))
        Fail("scripted agent: server did not end the round");
    replies_.clear();
    caller_ = 0;
}

void ScriptedAgent::Accept()
{
    for (;;) {
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;
        peers_.push_back(Peer{fd, {}, {}, false, false});
    }
}

bool ScriptedAgent::TakeRequests(Peer &peer)
{
    while (peer.in.size() >= kHeaderSize) {
        const uint32_t length = PayloadLength(peer.in);
        if (length > kMostRequest)
            return false;
        if (peer.in.size() < kHeaderSize + length)
            break;
        peer.in.erase(0, kHeaderSize + length);
        lastFd_ = peer.fd;
        std::lock_guard<std::mutex> guard(mutex_);
        if (nextReply_ < replies_.size())
            peer.out += replies_[nextReply_++];
        else
            peer.finish = true;
    }
    return true;
}

void ScriptedAgent::Flush(Peer &peer)
{
    while (!peer.out.empty()) {
        const ssize_t n = ::send(peer.fd, peer.out.data(), peer.out.size(), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return; // full (polled for POLLOUT) or gone (seen by the next recv)
        }
        peer.out.erase(0, static_cast<size_t>(n));
    }
    if (peer.finish && !peer.finished) {
        ::shutdown(peer.fd, SHUT_WR);
        peer.finished = true;
    }
}

bool ScriptedAgent::Pump(Peer &peer)
{
    char scratch[16384];
    for (;;) {
        const ssize_t n = ::recv(peer.fd, scratch, sizeof scratch, 0);
        if (n == 0)
            return false;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                return false;
            break;
        }
        peer.in.append(scratch, static_cast<size_t>(n));
    }
    if (!TakeRequests(peer))
        return false;
    Flush(peer);
    return true;
}

bool ScriptedAgent::CallerWaitsInReceive() const
{
    pid_t caller = 0;
    {
        std::lock_guard<std::mutex> guard(const_cast<std::mutex &>(mutex_));
        caller = caller_;
    }
    if (caller == 0)
        return false;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/task/%d/syscall", static_cast<int>(caller));
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char text[64] = {};
    const ssize_t n = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (n <= 0 || text[0] < '0' || text[0] > '9') // "running"
        return false;
    switch (std::atol(text)) {
    case SYS_read:
    case SYS_recvfrom:
    case SYS_recvmsg:
    case SYS_poll:
    case SYS_ppoll:
    case SYS_select:
    case SYS_pselect6:
        return true;
    default:
        return false;
    }
}

void ScriptedAgent::EndWaitingPeer()
{
    for (Peer &peer : peers_)
        if (peer.fd == lastFd_ && !peer.finished && peer.out.empty()) {
            peer.finish = true;
            Flush(peer);
            return;
        }
    // Waiting elsewhere (a stream read after other exchanges): every
    // connection with nothing left to send ends.
    for (Peer &peer : peers_)
        if (!peer.finished && peer.out.empty()) {
            peer.finish = true;
            Flush(peer);
        }
}

void ScriptedAgent::Serve()
{
    std::vector<pollfd> polled;
    int waitingSeen = 0;
    for (;;) {
        polled.clear();
        polled.push_back({wake_[0], POLLIN, 0});
        polled.push_back({listener_, POLLIN, 0});
        for (const Peer &peer : peers_)
            polled.push_back({peer.fd, static_cast<short>(POLLIN | (peer.out.empty() ? 0 : POLLOUT)), 0});
        // While a round has connections the caller's state is sampled
        // every 100 us: a short reply costs the fuzzer little time.
        const timespec sample = {0, peers_.empty() ? 200 * 1000 * 1000 : 100 * 1000};
        const int ready = ::ppoll(polled.data(), polled.size(), &sample, nullptr);
        if (ready < 0 && errno != EINTR)
            Fail("scripted agent: poll");

        if (polled[0].revents != 0) {
            char drain[64];
            while (::read(wake_[0], drain, sizeof drain) > 0) {
            }
            bool stopping = false, ending = false;
            {
                std::lock_guard<std::mutex> guard(mutex_);
                stopping = stopping_;
                ending = ending_;
            }
            if (stopping || ending) {
                // Connections still queued were opened in this round too.
                Accept();
                for (Peer &peer : peers_)
                    ::close(peer.fd);
                peers_.clear();
                lastFd_ = -1;
                waitingSeen = 0;
                if (stopping)
                    return;
                std::lock_guard<std::mutex> guard(mutex_);
                ending_ = false;
                done_.notify_all();
                continue;
            }
        }
        if (ready == 0) {
            // Twice in a row, so that a zero-wait readiness poll caught in
            // passing does not count as waiting.
            waitingSeen = CallerWaitsInReceive() ? waitingSeen + 1 : 0;
            if (waitingSeen >= 2) {
                waitingSeen = 0;
                EndWaitingPeer();
            }
            continue;
        }
        waitingSeen = 0;
        // Peers accepted below are polled from the next round on.
        for (size_t i = polled.size() - 2; i-- > 0;) {
            if (polled[i + 2].revents == 0)
                continue;
            if (!Pump(peers_[i])) {
                ::close(peers_[i].fd);
                peers_.erase(peers_.begin() + static_cast<long>(i));
            }
        }
        if (polled[1].revents != 0)
            Accept();
    }
}

} // namespace fuzzing
