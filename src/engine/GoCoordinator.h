#pragma once

#include <cstdint>
#include <optional>

#include "show/Cue.h"

namespace bw {

// Decides when a GO from this machine's operator or remote control starts,
// for an engine that plays one show with other machines (ShowSync).
//
// Main thread only.
class GoCoordinator {
public:
    virtual ~GoCoordinator() = default;

    // Asked before such a GO changes anything: the show-clock time at which
    // its crossfade starts, or none to refuse the GO (the coordinator says
    // why).
    virtual std::optional<std::int64_t> startTimeForGo() = 0;
    // That GO started `cue` at `startTime`.
    virtual void goStarted(const Cue& cue, std::int64_t startTime) = 0;
    // How far ahead of its due time a GO that a cue makes by itself (a
    // chained GO) is made, so that it reaches every machine before then; none
    // where this machine makes none and follows another's.
    virtual std::optional<std::int64_t> chainedGoLead() { return 0; }
    // A Panic started here (its fade, or a second Panic's cut to black); it
    // was not asked first, and cannot be refused.
    virtual void panicked() {}
};

}  // namespace bw
