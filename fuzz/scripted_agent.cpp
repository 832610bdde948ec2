#include "scripted_agent.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace fuzzing {

namespace {

[[noreturn]] void Fail(const char *what)
{
    std::perror(what);
    std::abort();
}

} // namespace

std::vector<std::string> SplitStreams(const uint8_t *data, size_t size)
{
    const std::string input(reinterpret_cast<const char *>(data), size);
    const size_t separatorLength = sizeof kSeparator - 1;
    std::vector<std::string> streams;
    size_t start = 0;
    for (;;) {
        const size_t at = input.find(kSeparator, start);
        if (at == std::string::npos) {
            streams.push_back(input.substr(start));
            return streams;
        }
        streams.push_back(input.substr(start, at - start));
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

void ScriptedAgent::Begin(std::vector<std::string> streams)
{
    std::lock_guard<std::mutex> guard(mutex_);
    streams_ = std::move(streams);
    accepted_ = 0;
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
    streams_.clear();
}

void ScriptedAgent::Accept()
{
    for (;;) {
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;
        Peer peer{fd, {}, 0};
        {
            std::lock_guard<std::mutex> guard(mutex_);
            if (accepted_ < streams_.size())
                peer.out = streams_[accepted_];
            ++accepted_;
        }
        if (peer.out.empty())
            ::shutdown(fd, SHUT_WR);
        peers_.push_back(std::move(peer));
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
    }
    while (peer.sent < peer.out.size()) {
        const ssize_t n = ::send(peer.fd, peer.out.data() + peer.sent, peer.out.size() - peer.sent, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                return false;
            return true;
        }
        peer.sent += static_cast<size_t>(n);
        if (peer.sent == peer.out.size())
            ::shutdown(peer.fd, SHUT_WR);
    }
    return true;
}

void ScriptedAgent::Serve()
{
    std::vector<pollfd> polled;
    for (;;) {
        polled.clear();
        polled.push_back({wake_[0], POLLIN, 0});
        polled.push_back({listener_, POLLIN, 0});
        for (const Peer &peer : peers_)
            polled.push_back({peer.fd, static_cast<short>(POLLIN | (peer.sent < peer.out.size() ? POLLOUT : 0)), 0});
        if (::poll(polled.data(), polled.size(), 1000) < 0 && errno != EINTR)
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
                if (stopping)
                    return;
                std::lock_guard<std::mutex> guard(mutex_);
                ending_ = false;
                done_.notify_all();
                continue;
            }
        }
        // Peers accepted below are polled from the next round on.
        const size_t polledPeers = polled.size() - 2;
        for (size_t i = polledPeers; i-- > 0;) {
            if (polled[i + 2].revents == 0)
                continue;
            if (!Pump(peers_[i])) {
                ::close(peers_[i].fd);
                peers_.erase(peers_.begin() + static_cast<long>(i));
            }
        }
        if (polled[1].revents != 0) {
            const size_t before = peers_.size();
            Accept();
            for (size_t i = before; i < peers_.size(); ++i)
                if (!Pump(peers_[i])) {
                    ::close(peers_[i].fd);
                    peers_.erase(peers_.begin() + static_cast<long>(i));
                    --i;
                }
        }
    }
}

} // namespace fuzzing
