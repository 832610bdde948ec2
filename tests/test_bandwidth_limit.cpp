// The logon's bandwidth limit: the token bucket's waits on a clock the test
// moves, and the export's argument check.
#include "agent_stub.h"
#include "session/bandwidth_limit.h"

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

using agent::TokenBucket;
using std::chrono::milliseconds;

namespace {

struct Step {
    int atMs;      // clock reading of the take
    uint64_t bytes;
    int waitMs;    // how long that take must wait
};

struct Case {
    const char *name;
    uint64_t rate, burst;
    std::vector<Step> steps;
};

} // namespace

TEST(TokenBucket, EachTakeWaitsForWhatTheTakesBeforeItOwe)
{
    const std::vector<Case> cases = {
        {"no limit", 0, 0, {{0, 1u << 30, 0}, {0, 1u << 30, 0}}},
        {"a full bucket, then takers queue behind its debt", 1000, 1000,
         {{0, 1000, 0}, {0, 500, 500}, {0, 500, 1000}, {250, 250, 1000}}},
        {"idle time refills, never past the burst", 1000, 1000,
         {{0, 1000, 0}, {5000, 1000, 0}, {5000, 1, 1}, {9000, 3000, 2000}}},
        {"a take larger than the burst waits for the rest", 1000, 500, {{0, 2500, 2000}, {2000, 0, 0}}},
        {"half a second refills half the rate", 2000, 2000, {{0, 2000, 0}, {500, 1000, 0}, {500, 1000, 500}}},
        {"a clock read before the last take's adds nothing", 1000, 1000,
         {{0, 1000, 0}, {1000, 500, 0}, {400, 1000, 500}}},
        {"one chunk a second at 1 MiB/s", 1u << 20, 1u << 20,
         {{0, 1u << 20, 0}, {0, 1u << 20, 1000}, {0, 1u << 20, 2000}, {1000, (1u << 20) + 1, 2000}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const TokenBucket::Clock::time_point origin{};
        TokenBucket bucket;
        bucket.Reset(c.rate, c.burst, origin);
        for (size_t i = 0; i < c.steps.size(); ++i) {
            SCOPED_TRACE(i);
            const Step &s = c.steps[i];
            const auto wait = bucket.Take(s.bytes, origin + milliseconds(s.atMs));
            // Rounded to the millisecond: one byte at 1 MiB/s is under a microsecond.
            const double waitMs = std::chrono::duration<double, std::milli>(wait).count();
            EXPECT_NEAR(waitMs, s.waitMs, 0.01);
        }
    }
}

// Set gives a burst of one second's worth, and a rate of 0 lifts the limit
// with any debt it left: neither take below waits (a wait would poll).
TEST(BandwidthLimit, SetGivesAOneSecondBurstZeroLiftsTheLimitANullLogonIsRefused)
{
    agent::BandwidthLimit limit;
    int polls = 0;
    const auto poll = [&] { return ++polls, true; };
    limit.Set(1000);
    EXPECT_TRUE(limit.Take(1000, milliseconds(1), poll));
    EXPECT_FALSE(limit.Take(100000, milliseconds(1), poll)); // 100 s owed: the poll ends it
    limit.Set(0);
    EXPECT_TRUE(limit.Take(1u << 30, milliseconds(1), poll));
    EXPECT_EQ(polls, 1);

    SetLastError(0);
    EXPECT_EQ(AgentSetBandwidthLimit(nullptr, 1000), 0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}
