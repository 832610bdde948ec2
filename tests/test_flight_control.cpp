// The in-flight controller against simulated networks: a closed queue in
// which an exchange costs the round trip, the agent's service time (shared
// by its cores) and its bytes at the link's rate. For every shape the
// target must settle where the link or the agent is just kept busy: few on
// loopback, many on a long round trip, never above the cap or the number
// a refusing agent accepts.
#include "copy/flight_control.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

struct Shape {
    const char *name;
    double oneWay;       // seconds
    double bytesPerSec;  // the link
    double service;      // agent seconds per exchange
    double cores;        // exchanges the agent serves at once
    uint64_t bytes;      // per exchange
    unsigned cap;
    unsigned refuseAbove; // 0: accepts any number
    unsigned low, high;  // where the target must settle
};

// Mean time of one exchange with n in flight (asymptotic bounds of a
// closed queue): n / min(n / base, cores / service, link / bytes).
double ExchangeSeconds(const Shape &s, unsigned n)
{
    const double base = 2 * s.oneWay + s.service + s.bytes / s.bytesPerSec;
    const double throughput = std::min({n / base, s.cores / s.service, s.bytesPerSec / s.bytes});
    return n / throughput;
}

const Shape kShapes[] = {
    // name            one-way  link    service  cores bytes  cap refuse low high
    {"loopback",       25e-6,   2e9,    100e-6,  2,    4096,  64, 0,     2,  6},
    {"wired LAN",      250e-6,  125e6,  100e-6,  2,    4096,  64, 0,     10, 20},
    {"Wi-Fi/VPN small", 2.5e-3, 125e6,  100e-6,  2,    4096,  64, 0,     48, 64},
    // The link is full at about 20: probes to twice that buy nothing and
    // are taken back.
    {"Wi-Fi/VPN 32K",  2.5e-3,  125e6,  100e-6,  2,    32768, 64, 0,     18, 44},
    // The link is full from the start: growth buys no bytes and is taken back.
    {"slow Wi-Fi 1M",  2.5e-3,  12.5e6, 100e-6,  2,    1 << 20, 64, 0,   1,  6},
    {"capped LAN",     250e-6,  125e6,  100e-6,  2,    4096,  8,  0,     8,  8},
    // Probing one past what was refused, now and then, is allowed.
    {"refusing agent", 2.5e-3,  125e6,  100e-6,  2,    4096,  64, 12,    4,  13},
};

TEST(FlightControl, SettlesWhereTheLinkIsBusy)
{
    for (const Shape &s : kShapes) {
        SCOPED_TRACE(s.name);
        agent::FlightControl control(s.cap);
        unsigned highest = 0;
        auto exchange = [&] {
            const unsigned n = control.Target();
            highest = std::max(highest, n);
            if (s.refuseAbove != 0 && n > s.refuseAbove)
                control.Refused(n);
            else
                control.Observe(ExchangeSeconds(s, n), s.bytes, n);
        };
        // Enough exchanges to settle, then a long look at where it stays.
        for (int i = 0; i < 20000; ++i)
            exchange();
        unsigned low = control.Target(), high = low;
        for (int i = 0; i < 4000; ++i) {
            exchange();
            low = std::min(low, control.Target());
            high = std::max(high, control.Target());
        }
        EXPECT_GE(low, s.low);
        EXPECT_LE(high, s.high);
        EXPECT_LE(highest, std::min(s.cap, agent::FlightControl::kMaxCap));
    }
}

// A refusal drops the target at once and keeps the ceiling below the count
// refused; once the agent accepts again, calm rounds let both grow back.
TEST(FlightControl, RefusalDropsAndCapsThenRecovers)
{
    agent::FlightControl control(64, 32);
    control.Refused(32);
    EXPECT_LE(control.Target(), 16u);
    EXPECT_LT(control.Ceiling(), 32u);
    control.Refused(2);
    EXPECT_EQ(control.Target(), 1u);
    for (int i = 0; i < 200; ++i)
        control.Observe(5e-3, 0, control.Target());
    EXPECT_GT(control.Target(), 1u);
    EXPECT_LT(control.Ceiling(), 64u);
}

TEST(FlightControl, CapAndStartAreBounded)
{
    EXPECT_EQ(agent::FlightControl(0).Target(), 1u);
    EXPECT_EQ(agent::FlightControl(1000, 1000).Target(), agent::FlightControl::kMaxCap);
    EXPECT_EQ(agent::FlightControl(3).Target(), 3u);
    agent::FlightControl control(8);
    control.Observe(0, 10, 1);   // no duration: ignored
    control.Observe(-1, 10, 1);
    EXPECT_EQ(control.BaseRoundTrip(), 0.0);
}

} // namespace
