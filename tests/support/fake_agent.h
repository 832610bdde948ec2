// A scriptable agent on loopback. It accepts any number of connections,
// records every byte each one sends, splits the stream into requests
// (12-byte header + `length` bytes) and answers each with what the
// script says: exact bytes, malformed ones included, or a close.
//
// By default a logon and a logout are answered with status 0 and any other
// request gets no answer (the connection is closed), so a test scripts
// exactly the opcodes it exercises:
//
//   fake::FakeAgent agent;
//   agent.On(OpPathFileExists, [](const fake::Request &, fake::Session &) {
//       return fake::Send(fake::StatusReply(OpPathFileExists, 0));
//   });
//   agent.Queue(OpReadFile, fake::Send(bytes).ThenClose()); // once, first
#ifndef AGENT_TEST_FAKE_AGENT_H
#define AGENT_TEST_FAKE_AGENT_H

#include "wire.h"

#include <condition_variable>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class ACE_SOCK_Acceptor;

namespace fake {

struct Request {
    int connection = 0;   // 0-based, in order of acceptance
    uint16_t byteOrder = 0;
    uint16_t kind = 0;
    uint32_t opcode = 0;
    uint32_t length = 0;
    Bytes payload;
    Bytes raw() const; // header and payload as received
};

// Per-connection state a script may keep.
struct Session {
    int id = 0;
    std::map<std::string, long> values;
};

// What the agent does after one request.
struct Action {
    Bytes bytes;                  // sent as one write
    bool close = false;           // close the connection after sending
    int delayMs = 0;              // wait before sending
    // Further writes, each after a pause: a message split across segments.
    std::vector<std::pair<int, Bytes>> later;
    Action &ThenSend(Bytes more, int pauseMs = 5)
    {
        later.emplace_back(pauseMs, std::move(more));
        return *this;
    }
    Action &ThenClose()
    {
        close = true;
        return *this;
    }
    Action &After(int ms)
    {
        delayMs = ms;
        return *this;
    }
};
inline Action Send(Bytes bytes) { return Action{std::move(bytes), false, 0, {}}; }
inline Action Nothing() { return Action{}; }
inline Action CloseNow() { return Action{{}, true, 0, {}}; }

using Handler = std::function<Action(const Request &, Session &)>;

class FakeAgent {
public:
    FakeAgent();
    ~FakeAgent(); // closes every connection, so a blocked client fails instead of hanging
    FakeAgent(const FakeAgent &) = delete;
    FakeAgent &operator=(const FakeAgent &) = delete;

    uint16_t port() const { return port_; }

    // The handler for an opcode (replaces any earlier one).
    void On(uint32_t opcode, Handler handler);
    // One-shot answers, used in order before the opcode's handler.
    void Queue(uint32_t opcode, Action action);
    // Answers every request of the opcode with the same bytes.
    void Always(uint32_t opcode, Bytes bytes);
    // Answers logons with this status (0 by default).
    void SetLogonStatus(uint32_t status);
    // Closes every connection open now from the agent's side, as an agent
    // restart does; later connections are served as usual.
    void DropAll();

    // Records.
    std::vector<Request> Requests() const;
    std::vector<Request> RequestsOf(uint32_t opcode) const;
    size_t CountOf(uint32_t opcode) const;
    size_t RequestCount() const;          // requests recorded so far; allocates nothing
    Bytes Received(int connection) const; // every byte that connection sent
    int Accepted() const;                 // connections accepted so far
    int Open() const;                     // connections whose peer has not closed
    bool IsOpen(int connection) const;    // the same for one (Request::connection)
    // Bytes that connection has sent and the agent has not read yet: from
    // a handler, what the client sent without waiting for this answer.
    size_t Waiting(int connection) const;
    void ClearRecords();

    // Waits (up to the time-out) until pred() holds; true if it did.
    bool WaitUntil(const std::function<bool()> &pred, int timeoutMs = 5000) const;

private:
    struct Connection;
    void AcceptLoop();
    void Serve(std::shared_ptr<Connection> connection);
    Action Answer(const Request &request, Session &session);

    std::unique_ptr<ACE_SOCK_Acceptor> listener_;
    uint16_t port_ = 0;
    std::thread acceptor_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    bool stopping_ = false;
    std::map<uint32_t, Handler> handlers_;
    std::map<uint32_t, std::deque<Action>> queued_;
    std::vector<Request> requests_;
    std::vector<std::shared_ptr<Connection>> connections_;
    std::vector<std::thread> servers_;
    uint32_t logonStatus_ = 0;
    int dropGeneration_ = 0;
};

} // namespace fake

#endif
