#include "fake_agent.h"

#include <ace/INET_Addr.h>
#include <ace/Init_ACE.h>
#include <ace/OS_NS_errno.h>
#include <ace/SOCK_Acceptor.h>
#include <ace/SOCK_Stream.h>
#include <ace/OS_NS_stropts.h>
#include <ace/Time_Value.h>
#include <ace/os_include/netinet/os_tcp.h>

#include <cerrno>
#include <stdexcept>
#ifndef _WIN32
#include <sys/socket.h>
#endif

namespace fake {

namespace {

// A client that gave up on a reply (a cancel, a deadline) has closed its
// end: the write fails instead of raising SIGPIPE in the test program.
#ifdef MSG_NOSIGNAL
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0;
#endif

} // namespace

namespace {
// Short polls let the agent notice that its test is over.
const ACE_Time_Value kPoll(0, 100 * 1000);
} // namespace

struct FakeAgent::Connection {
    ACE_SOCK_Stream stream;
    Session session;
    Bytes received;
    bool open = true;
};

Bytes Request::raw() const
{
    Bytes out = Header(kind, opcode, length, byteOrder != 1);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

FakeAgent::FakeAgent()
{
    // Sockets need ACE started first (on Windows that is also WSAStartup),
    // and a fixture's agent listens before its test calls AgentInit. Once
    // per process, never undone, like the tests' own AgentInit calls.
    static const int aceStarted = ACE::init();
    (void)aceStarted;
    listener_ = std::make_unique<ACE_SOCK_Acceptor>();
    ACE_INET_Addr any(static_cast<u_short>(0), "127.0.0.1");
    if (listener_->open(any, 1) == -1)
        throw std::runtime_error("fake agent: cannot listen on loopback");
    ACE_INET_Addr bound;
    listener_->get_local_addr(bound);
    port_ = bound.get_port_number();
    acceptor_ = std::thread([this] { AcceptLoop(); });
}

FakeAgent::~FakeAgent()
{
    {
        std::lock_guard<std::mutex> g(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    acceptor_.join();
    std::vector<std::thread> servers;
    {
        std::lock_guard<std::mutex> g(mutex_);
        servers.swap(servers_);
    }
    for (std::thread &t : servers)
        t.join();
    listener_->close();
}

void FakeAgent::AcceptLoop()
{
    ACE_SOCK_Acceptor *acceptor = listener_.get();
    for (;;) {
        {
            std::lock_guard<std::mutex> g(mutex_);
            if (stopping_)
                return;
        }
        auto connection = std::make_shared<Connection>();
        ACE_Time_Value timeout = kPoll;
        if (acceptor->accept(connection->stream, nullptr, &timeout) == -1)
            continue;
        // Split replies go out at once instead of waiting for a delayed ACK.
        int noDelay = 1;
        connection->stream.set_option(IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
        std::lock_guard<std::mutex> g(mutex_);
        connection->session.id = static_cast<int>(connections_.size());
        connections_.push_back(connection);
        servers_.emplace_back([this, connection] { Serve(connection); });
        changed_.notify_all();
    }
}

void FakeAgent::Serve(std::shared_ptr<Connection> connection)
{
    int generation;
    {
        std::lock_guard<std::mutex> g(mutex_);
        generation = dropGeneration_;
    }
    auto stopping = [this, generation] {
        std::lock_guard<std::mutex> g(mutex_);
        return stopping_ || dropGeneration_ != generation;
    };
    // Reads exactly n bytes; false when the peer closed or the test ended.
    auto readExact = [&](uint8_t *buffer, size_t n) {
        size_t got = 0;
        while (got < n) {
            ACE_Time_Value timeout = kPoll;
            ssize_t r = connection->stream.recv(buffer + got, n - got, &timeout);
            if (r > 0) {
                std::lock_guard<std::mutex> g(mutex_);
                connection->received.insert(connection->received.end(), buffer + got, buffer + got + r);
                got += static_cast<size_t>(r);
                continue;
            }
            if (r == 0)
                return false;
            if ((errno == ETIME || errno == EWOULDBLOCK || errno == EAGAIN || errno == EINTR) && !stopping())
                continue;
            return false;
        }
        return true;
    };

    for (;;) {
        uint8_t header[12];
        if (!readExact(header, sizeof header))
            break;
        Request request;
        request.connection = connection->session.id;
        request.byteOrder = static_cast<uint16_t>(header[0] | header[1] << 8);
        const bool big = request.byteOrder != 1;
        auto u16 = [&](int at) {
            return static_cast<uint16_t>(big ? header[at] << 8 | header[at + 1] : header[at] | header[at + 1] << 8);
        };
        auto u32 = [&](int at) {
            return big ? uint32_t(header[at]) << 24 | uint32_t(header[at + 1]) << 16 | uint32_t(header[at + 2]) << 8 |
                             header[at + 3]
                       : uint32_t(header[at]) | uint32_t(header[at + 1]) << 8 | uint32_t(header[at + 2]) << 16 |
                             uint32_t(header[at + 3]) << 24;
        };
        request.kind = u16(2);
        request.opcode = u32(4);
        request.length = u32(8);
        if (request.length > (64u << 20))
            break;
        request.payload.resize(request.length);
        if (request.length > 0 && !readExact(request.payload.data(), request.length))
            break;
        {
            std::lock_guard<std::mutex> g(mutex_);
            requests_.push_back(request);
        }
        changed_.notify_all();
        Action action = Answer(request, connection->session);
        if (action.delayMs > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(action.delayMs));
        if (!action.bytes.empty()) {
            ACE_Time_Value timeout(5);
            connection->stream.send_n(action.bytes.data(), action.bytes.size(), kSendFlags, &timeout);
        }
        for (const auto &piece : action.later) {
            std::this_thread::sleep_for(std::chrono::milliseconds(piece.first));
            ACE_Time_Value timeout(5);
            connection->stream.send_n(piece.second.data(), piece.second.size(), kSendFlags, &timeout);
        }
        if (action.close)
            break;
    }
    connection->stream.close();
    {
        std::lock_guard<std::mutex> g(mutex_);
        connection->open = false;
    }
    changed_.notify_all();
}

Action FakeAgent::Answer(const Request &request, Session &session)
{
    Handler handler;
    {
        std::lock_guard<std::mutex> g(mutex_);
        auto queued = queued_.find(request.opcode);
        if (queued != queued_.end() && !queued->second.empty()) {
            Action a = queued->second.front();
            queued->second.pop_front();
            return a;
        }
        auto it = handlers_.find(request.opcode);
        if (it != handlers_.end())
            handler = it->second;
        else if (request.opcode == 2)
            return Send(StatusReply(2, logonStatus_));
        else if (request.opcode == 3)
            return Send(StatusReply(3, 0));
    }
    if (handler)
        return handler(request, session);
    return CloseNow();
}

void FakeAgent::On(uint32_t opcode, Handler handler)
{
    std::lock_guard<std::mutex> g(mutex_);
    handlers_[opcode] = std::move(handler);
}

void FakeAgent::Queue(uint32_t opcode, Action action)
{
    std::lock_guard<std::mutex> g(mutex_);
    queued_[opcode].push_back(std::move(action));
}

void FakeAgent::Always(uint32_t opcode, Bytes bytes)
{
    On(opcode, [bytes](const Request &, Session &) { return Send(bytes); });
}

void FakeAgent::SetLogonStatus(uint32_t status)
{
    std::lock_guard<std::mutex> g(mutex_);
    logonStatus_ = status;
}

void FakeAgent::DropAll()
{
    std::lock_guard<std::mutex> g(mutex_);
    ++dropGeneration_;
}

std::vector<Request> FakeAgent::Requests() const
{
    std::lock_guard<std::mutex> g(mutex_);
    return requests_;
}

std::vector<Request> FakeAgent::RequestsOf(uint32_t opcode) const
{
    std::vector<Request> out;
    std::lock_guard<std::mutex> g(mutex_);
    for (const Request &r : requests_)
        if (r.opcode == opcode)
            out.push_back(r);
    return out;
}

size_t FakeAgent::CountOf(uint32_t opcode) const { return RequestsOf(opcode).size(); }

size_t FakeAgent::RequestCount() const
{
    std::lock_guard<std::mutex> g(mutex_);
    return requests_.size();
}

Bytes FakeAgent::Received(int connection) const
{
    std::lock_guard<std::mutex> g(mutex_);
    if (connection < 0 || connection >= static_cast<int>(connections_.size()))
        return {};
    return connections_[connection]->received;
}

int FakeAgent::Accepted() const
{
    std::lock_guard<std::mutex> g(mutex_);
    return static_cast<int>(connections_.size());
}

int FakeAgent::Open() const
{
    std::lock_guard<std::mutex> g(mutex_);
    int n = 0;
    for (const auto &c : connections_)
        n += c->open ? 1 : 0;
    return n;
}

bool FakeAgent::IsOpen(int connection) const
{
    std::lock_guard<std::mutex> g(mutex_);
    return connection >= 0 && static_cast<size_t>(connection) < connections_.size() && connections_[connection]->open;
}

size_t FakeAgent::Waiting(int connection) const
{
    ACE_HANDLE handle = ACE_INVALID_HANDLE;
    {
        std::lock_guard<std::mutex> g(mutex_);
        if (connection < 0 || static_cast<size_t>(connection) >= connections_.size())
            return 0;
        handle = connections_[connection]->stream.get_handle();
    }
    int bytes = 0;
    return ACE_OS::ioctl(handle, FIONREAD, &bytes) == 0 && bytes > 0 ? static_cast<size_t>(bytes) : 0;
}

void FakeAgent::ClearRecords()
{
    std::lock_guard<std::mutex> g(mutex_);
    requests_.clear();
}

bool FakeAgent::WaitUntil(const std::function<bool()> &pred, int timeoutMs) const
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, std::chrono::milliseconds(20));
    }
    return true;
}

} // namespace fake
