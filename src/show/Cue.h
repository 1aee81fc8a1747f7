#pragma once

#include <string>
#include <vector>

#include "platform/MediaURL.h"

namespace bw {

// How a picture is placed on its output, upright and in its displayed
// proportions: Stretch covers the output whatever the proportions, Fit shows
// the whole picture inside it (bars beside or above it), Fill covers it,
// cropping the picture's overhang evenly from both sides.
enum class PictureFit { Stretch, Fit, Fill };

// What an output shows where a fitted picture leaves it uncovered.
enum class PictureBars { Transparent, Black };

// What one output shows in one cue. A value.
struct MediaOutputState {
    MediaURL mediaURL;  // "black://" unless set
    bool muted = true;
    bool looped = true;
    bool kenBurns = false;
    PictureFit fit = PictureFit::Stretch;

    // The state of every output of a new cue and of every new output column:
    // black, muted, looped, no Ken Burns motion, stretched.
    static MediaOutputState defaultState() { return {}; }

    friend bool operator==(const MediaOutputState&, const MediaOutputState&) = default;
};

// One cue. A value: editing a cue means replacing it in the stack.
struct Cue {
    double id = 0.0;
    std::string description;
    double fadeLength = 3.0;                     // seconds of crossfade into this cue
    std::vector<MediaOutputState> outputStates;  // element j belongs to output j

    friend bool operator==(const Cue&, const Cue&) = default;
};

}  // namespace bw
