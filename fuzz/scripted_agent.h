// The agent a fuzz target talks to: a loopback listener that answers the
// k-th request the library sends (on whichever connection) with the k-th
// reply of the round, byte for byte. Once the replies run out a request is
// answered by closing the connection's sending side. When the calling
// thread is found waiting in a receive with nothing left to answer (a reply
// shorter than its header said), the connection it last used is ended the
// same way, so no input can leave a call waiting.
#ifndef AGENT_FUZZ_SCRIPTED_AGENT_H
#define AGENT_FUZZ_SCRIPTED_AGENT_H

#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace fuzzing {

class ScriptedAgent {
public:
    ScriptedAgent(); // listens on 127.0.0.1 and starts serving
    ~ScriptedAgent();
    ScriptedAgent(const ScriptedAgent &) = delete;
    ScriptedAgent &operator=(const ScriptedAgent &) = delete;

    uint16_t port() const { return port_; }

    // The replies of the next round, in request order; `caller` is the
    // thread (its kernel id) that makes the library calls.
    void Begin(std::vector<std::string> replies, pid_t caller);
    // Closes every connection of the round and forgets its replies.
    void End();

private:
    struct Peer {
        int fd;
        std::string in;  // request bytes not yet split off
        std::string out; // reply bytes not yet sent
        bool finish;     // close the sending side once `out` is sent
        bool finished;
    };
    void Serve();
    void Accept();
    bool Pump(Peer &peer); // false once the library has closed its end
    bool TakeRequests(Peer &peer);
    void Flush(Peer &peer);
    bool CallerWaitsInReceive() const;
    void EndWaitingPeer();
    void Wake();

    int listener_ = -1;
    int wake_[2] = {-1, -1};
    uint16_t port_ = 0;
    std::thread server_;

    std::mutex mutex_;
    std::condition_variable done_;
    std::vector<std::string> replies_;
    size_t nextReply_ = 0;
    pid_t caller_ = 0;
    bool ending_ = false;
    bool stopping_ = false;

    // Server thread only.
    std::vector<Peer> peers_;
    int lastFd_ = -1; // the connection of the latest request
};

// The separator between replies in a fuzz input.
inline constexpr char kSeparator[] = "#NEXT#";
std::vector<std::string> SplitReplies(const uint8_t *data, size_t size);

} // namespace fuzzing

#endif
