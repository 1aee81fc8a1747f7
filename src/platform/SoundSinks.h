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
// are the ones the PulseAudio sink's "device" takes. Listed with GStreamer's
// PulseAudio device provider rather than a whole device monitor: a monitor
// would add ALSA's and PipeWire's own views of the same devices, under names
// that sink does not take.
//
// Any thread; each call is one round trip to the server (it blocks the
// caller for as long as the server takes to answer) and touches no global
// state but GStreamer's initialisation.
class SoundSinks {
public:
    // The sinks by description (then name), as a chooser lists them; none
    // when no sound server answers.
    static std::optional<std::vector<SoundSink>> list();

    // Whether `name` is among `sinks`.
    static bool contains(const std::vector<SoundSink>& sinks, const std::string& name);
};

}  // namespace bw
