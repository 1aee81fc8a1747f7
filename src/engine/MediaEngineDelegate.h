#pragma once

#include <optional>

#include "show/Cue.h"

namespace bw {

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
};

}  // namespace bw
