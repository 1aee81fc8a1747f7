#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace bw {

// Whether a follower's show clock has settled on its leader's: what turns a
// follower from waiting to locked.
//
// The network clock reports each exchange with the leader: the round trip,
// and how far its own estimate stood from the leader's answer at either end
// of it. Assuming the way there and back take as long, the estimate's error
// is the middle of those two. The show clock follows the network clock
// through a calibration of its own, which lags behind it while it slews a
// correction in; the gap between the two is read directly.
//
// Settled: at least kMinimumNanoseconds since the show clock began to
// follow, the last kSettledExchanges exchanges that were not held up (round
// trip under kSlowRoundTripNanoseconds: a starved process or a congested
// network says nothing about the estimate) each put the estimate within
// kSettledErrorNanoseconds, and the show clock within the same of the
// network clock. A clock that cannot settle (a noisy network) is taken as
// settled after kGiveUpNanoseconds, with its error as last seen, so a show
// can still run; the log says how far off it was.
//
// Not thread-safe; the clock's main-thread poll feeds it.
class ClockSettling {
public:
    static constexpr std::int64_t kMinimumNanoseconds = 3'000'000'000;
    static constexpr std::int64_t kGiveUpNanoseconds = 20'000'000'000;
    static constexpr std::int64_t kSettledErrorNanoseconds = 2'000'000;
    static constexpr std::int64_t kSlowRoundTripNanoseconds = 20'000'000;
    static constexpr std::size_t kSettledExchanges = 4;

    // The show clock began to follow (again) at `hostTime`: nothing counts
    // from before.
    void restart(std::int64_t hostTime);

    // One exchange: the round trip, and the estimate minus the leader's
    // answer at the request's sending and its answer's receipt.
    void addExchange(std::int64_t roundTrip, std::int64_t errorAtSend, std::int64_t errorAtReceipt);
    // The show clock minus the network clock, now.
    void setFollowingGap(std::int64_t gap) { followingGap_ = gap; }

    bool settled(std::int64_t hostTime) const;
    // Beyond the give-up time without settling.
    bool gaveUp(std::int64_t hostTime) const;
    // The larger of the last exchange's error and the following gap, in
    // nanoseconds; none before the first exchange.
    std::optional<std::int64_t> lastError() const;

private:
    std::int64_t since_ = 0;
    std::size_t goodInARow_ = 0;
    std::optional<std::int64_t> lastExchangeError_;
    std::optional<std::int64_t> followingGap_;
};

}  // namespace bw
