#pragma once

#include <optional>
#include <string>

#include "remote/CueRunner.h"
#include "show/Cue.h"

namespace bw {

// A GO the GO guard dropped: where it came from, and how long after the last
// GO that ran it came.
struct IgnoredGo {
    GoSource source = GoSource::Button;
    double secondsAfterLast = 0.0;

    // "GO ignored: 0.12 s after the last, from OSC".
    std::string logLine() const;
};

// Told by the engine, on the main thread, when crossfades begin and end and
// whenever the engine itself changes its current or next cue. The cue list
// moves its highlighted rows from these.
class MediaEngineDelegate {
public:
    virtual ~MediaEngineDelegate() = default;
    virtual void cueTransitionBegan() = 0;
    virtual void cueTransitionComplete() = 0;
    virtual void currentCueChanged(const std::optional<Cue>& cue) = 0;
    virtual void nextCueChanged(const std::optional<Cue>& cue) = 0;
    // A GO came within the GO guard of the last one and was dropped.
    virtual void goIgnored(const IgnoredGo& go) { (void)go; }
    // A GO that a cue makes by itself began or stopped waiting
    // (MediaEngine::chain()).
    virtual void chainChanged() {}
};

}  // namespace bw
