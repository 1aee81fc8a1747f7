#pragma once

namespace bw {

// What remote commands run: GO and go-to-cue. The playback engine implements
// it; the network front reaches the engine only through it, so the remote
// layer needs nothing above the show model.
//
// Main thread only.
class CueRunner {
public:
    virtual ~CueRunner() = default;

    // Runs the next cue.
    virtual void go() = 0;
    // Makes the first cue with ID `id` the next cue (unless the next cue
    // already has that ID), then runs GO; an ID naming no cue is a plain GO.
    virtual void goToCue(double id) = 0;
};

}  // namespace bw
