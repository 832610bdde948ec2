// The network-link forwarder on loopback: bytes pass intact, in order and
// with their end, no sooner than the delay and the shared rate allow, and
// a receiver that stops reading stops the sender after a bounded amount.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void SetTimeouts(int fd, int seconds)
{
    timeval limit{seconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

// A repeatable byte stream per connection, so that a swapped, lost or
// repeated chunk shows.
std::vector<char> Pattern(size_t size, uint64_t seed)
{
    std::vector<char> bytes(size);
    uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
    for (auto &b : bytes) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        b = static_cast<char>(x >> 24);
    }
    return bytes;
}

bool SendAll(int fd, const char *p, size_t n)
{
    while (n > 0) {
        ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
        if (w <= 0)
            return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

// Everything up to the peer's end; a time-out or reset ends it early,
// which the caller sees as missing bytes.
std::vector<char> ReceiveToEnd(int fd)
{
    std::vector<char> got;
    char buf[65536];
    for (;;) {
        ssize_t r = recv(fd, buf, sizeof buf, 0);
        if (r <= 0)
            return got;
        got.insert(got.end(), buf, buf + r);
    }
}

int ConnectTo(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    SetTimeouts(fd, 10);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(static_cast<uint16_t>(port));
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&at), sizeof at) != 0) {
        close(fd);
        return -1;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

// The target: a loopback server whose connections echo every byte back,
// or hold them unread until released and then collect them.
class Server {
public:
    enum Mode { Echo, Hold };

    explicit Server(Mode mode) : mode_(mode)
    {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof at;
        if (bind(listener_, reinterpret_cast<sockaddr *>(&at), sizeof at) == 0 && listen(listener_, 16) == 0 &&
            getsockname(listener_, reinterpret_cast<sockaddr *>(&at), &len) == 0)
            port_ = ntohs(at.sin_port);
        acceptor_ = std::thread([this] { AcceptLoop(); });
    }

    ~Server()
    {
        release_ = true;
        Collected();
        close(listener_);
    }

    int Port() const { return port_; }
    void Release() { release_ = true; }
    // Stops accepting, waits for every connection to end, and gives what
    // the held ones received.
    std::vector<std::vector<char>> Collected()
    {
        stop_ = true;
        if (acceptor_.joinable())
            acceptor_.join();
        for (auto &t : workers_)
            t.join();
        workers_.clear();
        std::lock_guard<std::mutex> lock(mutex_);
        return collected_;
    }

private:
    void AcceptLoop()
    {
        while (!stop_) {
            pollfd p{listener_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0)
                continue;
            int fd = accept(listener_, nullptr, nullptr);
            if (fd < 0)
                continue;
            SetTimeouts(fd, 10);
            size_t slot;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                collected_.emplace_back();
                slot = collected_.size() - 1;
            }
            workers_.emplace_back([this, fd, slot] { Serve(fd, slot); });
        }
    }

    void Serve(int fd, size_t slot)
    {
        if (mode_ == Hold) {
            while (!release_)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            std::vector<char> got = ReceiveToEnd(fd);
            std::lock_guard<std::mutex> lock(mutex_);
            collected_[slot] = std::move(got);
        } else {
            char buf[65536];
            for (;;) {
                ssize_t r = recv(fd, buf, sizeof buf, 0);
                if (r <= 0 || !SendAll(fd, buf, static_cast<size_t>(r)))
                    break;
            }
            shutdown(fd, SHUT_WR);
        }
        close(fd);
    }

    Mode mode_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false}, release_{false};
    std::thread acceptor_;
    std::vector<std::thread> workers_;
    std::mutex mutex_;
    std::vector<std::vector<char>> collected_; // under mutex_
};

