// The network-link forwarder on loopback: bytes pass intact, in order and
// with their end, no sooner than the delay and the shared rate allow, and
// a receiver that stops reading stops the sender after a bounded amount.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

struct Socket {
    explicit Socket(int fd) : fd(fd)
    {
        timeval limit{5, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    Socket(Socket &&other) noexcept : fd(std::exchange(other.fd, -1)) {}
    ~Socket() { if (fd >= 0) close(fd); }
    int fd;
};

// The forwarder in a process of its own, between a target listener of the
// test's and the test's connections to it.
class Link {
public:
    explicit Link(std::vector<std::string> args)
    {
        sockaddr_in at{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t len = sizeof at;
        if (bind(target_.fd, reinterpret_cast<sockaddr *>(&at), len) != 0 || listen(target_.fd, 16) != 0 ||
            getsockname(target_.fd, reinterpret_cast<sockaddr *>(&at), &len) != 0)
            return;
        target = ntohs(at.sin_port);
        close(mkstemp(portFile_));
        args.insert(args.begin(), {NETDELAY_PATH, "--target", std::to_string(ntohs(at.sin_port)), "--port-file",
                                   portFile_});
        std::vector<char *> argv;
        for (auto &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        for (int i = 0; i < 500 && pid_ > 0 && !(std::ifstream(portFile_) >> port); i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ~Link()
    {
        Stop();
        std::remove(portFile_);
    }

    // A connection through the forwarder and the far end it opens.
    std::pair<Socket, Socket> Connect()
    {
        Socket client(socket(AF_INET, SOCK_STREAM, 0));
        const sockaddr_in at{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
        if (connect(client.fd, reinterpret_cast<const sockaddr *>(&at), sizeof at) != 0)
            return {Socket(-1), Socket(-1)};
        return {std::move(client), Socket(accept(target_.fd, nullptr, nullptr))};
    }

    // The exit status after TERM: 0 when it ended cleanly.
    int Stop()
    {
        int status = 0;
        if (pid_ > 0 && kill(pid_, SIGTERM) == 0 && waitpid(pid_, &status, 0) == pid_)
            pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    int port = 0, target = 0;

private:
    Socket target_{socket(AF_INET, SOCK_STREAM, 0)};
    char portFile_[32] = "/tmp/netdelay-port.XXXXXX";
    pid_t pid_ = -1;
};

// A repeatable byte stream per sender, so that a swapped, lost or
// repeated chunk shows.
std::vector<char> Pattern(size_t size, unsigned seed)
{
    std::vector<char> bytes(size);
    std::minstd_rand next(seed);
    std::generate(bytes.begin(), bytes.end(), [&] { return static_cast<char>(next() >> 7); });
    return bytes;
}

bool SendAll(int fd, const char *p, size_t n)
{
    for (ssize_t w; n > 0; p += w, n -= static_cast<size_t>(w))
        if ((w = send(fd, p, n, MSG_NOSIGNAL)) <= 0)
            return false;
    return true;
}

// Everything up to the peer's end; true only when the end came (not a
// time-out or a reset).
bool ReceiveToEnd(int fd, std::vector<char> &got)
{
    char buf[65536];
    ssize_t r;
    while ((r = recv(fd, buf, sizeof buf, 0)) > 0)
        got.insert(got.end(), buf, buf + r);
    return r == 0;
}

// Both ends of every connection send their own stream at once, in uneven
// writes so that records and ring wraps fall anywhere; each direction of
// the shared link carries all of them, so the run takes at least their
// total over the rate.
TEST(Netdelay, StreamsArriveIntactInOrderAndNoFasterThanTheLink)
{
    const struct {
        const char *delayMs, *rateMbit, *buffer;
        int connections;
        size_t bytes;
    } shapes[] = {
        {"0", "0", "4194304", 1, 4u << 20},
        {"1", "1000", "4096", 4, (1u << 20) + 13}, // a ring smaller than a record: many wraps
        {"0.25", "80", "1048576", 2, 1u << 20},    // 2 MiB each way through an 80 Mbit/s link
    };
    for (const auto &s : shapes) {
        SCOPED_TRACE(std::string("delay ") + s.delayMs + " ms, rate " + s.rateMbit);
        Link link({"--delay-ms", s.delayMs, "--rate-mbit", s.rateMbit, "--buffer", s.buffer});
        std::vector<Socket> ends; // client, server, client, server, ...
        for (int c = 0; c < s.connections; c++) {
            auto [client, server] = link.Connect();
            ASSERT_TRUE(client.fd >= 0 && server.fd >= 0);
            ends.push_back(std::move(client));
            ends.push_back(std::move(server));
        }
        // Every pattern is made before a sender starts: a push_back that
        // moved the others would race with their senders.
        std::vector<std::vector<char>> sent, got(ends.size());
        for (size_t e = 0; e < ends.size(); e++)
            sent.push_back(Pattern(s.bytes, static_cast<unsigned>(e + 1)));
        std::vector<char> ended(ends.size());
        std::vector<std::thread> threads;
        const Clock::time_point start = Clock::now();
        for (size_t e = 0; e < ends.size(); e++) {
            threads.emplace_back([&, e] {
                for (size_t at = 0, step = 1; at < s.bytes; at += step, step = step * 3 % 100003 + 1)
                    if (!SendAll(ends[e].fd, &sent[e][at], std::min(step, s.bytes - at)))
                        break;
                shutdown(ends[e].fd, SHUT_WR);
            });
            threads.emplace_back([&, e] { ended[e] = ReceiveToEnd(ends[e].fd, got[e]); });
        }
        for (auto &t : threads)
            t.join();
        const double elapsed = SecondsSince(start), rate = std::atof(s.rateMbit) * 1e6;
        for (size_t e = 0; e < ends.size(); e++) {
            EXPECT_TRUE(ended[e]) << "end " << e << " saw no end of stream";
            EXPECT_EQ(sent[e ^ 1].size(), got[e].size()) << "end " << e;
            EXPECT_TRUE(sent[e ^ 1] == got[e]) << "end " << e << ": bytes differ";
        }
        EXPECT_GE(elapsed, rate > 0 ? s.connections * s.bytes * 8.0 / rate : 0);
        EXPECT_EQ(0, link.Stop());
    }
}

// A one-byte ping-pong through a 20 ms delay: the first exchange pays the
// handshake too (two round trips), every later one at least one round trip,
// and none takes seconds (a unit mistake would).
TEST(Netdelay, RoundTripTakesAtLeastTwiceTheDelay)
{
    const double delay = 0.02;
    Link link({"--delay-ms", "20"});
    const Clock::time_point start = Clock::now();
    const auto [client, server] = link.Connect();
    ASSERT_TRUE(client.fd >= 0 && server.fd >= 0);
    for (int i = 0; i < 4; i++) {
        const Clock::time_point sentAt = Clock::now();
        char ping = static_cast<char>('a' + i), seen = 0, pong = 0;
        ASSERT_TRUE(SendAll(client.fd, &ping, 1));
        ASSERT_EQ(1, recv(server.fd, &seen, 1, 0));
        ASSERT_TRUE(SendAll(server.fd, &seen, 1));
        ASSERT_EQ(1, recv(client.fd, &pong, 1, 0));
        EXPECT_EQ(ping, pong);
        const double rtt = SecondsSince(i == 0 ? start : sentAt);
        EXPECT_GE(rtt, (i == 0 ? 4 : 2) * delay) << "exchange " << i;
        EXPECT_LT(rtt, 4 * delay + 3.0) << "exchange " << i;
    }
}

// Bytes the kernel holds, queued to send or received unread, on loopback
// connections with an end at one of these ports.
size_t KernelQueued(std::vector<unsigned> ports)
{
    std::ifstream in("/proc/net/tcp");
    size_t total = 0;
    for (std::string line; std::getline(in, line);) {
        unsigned local, remote;
        unsigned long tx, rx;
        if (std::sscanf(line.c_str(), " %*d: %*x:%x %*x:%x %*x %lx:%lx", &local, &remote, &tx, &rx) == 4 &&
            std::find_if(ports.begin(), ports.end(), [&](unsigned p) { return p == local || p == remote; }) !=
                ports.end())
            total += tx + rx;
    }
    return total;
}

// A receiver that stops reading: the sender is stopped once the
// forwarder's buffer and the sockets' own buffers are full, and once the
// receiver reads again every byte arrives.
TEST(Netdelay, HeldBytesAreBoundedAndNotLost)
{
    const size_t buffer = 256 << 10;
    Link link({"--delay-ms", "1", "--buffer", std::to_string(buffer)});
    const auto [client, server] = link.Connect();
    ASSERT_TRUE(client.fd >= 0 && server.fd >= 0);
    const std::vector<char> data = Pattern(64u << 20, 7);
    size_t sent = 0;
    for (Clock::time_point progress = Clock::now(); sent < data.size() && SecondsSince(progress) < 0.3;) {
        const ssize_t w = send(client.fd, &data[sent], std::min<size_t>(65536, data.size() - sent),
                               MSG_NOSIGNAL | MSG_DONTWAIT);
        if (w > 0) {
            sent += static_cast<size_t>(w);
            progress = Clock::now();
        } else {
            pollfd p{client.fd, POLLOUT, 0};
            poll(&p, 1, 20);
        }
    }
    // What the four sockets on the way do not hold, the forwarder does.
    const size_t queued = KernelQueued({unsigned(link.port), unsigned(link.target)});
    EXPECT_LT(sent, data.size());
    EXPECT_LE(sent, queued + buffer) << "the sockets hold " << queued;

    std::vector<char> got;
    bool ended = false;
    std::thread reader([&] { ended = ReceiveToEnd(server.fd, got); });
    EXPECT_TRUE(SendAll(client.fd, &data[sent], 1u << 20));
    shutdown(client.fd, SHUT_WR);
    reader.join();
    EXPECT_TRUE(ended);
    EXPECT_EQ(sent + (1u << 20), got.size());
    EXPECT_TRUE(std::equal(got.begin(), got.end(), data.begin())) << "bytes differ";
}

} // namespace
