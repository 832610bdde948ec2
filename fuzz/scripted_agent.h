// The agent a fuzz target talks to: a loopback listener whose k-th accepted
// connection is sent the k-th byte stream of the round and then an end of
// stream. Requests are read and dropped. Every stream ends, so no export can
// wait for ever on it, whatever the bytes are.
#ifndef AGENT_FUZZ_SCRIPTED_AGENT_H
#define AGENT_FUZZ_SCRIPTED_AGENT_H

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

    // The replies of the next round, one stream per connection in the order
    // the library opens them; connections past the last get none.
    void Begin(std::vector<std::string> streams);
    // Closes every connection of the round and forgets its streams.
    void End();

private:
    struct Peer {
        int fd;
        std::string out;
        size_t sent;
    };
    void Serve();
    void Accept();
    bool Pump(Peer &peer); // false once the library has closed its end
    void Wake();

    int listener_ = -1;
    int wake_[2] = {-1, -1};
    uint16_t port_ = 0;
    std::thread server_;

    std::mutex mutex_;
    std::condition_variable done_;
    std::vector<std::string> streams_;
    size_t accepted_ = 0;
    bool ending_ = false;
    bool stopping_ = false;
    std::vector<Peer> peers_; // server thread only
};

// Splits a round's input into per-connection streams at kSeparator.
inline constexpr char kSeparator[] = "#NEXT#";
std::vector<std::string> SplitStreams(const uint8_t *data, size_t size);

} // namespace fuzzing

#endif
