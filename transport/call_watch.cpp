#include "transport/call_watch.h"

#include "util/cancel_flag.h"

#include <algorithm>
#include <thread>

namespace agent {

namespace {

thread_local CallWatch *current = nullptr;

uint64_t RateOf(const SpeedLimit &limit)
{
    const uint32_t seconds = limit.seconds.load(std::memory_order_relaxed);
    return seconds != 0 ? limit.bytesPerSecond.load(std::memory_order_relaxed) : 0;
}

} // namespace

CallWatch::CallWatch(const BOOL *cancel, const SpeedLimit &limit)
    : parent_(nullptr),
      root_(this),
      cancel_(cancel),
      rate_(RateOf(limit)),
      window_(std::chrono::seconds(rate_ != 0 ? limit.seconds.load(std::memory_order_relaxed) : 0)),
      active_(cancel != nullptr || rate_ != 0),
      windowStart_(rate_ != 0 ? Clock::now() : Clock::time_point())
{
}

CallWatch::CallWatch(CallWatch *parent)
    : parent_(parent),
      root_(parent != nullptr ? parent->root_ : this),
      cancel_(nullptr),
      rate_(0),
      window_(0),
      active_(parent != nullptr && parent->Active())
{
}

CallWatch::Clock::time_point CallWatch::Since(const std::atomic<Clock::rep> &at)
{
    return Clock::time_point(Clock::duration(at.load(std::memory_order_acquire)));
}

void CallWatch::Stop()
{
    if (!stopped_.load(std::memory_order_acquire)) {
        stoppedAt_.store(Clock::now().time_since_epoch().count(), std::memory_order_release);
        stopped_.store(true, std::memory_order_release);
    }
}

DWORD CallWatch::End(DWORD cause)
{
    DWORD none = 0;
    if (cause_.compare_exchange_strong(none, cause, std::memory_order_acq_rel)) {
        endedAt_.store(Clock::now().time_since_epoch().count(), std::memory_order_release);
        return cause;
    }
    return none;
}

CallWatch::Clock::time_point CallWatch::EndingSince()
{
    Clock::time_point since = Clock::time_point::max();
    if (stopped_.load(std::memory_order_acquire))
        since = Since(stoppedAt_);
    if (parent_ != nullptr)
        return std::min(since, parent_->EndingSince());
    if (cause_.load(std::memory_order_acquire) == 0 && CancelRaised(cancel_))
        End(ERROR_REQUEST_ABORTED);
    if (cause_.load(std::memory_order_acquire) != 0) {
        // The cause is set a moment before its time.
        while (endedAt_.load(std::memory_order_acquire) == 0)
            std::this_thread::yield();
        since = std::min(since, Since(endedAt_));
    }
    return since;
}

DWORD CallWatch::Verdict()
{
    if (stopped_.load(std::memory_order_acquire))
        return ERROR_REQUEST_ABORTED;
    if (parent_ != nullptr)
        return parent_->Verdict();
    const DWORD cause = cause_.load(std::memory_order_acquire);
    if (cause != 0)
        return cause;
    if (CancelRaised(cancel_))
        return End(ERROR_REQUEST_ABORTED);
    if (rate_ != 0 && PastDeadline(Clock::now()))
        return End(WSAETIMEDOUT);
    return 0;
}

DWORD CallWatch::TimedOut() const
{
    return root_->cause_.load(std::memory_order_acquire) == WSAETIMEDOUT ? WSAETIMEDOUT : 0;
}

bool CallWatch::PastDeadline(Clock::time_point now)
{
    // Windows of T seconds, each begun when the one before moved its
    // quota: a call fails once T seconds pass without N * T bytes.
    std::lock_guard<std::mutex> lock(mutex_);
    const uint64_t moved = moved_.load(std::memory_order_relaxed);
    const uint64_t quota = rate_ * static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(window_).count());
    if (moved - windowBytes_ >= quota) {
        windowStart_ = now;
        windowBytes_ = moved;
        return false;
    }
    return now - windowStart_ >= window_;
}

CallWatch *CallWatch::Current() { return current; }

CallWatch::Scope::Scope(CallWatch *watch) : previous_(current)
{
    if (watch != nullptr)
        current = watch;
}

CallWatch::Scope::~Scope() { current = previous_; }

} // namespace agent
