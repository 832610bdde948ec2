// How many exchanges to keep in flight against one agent. A pure piece:
// it sees only what the copies measured (how long an exchange took, how
// many bytes it moved, how many were in flight meanwhile, and refused or
// reset connections) and answers with a target between 1 and a cap.
//
// The rule is the one of TCP Vegas, applied to exchanges instead of
// segments: the shortest exchange seen is the base round trip; when a
// round of exchanges takes longer than that on average, the surplus is
// work queued at the agent or on the link, which more exchanges in flight
// would only lengthen. So the target grows while a third or less of the
// exchanges queue and the bytes moved per second still rise (a long round
// trip gets many exchanges, loopback few), and shrinks once most queue. A
// refused or reset connection halves the target and caps it below the
// number that was in flight, since the agent will not serve more.
#ifndef AGENT_FLIGHT_CONTROL_H
#define AGENT_FLIGHT_CONTROL_H

#include <cstdint>

namespace agent {

class FlightControl {
public:
    // `cap` bounds the target (the caller's limit, at most kMaxCap);
    // `start` is the first target.
    explicit FlightControl(unsigned cap, unsigned start = 4);

    static constexpr unsigned kMaxCap = 64;

    // One finished exchange: its duration, the bytes it carried and the
    // number in flight while it ran.
    void Observe(double seconds, uint64_t bytes, unsigned inFlight);
    // The agent refused or reset a new connection while `inFlight` ran.
    void Refused(unsigned inFlight);

    unsigned Target() const { return target_; }
    unsigned Ceiling() const { return ceiling_; }
    double BaseRoundTrip() const { return base_; }

private:
    void EndRound();
    void StartRound();

    unsigned cap_;
    unsigned ceiling_;       // lowered by refusals, raised slowly again
    unsigned target_;
    double base_ = 0;        // the shortest exchange seen, 0 before the first
    // The round being measured: as many exchanges as the target.
    unsigned samples_ = 0;
    double sumSeconds_ = 0;
    double sumInFlight_ = 0;
    uint64_t roundBytes_ = 0;
    // Bytes per second of the last round that grew the target, and the
    // target it grew from: growth that bought no throughput is taken back.
    double lastRate_ = 0;
    unsigned grownFrom_ = 0;
    unsigned calmRounds_ = 0; // rounds without a refusal since the last
};

} // namespace agent

#endif
