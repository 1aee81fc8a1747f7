#pragma once

#include <string>
#include <vector>

#include "platform/MediaURL.h"

namespace bw {

// How a picture is placed on its output: "fit" shows the whole picture in
// its own proportions (bars where the shapes differ), "fill" covers the
// output in its proportions (cropped, centred), "stretch" spreads it over
// the output whatever its proportions.
enum class PictureFit { Stretch, Fit, Fill };

// What one output shows in one cue. A value.
struct MediaOutputState {
    MediaURL mediaURL;  // "black://" unless set
    bool muted = true;
    bool looped = true;
    bool kenBurns = false;
    PictureFit fit = PictureFit::Stretch;

    // The state of every output of a new cue and of every new output column:
    // black, muted, looped, no Ken Burns motion.
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
