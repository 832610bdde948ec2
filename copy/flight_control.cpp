#include "copy/flight_control.h"

#include <algorithm>

namespace agent {

namespace {

// Rounds without a refusal before the ceiling may rise by one again.
constexpr unsigned kCalmRoundsToProbe = 8;

} // namespace

FlightControl::FlightControl(unsigned cap, unsigned start)
    : cap_(std::max(1u, std::min(cap, kMaxCap))), ceiling_(cap_), target_(std::max(1u, std::min(start, cap_)))
{
}

void FlightControl::Observe(double seconds, uint64_t bytes, unsigned inFlight)
{
    if (!(seconds > 0))
        return;
    if (base_ == 0 || seconds < base_)
        base_ = seconds;
    ++samples_;
    sumSeconds_ += seconds;
    sumInFlight_ += std::max(1u, inFlight);
    roundBytes_ += bytes;
    if (samples_ >= target_)
        EndRound();
}

void FlightControl::Refused(unsigned inFlight)
{
    ceiling_ = std::max(1u, std::min(ceiling_, inFlight > 1 ? inFlight - 1 : 1u));
    target_ = std::max(1u, std::min(target_ / 2, ceiling_));
    calmRounds_ = 0;
    lastRate_ = 0;
    grownFrom_ = 0;
    StartRound();
}

void FlightControl::StartRound()
{
    samples_ = 0;
    sumSeconds_ = sumInFlight_ = 0;
    roundBytes_ = 0;
}

void FlightControl::EndRound()
{
    const double mean = sumSeconds_ / samples_;
    const double inFlight = sumInFlight_ / samples_;
    // Exchanges waiting beyond the base round trip (Little's law).
    const double queued = inFlight * (1.0 - base_ / mean);
    // Bytes per second where the exchanges carry data, exchanges per
    // second where they do not.
    const double rate = roundBytes_ > 0 ? inFlight * static_cast<double>(roundBytes_) / sumSeconds_ : inFlight / mean;
    StartRound();

    if (++calmRounds_ >= kCalmRoundsToProbe && ceiling_ < cap_) {
        ++ceiling_;
        calmRounds_ = 0;
    }
    // Exchanges are not segments on one wire: each has a connection and an
    // agent thread of its own, and both ends batch their work as more are
    // under way. Measured against agents, throughput kept rising with a
    // third of the exchanges queued (loopback and LAN alike), so growth
    // stops there, and only a queue of three quarters takes one back.
    const double alpha = std::max(3.0, inFlight / 3), beta = std::max(8.0, inFlight * 3 / 4);
    if (grownFrom_ != 0 && lastRate_ > 0 && rate < lastRate_ * 1.02) {
        // The last growth bought nothing: back to where it started.
        target_ = std::min(target_, grownFrom_);
        grownFrom_ = 0;
        lastRate_ = rate;
        return;
    }
    grownFrom_ = 0;
    if (queued < alpha && target_ < ceiling_) {
        grownFrom_ = target_;
        lastRate_ = rate;
        target_ = std::min(ceiling_, target_ + std::max(1u, target_ / 2));
    } else if (queued > beta && target_ > 1) {
        --target_;
        lastRate_ = 0;
    } else {
        lastRate_ = rate;
    }
    target_ = std::min(target_, ceiling_);
}

} // namespace agent
