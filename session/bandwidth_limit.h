// A logon's bandwidth limit: a token bucket that the copy engines' chunk
// reads and writes draw from before each request, whichever thread makes it.
#ifndef AGENT_BANDWIDTH_LIMIT_H
#define AGENT_BANDWIDTH_LIMIT_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>

namespace agent {

// The arithmetic alone, on a clock the caller passes in. Tokens are bytes;
// they refill at `rate` per second up to `burst`. A take larger than what is
// there goes into debt, so the takers after it wait their turn behind it.
class TokenBucket {
public:
    using Clock = std::chrono::steady_clock;

    // Starts full. rate 0 = no limit.
    void Reset(uint64_t rate, uint64_t burst, Clock::time_point now);
    // Takes `bytes` at `now`; how long the caller must wait before it may
    // send or ask for them.
    Clock::duration Take(uint64_t bytes, Clock::time_point now);

private:
    uint64_t rate_ = 0;
    double burst_ = 0;
    double tokens_ = 0;
    Clock::time_point last_{};
};

class BandwidthLimit {
public:
    // At most one chunk of the copy engines goes out at full speed.
    static constexpr uint64_t kMaxBurst = 1u << 20;

    // bytes per second, 0 = none.
    void Set(uint32_t bytesPerSecond);
    bool Active() const { return rate_.load(std::memory_order_relaxed) != 0; }
    // Waits until `bytes` may go, in slices of `poll`, calling `stop` after
    // each slice: true from it gives up (false returned). Returns at once
    // when no limit is set.
    bool Take(uint64_t bytes, std::chrono::milliseconds poll, const std::function<bool()> &stop);

private:
    std::atomic<uint32_t> rate_{0};
    std::mutex mutex_;
    TokenBucket bucket_;
};

} // namespace agent

#endif
