#pragma once

#include <optional>
#include <string>
#include <vector>

namespace bw {

// One sound output of the sound server, as the operator chooses it.
struct SoundSink {
    std::string name;         // the server's name for it, what the show stores
    std::string description;  // for people: "Built-in Audio Analog Stereo"

    friend bool operator==(const SoundSink&, const SoundSink&) = default;
};

// The sound server's outputs (sinks), as movies play into them: through the
// PulseAudio protocol, which PipeWire's sound server speaks too, so the names
// are the ones the PulseAudio sink's "device" takes. Asked with the
// protocol's own client library: GStreamer's device provider for it keeps
// its client context for good at each probe, and the list is asked for at
// each look at the patch view and each movie that plays to a chosen output.
//
// Any thread; each call is one round trip to the server (it blocks the
// caller for as long as the server takes to answer, at most 2 s) and touches
// no global state. It never starts a server.
class SoundSinks {
public:
    // The sinks by description (then name), as a chooser lists them; none
    // when no sound server answers.
    static std::optional<std::vector<SoundSink>> list();

    // Whether `name` is among `sinks`.
    static bool contains(const std::vector<SoundSink>& sinks, const std::string& name);
};

}  // namespace bw
