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

// What an output shows once its non-looping movie has played to the end:
// the movie's last picture, or black after a short fade.
enum class AtMovieEnd { Hold, Black };

// What follows a cue by itself. None: nothing, the next cue waits for GO.
// AutoContinue: once the cue's crossfade is complete and its postWait has
// passed, the next cue runs. AutoFollow: the next cue runs when the cue's
// longest non-looping movie ends (a cue without one acts as AutoContinue).
enum class CueContinue { None, AutoContinue, AutoFollow };

// What one output shows in one cue. A value.
struct MediaOutputState {
    MediaURL mediaURL;  // "black://" unless set
    bool muted = true;
    bool looped = true;
    bool kenBurns = false;
    PictureFit fit = PictureFit::Stretch;
    AtMovieEnd atMovieEnd = AtMovieEnd::Hold;

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
    // Timing, all in seconds: a GO of this cue starts its crossfade after
    // preWait; what follows it by itself, and the wait after its crossfade
    // before an AutoContinue runs the next cue.
    double preWait = 0.0;
    CueContinue continueMode = CueContinue::None;
    double postWait = 0.0;

    // Whether the cue runs the next one by itself.
    bool chains() const { return continueMode != CueContinue::None; }

    friend bool operator==(const Cue&, const Cue&) = default;
};

}  // namespace bw
