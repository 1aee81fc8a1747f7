#pragma once

#include <cstdint>
#include <optional>

namespace bw {

// Which readings of the network clock a follower's show clock takes into its
// calibration. Each reading pairs the show clock's own (internal) time with
// the network clock's, read between two readings of the internal time: a
// pair whose two internal readings lie more than kBracketNanoseconds apart
// was interrupted (the thread taken off the processor between the reads)
// and says nothing.
//
// A reading whose network time stands more than kOutlierNanoseconds from
// what the current calibration predicts is held back: a starved exchange or
// a passing disturbance of the network clock would otherwise pull the show
// clock, and with it every fade on this machine, off the leader's for
// seconds. Only when the readings have stood that far off for
// kStepAfterNanoseconds is it taken as the leader's clock having moved, and
// followed from the next reading on.
//
// Not thread-safe: the follower's main-thread sampling feeds it.
class ClockSamples {
public:
    static constexpr std::int64_t kBracketNanoseconds = 1'000'000;
    static constexpr std::int64_t kOutlierNanoseconds = 5'000'000;
    static constexpr std::int64_t kStepAfterNanoseconds = 3'000'000'000;

    enum class Verdict {
        Take,         // into the calibration
        Interrupted,  // the reads were too far apart
        HeldBack,     // too far from the prediction, for now
        Step,         // far off for long enough: start the calibration afresh here
    };

    // `internalBefore` and `internalAfter` bracket the network reading;
    // `predicted` is what the calibration so far makes of their middle (none
    // before the first calibration); `network` what the network clock said.
    Verdict judge(std::int64_t internalBefore, std::int64_t internalAfter,
                  std::optional<std::int64_t> predicted, std::int64_t network);

    // Readings held back since the last one taken.
    int heldBack() const { return heldBack_; }

private:
    std::optional<std::int64_t> offSince_;
    int heldBack_ = 0;
};

}  // namespace bw
