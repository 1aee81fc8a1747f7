#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "platform/GLibHandle.h"
#include "show/Cue.h"

namespace bw {

// The GO a cue makes by itself: the end of a cue's pre-wait, and the GO of
// the next cue after an auto-continue cue's crossfade and post-wait, or when
// an auto-follow cue's longest non-looping movie ends. One such GO waits at a
// time. Times are on the chain's clock (nanoseconds): the show clock where
// the engine has one, so that a chained GO is due at the same moment on every
// machine, else the engine's host clock.
//
// The wait is a GLib timeout on the main context that wakes a little before
// the due time (lead(), at least two refreshes) and re-reads the clock; the
// GO it then makes starts its crossfade at the due time itself, not at the
// moment the main loop came round, so a late main loop costs nothing as long
// as it is less late than the lead.
//
// Main thread only.
class CueChain {
public:
    // What the chain is told and what it does, given by its engine.
    struct Hooks {
        // The chain's clock now.
        std::function<std::int64_t()> now;
        // How far ahead of its due time a chained GO is made; none where this
        // machine makes none (a sync follower, which follows the leader's).
        std::function<std::optional<std::int64_t>()> lead;
        // The cue a GO would run now, if any.
        std::function<std::optional<Cue>()> cueGoRuns;
        // Runs that GO with its crossfade starting at the given time.
        std::function<void(std::int64_t start)> go;
        // Where the cue on stage's longest non-looping movie ends, as
        // seconds after its crossfade started: none while no such movie's
        // length is known yet; 0 with no such movie playing at all.
        std::function<std::optional<double>()> movieLength;
        // The countdown began, changed its cue or due time, or ended.
        std::function<void()> changed;
    };

    enum class Wait {
        PreWait,   // the cue's own pre-wait, after a GO
        PostWait,  // after an auto-continue cue's fade and post-wait
        MovieEnd,  // until an auto-follow cue's movie ends
    };
    // The GO that waits: its cue, and when its crossfade starts (none while
    // an auto-follow cue's movie length is not known yet).
    struct Countdown {
        Wait wait = Wait::PostWait;
        double cueID = 0.0;
        std::optional<std::int64_t> due;
        // After an auto cue: the due time before the next cue's pre-wait.
        std::int64_t base = 0;
    };

    explicit CueChain(Hooks hooks);
    ~CueChain();
    CueChain(const CueChain&) = delete;
    CueChain& operator=(const CueChain&) = delete;

    // A GO of `cue`: its crossfade starts at `start` + its pre-wait.
    void waitBefore(const Cue& cue, std::int64_t start);
    // `cue` started its crossfade at `start`: an auto cue makes the GO of
    // the cue after it when its time comes. Ends any wait.
    void cueStarted(const Cue& cue, std::int64_t start);
    // Ends the wait, if any (Panic, the lock, a GO, a new show). True when a
    // GO was waiting.
    bool stop();
    // The operator made `cue` the next cue: an auto cue's GO runs it, due
    // after its own pre-wait; a pre-wait of another cue ends.
    void nextCueChanged(const Cue& cue);

    const std::optional<Countdown>& countdown() const { return countdown_; }
    // Seconds until the waiting GO's crossfade starts (0 once due); none
    // while none waits or its time is not known yet.
    std::optional<double> secondsLeft() const;

    // Makes the waiting GO if it is due (within the lead), else sets the
    // timer again. The timer calls it; so may a caller whose clock is not
    // the real one (tests).
    void poll();

    // How often an auto-follow cue asks again for its movie's length.
    static constexpr std::int64_t kMovieLengthPollNanoseconds = 20'000'000;

private:
    void schedule(Wait wait, std::int64_t base);
    void setCountdown(std::optional<Countdown> countdown);
    void arm(std::int64_t wakeIn);

    Hooks hooks_;
    std::optional<Countdown> countdown_;
    // For a MovieEnd wait: when the cue's crossfade started, and when the
    // wait ends for a cue whose movie gives no length.
    std::int64_t fadeStart_ = 0;
    std::int64_t fallbackBase_ = 0;
    GSourcePtr timer_;
};

}  // namespace bw
