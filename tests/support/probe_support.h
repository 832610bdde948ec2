// Helpers for discovery tests: a UDP peer that plays the agent side (every
// receive bounded by a time-out) and a recorder for probe callbacks.
#ifndef AGENT_TEST_PROBE_SUPPORT_H
#define AGENT_TEST_PROBE_SUPPORT_H

#include "test_seams.h"
#include "wire.h"

#include <ace/INET_Addr.h>
#include <ace/SOCK_Dgram.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace fake {

struct Datagram {
    std::string bytes;
    ACE_INET_Addr from;
};

class UdpPeer {
public:
    // Binds to ip:port (port 0: any free one). Check ok() before use.
    explicit UdpPeer(const char *ip, unsigned short port = 0);
    ~UdpPeer();
    UdpPeer(const UdpPeer &) = delete;
    UdpPeer &operator=(const UdpPeer &) = delete;

    bool ok() const { return ok_; }
    unsigned short port() const;
    // The next datagram, or nothing when none arrives within ms.
    std::optional<Datagram> Receive(int ms);
    // Every datagram that arrives until `ms` pass without one.
    std::vector<Datagram> Drain(int ms);
    bool SendTo(const std::string &bytes, const ACE_INET_Addr &to);

private:
    ACE_SOCK_Dgram socket_;
    bool ok_ = false;
};

// Records every callback of a prober; pass the recorder as the context.
class ProbeRecorder {
public:
    struct Reply {
        DWORD value;
        bool nameNull;
        WString name;
        DWORD address;
        void *context;
    };

    static void AGENTAPI Callback(DWORD value, const WCHAR *name, DWORD address, void *context);

    // Runs inside every callback, after it has been recorded.
    std::function<void(const Reply &)> onReply;

    bool WaitForCount(size_t count, int ms);
    std::vector<Reply> Replies() const;
    size_t Count() const;

private:
    mutable std::mutex lock_;
    std::condition_variable changed_;
    std::vector<Reply> replies_;
};

// Installs an adapter list with no adapters: the state every prober test
// leaves behind, so that nothing can fall back to the machine's own list.
void InstallNoAdapters();

} // namespace fake

#endif
