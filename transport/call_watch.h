// What ends a long call while one of its connections waits: the host's
// cancel flag, and a progress deadline (fewer than N bytes a second over T
// seconds). A call installs its watch on each thread that works for it;
// while one is active, the connection's waits wake in short slices to ask
// it, and count the bytes they move. With none, a wait is a plain blocking
// send or receive.
#ifndef AGENT_TRANSPORT_CALL_WATCH_H
#define AGENT_TRANSPORT_CALL_WATCH_H

#include "platform/platform.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace agent {

// A logon's progress deadline; 0 in either field turns it off.
struct SpeedLimit {
    std::atomic<uint32_t> bytesPerSecond{0};
    std::atomic<uint32_t> seconds{0};
};

class CallWatch {
public:
    using Clock = std::chrono::steady_clock;

    // How long a wait sleeps before it looks at the watch again.
    static constexpr DWORD kSliceMs = 100;
    // How long the waits of a call's cleanup (a close, a removal) may go
    // on after it began to end, so that a silent or dripping agent cannot
    // hold the ending for ever.
    static constexpr DWORD kEndingWaitMs = 5000;

    // A whole call: the host's cancel flag (may be null) and the logon's
    // deadline as it is now. Its window starts at once.
    CallWatch(const BOOL *cancel, const SpeedLimit &limit);
    // One part of a call (the threads of one copy): ends on its own Stop
    // too; its bytes count toward the whole call. A null parent gives an
    // inactive watch.
    explicit CallWatch(CallWatch *parent);
    CallWatch(const CallWatch &) = delete;
    CallWatch &operator=(const CallWatch &) = delete;

    // False when neither a cancel flag nor a deadline is in play.
    bool Active() const { return active_; }
    // When the call began to end (cancelled, past its deadline or
    // stopped), or Clock::time_point::max() while it goes on. A wait that
    // starts after that is cleanup, bounded by kEndingWaitMs from then.
    Clock::time_point EndingSince();
    // 0 while the call may go on; else why it must not: 1235 (cancelled or
    // stopped) or 10060 (the deadline passed). Sticky once given.
    DWORD Verdict();
    // The deadline's verdict once given (10060), else 0.
    DWORD TimedOut() const;
    // Ends this part: its waits fail, its later waits are cleanup.
    void Stop();
    void Count(size_t bytes) { root_->moved_.fetch_add(bytes, std::memory_order_relaxed); }

    // The watch of the calling thread, or null.
    static CallWatch *Current();

    // Installs a watch on the calling thread for its lifetime (null: none).
    class Scope {
    public:
        explicit Scope(CallWatch *watch);
        ~Scope();
        Scope(const Scope &) = delete;
        Scope &operator=(const Scope &) = delete;

    private:
        CallWatch *previous_;
    };

private:
    bool PastDeadline(Clock::time_point now);
    // Records the first cause and its time; returns the cause that stands.
    DWORD End(DWORD cause);
    static Clock::time_point Since(const std::atomic<Clock::rep> &at);

    CallWatch *const parent_;
    CallWatch *const root_;
    const BOOL *const cancel_;
    const uint64_t rate_;
    const Clock::duration window_;
    const bool active_;
    std::atomic<bool> stopped_{false};
    std::atomic<DWORD> cause_{0};
    // When Stop or the first cause came, as the clock's count.
    std::atomic<Clock::rep> stoppedAt_{0};
    std::atomic<Clock::rep> endedAt_{0};
    std::atomic<uint64_t> moved_{0};

    std::mutex mutex_;
    Clock::time_point windowStart_;
    uint64_t windowBytes_ = 0;
};

// The watch of a whole call made from the calling thread: its own, unless
// the thread already works for a call that holds one (a copy made by the
// many-file copy is part of that call).
class CallWatchFor {
public:
    CallWatchFor(const BOOL *cancel, const SpeedLimit &limit)
        : own_(cancel, limit), scope_(CallWatch::Current() == nullptr ? &own_ : nullptr)
    {
    }

private:
    CallWatch own_;
    CallWatch::Scope scope_;
};

} // namespace agent

#endif
