#include "session/bandwidth_limit.h"

#include <algorithm>
#include <thread>

namespace agent {

void TokenBucket::Reset(uint64_t rate, uint64_t burst, Clock::time_point now)
{
    rate_ = rate;
    burst_ = static_cast<double>(burst);
    tokens_ = burst_;
    last_ = now;
}

TokenBucket::Clock::duration TokenBucket::Take(uint64_t bytes, Clock::time_point now)
{
    if (rate_ == 0)
        return Clock::duration::zero();
    // A clock read before an earlier take's (another thread's) adds nothing.
    if (now > last_) {
        const double seconds = std::chrono::duration<double>(now - last_).count();
        tokens_ = std::min(burst_, tokens_ + seconds * static_cast<double>(rate_));
        last_ = now;
    }
    tokens_ -= static_cast<double>(bytes);
    if (tokens_ >= 0)
        return Clock::duration::zero();
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(-tokens_ / static_cast<double>(rate_)));
}

void BandwidthLimit::Set(uint32_t bytesPerSecond)
{
    std::lock_guard<std::mutex> lock(mutex_);
    // The burst is at most one second's worth, so that a slow limit does
    // not start with a long run at full speed.
    bucket_.Reset(bytesPerSecond, std::min<uint64_t>(kMaxBurst, bytesPerSecond), TokenBucket::Clock::now());
    rate_.store(bytesPerSecond, std::memory_order_relaxed);
}

bool BandwidthLimit::Take(uint64_t bytes, std::chrono::milliseconds poll, const std::function<bool()> &stop)
{
    if (!Active())
        return true;
    TokenBucket::Clock::time_point until;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto now = TokenBucket::Clock::now();
        until = now + bucket_.Take(bytes, now);
    }
    for (;;) {
        const auto now = TokenBucket::Clock::now();
        if (now >= until)
            return true;
        std::this_thread::sleep_for(std::min<TokenBucket::Clock::duration>(until - now, poll));
        if (stop && stop())
            return false;
    }
}

} // namespace agent
