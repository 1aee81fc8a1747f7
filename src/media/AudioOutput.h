#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

typedef struct _GstElement GstElement;

namespace bw {

// Chooses the element movies play their sound through. The candidates are
// tried in order, each opened once (to READY) before it is taken, so a
// sound server that is not running or a card that is missing is skipped;
// the first that opens is used for every movie after it. Where none opens,
// movies play silent into a synchronised fakesink and the log says so once;
// the next movie tries again, so a sound server started later is found, and
// the log says when sound is back.
//
// A chosen output (setTarget()) is given to the PulseAudio sink as its
// device; one the server does not have plays through the server's default,
// as that sink does by itself, and missingTarget() says so.
//
// Only the named candidates are ever used: the system's automatic choice
// could take a sink that aborts the process as it exits.
class AudioOutput {
public:
    // The candidates are element factory names. `override`, where not
    // empty, is used as it is (no probe): an element's name, or, with a
    // space or "!" in it, a pipeline description ("fakesink sync=true",
    // "audioconvert ! wavenc ! filesink location=...") whose sinks are
    // synchronised. One that cannot be made is said once in the
    // log, and the candidates are used.
    explicit AudioOutput(std::vector<std::string> candidates, std::string override = {});

    // The one the players use: PulseAudio's sink (a PipeWire sound server
    // takes it too), then ALSA's. BEAMWRIGHT_AUDIO_SINK, read at each
    // makeSink(), is its override.
    static AudioOutput& shared();

    // Any thread: a new, floating sink element for one movie.
    GstElement* makeSink();

    // The factory name last chosen ("fakesink" when no sound output opened);
    // empty before the first makeSink().
    std::string chosen() const;

    // Why movies play silent, for the operator; none while the last sink
    // made has a sound output, and before the first.
    std::optional<std::string> problem() const;

    // The sound server's output (sink) that sinks made from now on play
    // into, by its name; empty: the system default. Movies playing keep
    // theirs; the next movie takes the new one. Any thread: it asks the
    // server whether the output is there (SoundSinks::list()), so it blocks
    // for one round trip.
    void setTarget(const std::string& name);
    std::string target() const;

    // The output set by setTarget() while the sound server does not have it
    // (or no server answers): movies play through the system default, if
    // any. Looked at again by setTarget() and by each makeSink().
    std::optional<std::string> missingTarget() const;

private:
    std::string probe() const;
    GstElement* makeOverride(const std::string& override);
    // Records whether the target is there, saying so in the log when that
    // changes. mutex_ held.
    void noteTarget(bool present);

    std::vector<std::string> candidates_;
    std::string override_;
    bool readsEnvironment_ = false;
    mutable std::mutex mutex_;
    std::string chosen_;
    std::string failedOverride_;  // the last override that could not be made
    std::string target_;
    bool targetMissing_ = false;
};

}  // namespace bw