class Forwarder {
public:
    explicit Forwarder(std::vector<std::string> args)
    {
        char dir[] = "/tmp/netdelay-test.XXXXXX";
        dir_ = mkdtemp(dir) ? dir : "";
        std::string portFile = dir_ + "/port";
        args.insert(args.begin(), NETDELAY_PATH);
        args.push_back("--port-file");
        args.push_back(portFile);
        std::vector<char *> argv;
        for (auto &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        for (int i = 0; i < 500 && port_ == 0; i++) {
            std::ifstream in(portFile);
            if (!(in >> port_))
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    ~Forwarder() { Stop(); }

    int Port() const { return port_; }

    // The forwarder's exit status after TERM (0 when it ended cleanly).
    int Stop()
    {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int status = 0;
            waitpid(pid_, &status, 0);
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            pid_ = -1;
            std::remove((dir_ + "/port").c_str());
            rmdir(dir_.c_str());
        }
        return status_;
    }

private:
    std::string dir_;
    pid_t pid_ = -1;
    int port_ = 0;
    int status_ = -1;
};

struct Shape {
    const char *delayMs;
    int rateMbit;
    const char *buffer;
    int connections;
    size_t bytes;
};

// Every connection sends its own stream and reads the echo back at the
// same time; each direction of the shared link carries all of them, so the
// whole run takes at least their total over the rate, and at least one
// round trip plus the handshake.
TEST(Netdelay, StreamsArriveIntactInOrderAndNoFasterThanTheLink)
{
    const Shape shapes[] = {
        {"0", 0, "4194304", 1, 4u << 20},
        {"1", 1000, "4096", 4, (1u << 20) + 13}, // a ring smaller than a record: many wraps
        {"0.25", 80, "1048576", 2, 1u << 20},    // 2 MiB through an 80 Mbit/s link
    };
    for (const Shape &s : shapes) {
        SCOPED_TRACE(std::string("delay ") + s.delayMs + " ms, rate " + std::to_string(s.rateMbit));
        Server server(Server::Echo);
        Forwarder fwd({"--target", std::to_string(server.Port()), "--delay-ms", s.delayMs, "--rate-mbit",
                       std::to_string(s.rateMbit), "--buffer", s.buffer});
        ASSERT_NE(0, fwd.Port());
        std::vector<std::vector<char>> sent, got(s.connections);
        std::vector<int> fds;
        for (int c = 0; c < s.connections; c++) {
            sent.push_back(Pattern(s.bytes, static_cast<uint64_t>(c) + 1));
            fds.push_back(ConnectTo(fwd.Port()));
            ASSERT_GE(fds.back(), 0);
        }
        Clock::time_point start = Clock::now();
        std::vector<std::thread> threads;
        for (int c = 0; c < s.connections; c++) {
            threads.emplace_back([&, c] {
                // Uneven writes, so that records and ring wraps fall anywhere.
                size_t at = 0, step = 1;
                while (at < sent[c].size()) {
                    size_t n = std::min(step, sent[c].size() - at);
                    if (!SendAll(fds[c], sent[c].data() + at, n))
                        break;
                    at += n;
                    step = step * 3 % 100003 + 1;
                }
                shutdown(fds[c], SHUT_WR);
            });
            threads.emplace_back([&, c] { got[c] = ReceiveToEnd(fds[c]); });
        }
        for (auto &t : threads)
            t.join();
        double elapsed = SecondsSince(start);
        for (int c = 0; c < s.connections; c++) {
            EXPECT_EQ(sent[c].size(), got[c].size()) << "connection " << c;
            EXPECT_TRUE(sent[c] == got[c]) << "connection " << c << " bytes differ";
            close(fds[c]);
        }
        double delay = std::atof(s.delayMs) / 1000;
        double wire = s.rateMbit ? s.connections * s.bytes * 8.0 / (s.rateMbit * 1e6) : 0;
        EXPECT_GE(elapsed, std::max(wire, 4 * delay));
        EXPECT_EQ(0, fwd.Stop());
    }
}

// A one-byte ping-pong: the first exchange pays the handshake too (two
// round trips), every later one at least one round trip, and none takes
// seconds (a unit mistake would).
TEST(Netdelay, RoundTripTakesAtLeastTwiceTheDelay)
{
    for (const char *delayMs : {"5", "20"}) {
        SCOPED_TRACE(std::string("delay ") + delayMs + " ms");
        double delay = std::atof(delayMs) / 1000;
        Server server(Server::Echo);
        Forwarder fwd({"--target", std::to_string(server.Port()), "--delay-ms", delayMs});
        ASSERT_NE(0, fwd.Port());
        Clock::time_point start = Clock::now();
        int fd = ConnectTo(fwd.Port());
        ASSERT_GE(fd, 0);
        for (int i = 0; i < 4; i++) {
            Clock::time_point sentAt = Clock::now();
            char ping = static_cast<char>('a' + i), pong = 0;
            ASSERT_TRUE(SendAll(fd, &ping, 1));
            ASSERT_EQ(1, recv(fd, &pong, 1, 0));
            EXPECT_EQ(ping, pong);
            double rtt = SecondsSince(i == 0 ? start : sentAt);
            EXPECT_GE(rtt, (i == 0 ? 4 : 2) * delay) << "exchange " << i;
            EXPECT_LT(rtt, 4 * delay + 3.0) << "exchange " << i;
        }
        close(fd);
    }
}

// Bytes the kernel holds, queued to send or received unread, on the
// loopback connections with an end at one of these ports.
size_t KernelQueued(std::initializer_list<int> ports)
{
    std::ifstream in("/proc/net/tcp");
    std::string line;
    std::getline(in, line); // the column names
    size_t total = 0;
    while (std::getline(in, line)) {
        unsigned localAddr, localPort, remoteAddr, remotePort, state;
        unsigned long tx, rx;
        if (std::sscanf(line.c_str(), " %*d: %x:%x %x:%x %x %lx:%lx", &localAddr, &localPort, &remoteAddr,
                        &remotePort, &state, &tx, &rx) != 7)
            continue;
        for (int port : ports)
            if (static_cast<int>(localPort) == port || static_cast<int>(remotePort) == port) {
                total += tx + rx;
                break;
            }
    }
    return total;
}

// A receiver that stops reading: the sender is stopped after the
// forwarder's buffer and the sockets' own buffers are full, and once the
// receiver reads again every byte arrives.
TEST(Netdelay, HeldBytesAreBoundedAndNotLost)
{
    const size_t buffer = 256 << 10;
    Server server(Server::Hold);
    Forwarder fwd({"--target", std::to_string(server.Port()), "--delay-ms", "1", "--buffer",
                   std::to_string(buffer)});
    ASSERT_NE(0, fwd.Port());
    int fd = ConnectTo(fwd.Port());
    ASSERT_GE(fd, 0);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);

    const std::vector<char> data = Pattern(64u << 20, 7);
    size_t sent = 0;
    Clock::time_point lastProgress = Clock::now();
    while (sent < data.size() && SecondsSince(lastProgress) < 0.3) {
        ssize_t w = send(fd, data.data() + sent, std::min<size_t>(65536, data.size() - sent), MSG_NOSIGNAL);
        if (w > 0) {
            sent += static_cast<size_t>(w);
            lastProgress = Clock::now();
        } else {
            pollfd p{fd, POLLOUT, 0};
            poll(&p, 1, 20);
        }
    }
    // What the four sockets on the way do not hold, the forwarder does.
    size_t queued = KernelQueued({fwd.Port(), server.Port()});
    EXPECT_LT(sent, data.size());
    EXPECT_LE(sent, queued + buffer) << "the sockets hold " << queued;

    server.Release();
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    ASSERT_TRUE(SendAll(fd, data.data() + sent, (1u << 20)));
    sent += 1u << 20;
    shutdown(fd, SHUT_WR);
    std::vector<std::vector<char>> collected = server.Collected();
    ASSERT_EQ(1u, collected.size());
    EXPECT_EQ(sent, collected[0].size());
    EXPECT_TRUE(std::equal(collected[0].begin(), collected[0].end(), data.begin())) << "bytes differ";
    close(fd);
}

} // namespace
