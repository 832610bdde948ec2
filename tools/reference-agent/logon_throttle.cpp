#include "logon_throttle.h"

#include <algorithm>

namespace refagent {

namespace {
// Beyond this many remembered sources the oldest go first, so that a flood
// of spoofed-looking addresses cannot grow the table without bound.
constexpr size_t kMaxSources = 16384;
}

std::chrono::milliseconds DelayAfter(unsigned failures, const ThrottleSchedule &schedule)
{
    if (failures == 0)
        return std::chrono::milliseconds(0);
    std::chrono::milliseconds delay = schedule.first;
    for (unsigned i = 1; i < failures && delay < schedule.max; ++i)
        delay *= 2;
    return std::min(delay, schedule.max);
}

void LogonThrottle::Prune(Clock::time_point now)
{
    for (auto it = sources_.begin(); it != sources_.end();) {
        if (now - it->second.lastFailure > schedule_.memory)
            it = sources_.erase(it);
        else
            ++it;
    }
    while (sources_.size() >= kMaxSources) {
        auto oldest = std::min_element(sources_.begin(), sources_.end(), [](const auto &a, const auto &b) {
            return a.second.lastFailure < b.second.lastFailure;
        });
        sources_.erase(oldest);
    }
}

LogonThrottle::Verdict LogonThrottle::Failure(const std::string &address, Clock::time_point now)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = sources_.find(address);
    if (it != sources_.end() && now - it->second.lastFailure > schedule_.memory)
        it->second = Source();
    if (it == sources_.end()) {
        if (sources_.size() >= kMaxSources)
            Prune(now);
        it = sources_.emplace(address, Source()).first;
    }
    Source &s = it->second;
    ++s.failures;
    s.lastFailure = now;
    s.nextAnswer = std::max(now, s.nextAnswer) + DelayAfter(s.failures, schedule_);
    return Verdict{s.nextAnswer, s.failures};
}

} // namespace refagent
