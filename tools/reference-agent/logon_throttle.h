// Slows password guessing down: every failed logon from one source address
// is answered later than the one before (0.2 s doubling to 5 s by default),
// and the answers to one address go out one delay apart however many
// connections it guesses on, so parallel guessing gains nothing.
#ifndef REFAGENT_LOGON_THROTTLE_H
#define REFAGENT_LOGON_THROTTLE_H

#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>
#include <unordered_map>

namespace refagent {

struct ThrottleSchedule {
    std::chrono::milliseconds first{200};
    std::chrono::milliseconds max{5000};
    // A source's record is forgotten after this long without a failure.
    std::chrono::seconds memory{900};
};

// The delay before the answer to the n-th failure (n >= 1).
std::chrono::milliseconds DelayAfter(unsigned failures, const ThrottleSchedule &schedule);

class LogonThrottle {
public:
    using Clock = std::chrono::steady_clock;
    explicit LogonThrottle(const ThrottleSchedule &schedule) : schedule_(schedule) {}

    struct Verdict {
        Clock::time_point answerAt;
        unsigned failures = 0; // from this address, this one included
    };
    // Records a failure from `address` at `now`; thread-safe.
    Verdict Failure(const std::string &address, Clock::time_point now);

private:
    struct Source {
        unsigned failures = 0;
        Clock::time_point nextAnswer;
        Clock::time_point lastFailure;
    };
    void Prune(Clock::time_point now);

    ThrottleSchedule schedule_;
    std::mutex mutex_;
    std::unordered_map<std::string, Source> sources_;
};

} // namespace refagent

#endif
