#pragma once

#include <string_view>

namespace bw {

// Where a GO came from, for the GO guard's log lines.
enum class GoSource {
    Key,      // Return or keypad Enter in the show window
    Button,   // the GO button or the Cue menu
    Osc,      // an OSC /go or /cue
    Crep,     // a CREP "go" or "cue"
    Command,  // a command on a headless player's standard input
    Web,      // a page of the web remote
};

// The name a log line gives the source.
constexpr std::string_view goSourceName(GoSource source) {
    switch (source) {
        case GoSource::Key:
            return "the GO key";
        case GoSource::Button:
            return "the GO button";
        case GoSource::Osc:
            return "OSC";
        case GoSource::Crep:
            return "CREP";
        case GoSource::Command:
            return "a command";
        case GoSource::Web:
            return "the web remote";
    }
    return "an unknown source";
}

// What remote commands run: GO, go-to-cue and Panic. The playback engine implements
// it; the network front reaches the engine only through it, so the remote
// layer needs nothing above the show model.
//
// Main thread only.
class CueRunner {
public:
    virtual ~CueRunner() = default;

    // Runs the next cue.
    virtual void go(GoSource source) = 0;
    // Makes the first cue with ID `id` the next cue (unless the next cue
    // already has that ID), then runs GO; an ID naming no cue is a plain GO.
    virtual void goToCue(double id, GoSource source) = 0;
    // Every output to black: see the engine's panic().
    virtual void panic() = 0;
};

}  // namespace bw
