#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "show/MediaScan.h"

namespace bw {

// Whether the show runs as it should, from samples of its figures: the rules
// that say when a figure matters to the operator, and the warnings they give
// (a kind, a short text for a status line, and an explanation of what it
// means and what to do). The window draws them; anything else that reports
// to the operator (the headless player's terminal, remote controllers) can
// take the same list.
//
// The rules, each warning standing while its cause does:
//   FrameRate      the frame rate below 95 % of the display's for 2 s, or
//                  no frame rendered for half a second
//   DroppedFrames  a refresh dropped in the last 10 s
//   GoLatency      the last GO's latency above two refreshes
//   MissingMedia   a cue names a media file that is missing or unreadable
//   Sharing        no PipeWire daemon answers: the outputs are not shared
//   Clock          a shared show's follower has lost the leader's clock
//   Sound          no sound server or card answered: movies play silent;
//                  or the show's sound output is not there: movies play
//                  through the system default
//
// Time comes only with the samples, so tests drive it as they like. Not
// thread-safe: one thread feeds and reads it.
class ShowHealth {
public:
    enum class Kind { FrameRate, DroppedFrames, GoLatency, MissingMedia, Sharing, Clock, Sound };

    struct Warning {
        Kind kind = Kind::FrameRate;
        std::string text;
        std::string explanation;

        friend bool operator==(const Warning&, const Warning&) = default;
    };

    // A shared show's clock, as the show sync tells it.
    struct ClockStatus {
        // For a status line: "clock locked", "clock lost, playing on its own".
        std::string text;
        // A follower that had the leader's clock and has had no answer since.
        bool lost = false;
    };

    // The figures at one moment.
    struct Sample {
        // Host time of the sample (ns, CLOCK_MONOTONIC or a test's clock).
        std::int64_t hostTime = 0;
        // The display rate the engine ticks at (Hz); 0: not known, the frame
        // rate rule is off and the GO rule takes kAssumedRefreshRate.
        double displayRate = 0.0;
        std::int64_t framesPerSecond = 0;
        // Host time of the newest frame rendered (ns, the same clock as
        // hostTime); none before the first.
        std::optional<std::int64_t> lastFrameTime;
        // Refreshes dropped since the show was opened; a smaller count than
        // the last sample's is a fresh start, not a drop.
        std::uint64_t framesDropped = 0;
        // Seconds; none before the first GO.
        std::optional<double> lastGoLatency;
        std::vector<MissingMedia> missingMedia;
        // Why the outputs are not shared; none: they are.
        std::optional<std::string> sharingProblem;
        // None: the show plays alone.
        std::optional<ClockStatus> clock;
        // Why movies play silent; none: their sound has an output (or no
        // movie has looked for one yet).
        std::optional<std::string> soundProblem;
        // The show's chosen sound output while the sound server does not
        // have it; none: it is there, or the show plays to the default.
        std::optional<std::string> missingSoundOutput;
    };

    // What one update changed: the warnings of kinds that were not standing
    // before, and the kinds that cleared. A standing warning whose text
    // changes (a count that grows) is not news.
    struct Changes {
        std::vector<Warning> appeared;
        std::vector<Kind> cleared;
    };

    static constexpr double kSlowRateShare = 0.95;
    static constexpr std::int64_t kSlowRateNanoseconds = 2'000'000'000;
    // No frame rendered for this long: the outputs stand still, which the
    // rate of the last frames cannot tell. Warned at once.
    static constexpr std::int64_t kStalledNanoseconds = 500'000'000;
    static constexpr std::int64_t kDropShownNanoseconds = 10'000'000'000;
    static constexpr double kSlowGoRefreshes = 2.0;
    static constexpr double kAssumedRefreshRate = 60.0;
    // Missing media named one by one in the explanation, at most.
    static constexpr std::size_t kMediaListed = 5;

    // Applies the rules to `sample`. Samples come in time order.
    Changes update(const Sample& sample);

    // The warnings standing after the last update, in the order of Kind.
    const std::vector<Warning>& warnings() const { return warnings_; }
    // The standing warning of `kind`; null when there is none.
    const Warning* warning(Kind kind) const;

    // "frame rate", "dropped frames", ... for log lines and remote feedback.
    static const char* kindName(Kind kind);

private:
    std::optional<Warning> frameRateWarning(const Sample& sample);
    std::optional<Warning> droppedFramesWarning(const Sample& sample);
    static std::optional<Warning> goLatencyWarning(const Sample& sample);
    static std::optional<Warning> missingMediaWarning(const Sample& sample);
    static std::optional<Warning> sharingWarning(const Sample& sample);
    static std::optional<Warning> soundWarning(const Sample& sample);
    static std::optional<Warning> clockWarning(const Sample& sample);

    std::vector<Warning> warnings_;
    // Since when the frame rate has been low; none while it is not.
    std::optional<std::int64_t> slowSince_;
    // The last sample's drop count, and the drops seen within the last
    // kDropShownNanoseconds: (host time, refreshes dropped then).
    std::optional<std::uint64_t> lastDropped_;
    std::deque<std::pair<std::int64_t, std::uint64_t>> recentDrops_;
};

}  // namespace bw
