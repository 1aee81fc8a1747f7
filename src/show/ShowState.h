#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "show/Cue.h"

namespace bw {

// What controllers are told of the show at one moment: the cue on stage, the
// cue GO runs, the running fade and movie, the state in one word, the lock,
// and the figures and warnings the operator sees. A plain value, built on
// the main thread by the show's feedback source and handed to whatever
// reports to controllers (OSC subscribers, the web remote).
struct ShowState {
    // "standby": waiting for GO. "fading": a crossfade runs. "panic": from a
    // Panic until the next GO. "ended": the show stops after its last cue
    // and GO runs nothing. "locked": standing by with the show locked for the
    // performance. When several hold, the first of panic, fading, ended,
    // locked wins; `locked` itself is always there.
    enum class Mode { Standby, Fading, Panic, Locked, Ended };

    // A cue by its ID as the operator reads it ("12.5"), "" for none, and its
    // description.
    struct CueLine {
        std::string id;
        std::string description;

        friend bool operator==(const CueLine&, const CueLine&) = default;
    };

    // Why a state is reported: what happened, or Tick for the steady
    // refresh while a fade or a movie runs.
    enum class Change {
        Tick,
        Go,
        FadeEnd,
        NextCue,
        Load,
        Edit,
        Panic,
        Lock,
        GoIgnored,
        Clock,
        Health,
    };

    CueLine current;
    CueLine next;
    // GO goes back to the first cue after the last.
    bool nextWraps = false;
    // 0..1; -1 while no fade runs (elapsed and remaining are then 0).
    double fadeProgress = -1.0;
    double fadeElapsed = 0.0;
    double fadeRemaining = 0.0;
    // The stage's movie (the one that ends last); -1 for both without one,
    // and -1 remaining while its length is not known. A looping movie gives
    // its place in the pass under way and that pass's remainder.
    double movieElapsed = -1.0;
    double movieRemaining = -1.0;
    bool movieLoops = false;
    // Seconds until a cue that runs by itself (a pre-wait's cue, or the cue
    // after an auto cue) starts its crossfade: the cue is `next`; -1 while
    // none waits or its time is not known yet (a movie's length).
    double autoIn = -1.0;
    Mode mode = Mode::Standby;
    bool locked = false;
    std::uint64_t framesDropped = 0;
    double framesPerSecond = 0.0;
    // A shared show's clock for a status line ("" when the show plays
    // alone), and whether a follower lost the leader's clock.
    std::string clock;
    bool clockLost = false;
    // The standing health warnings, "KIND: TEXT" each.
    std::vector<std::string> warnings;
    // What the last change was about, for a change other than a tick:
    // a GO the guard dropped gives its log line here.
    std::string detail;

    friend bool operator==(const ShowState&, const ShowState&) = default;

    // "standby", "fading", "panic", "locked", "ended".
    static const char* modeName(Mode mode);
    // "tick", "go", "fadeEnd", "next", "load", "edit", "panic", "lock",
    // "goIgnored", "clock", "health".
    static const char* changeName(Change change);
    // The cue line of `cue` ("" and "" for none).
    static CueLine lineFor(const std::optional<Cue>& cue);
};

// One output of the show, as controllers are told of it.
struct OutputSummary {
    std::string name;
    int width = 0;
    int height = 0;

    friend bool operator==(const OutputSummary&, const OutputSummary&) = default;
};

// The cue list as JSON, for controllers: an array with one object per cue in
// show order, {"id": "12.5", "description": ..., "fade": seconds, "outputs":
// [{"media": file name or "black" / "clear" / "grid", "muted": bool,
// "looped": bool, "kenBurns": bool}, ...]}. Compact, UTF-8.
std::string cueListJson(const std::vector<Cue>& cues);

// The pieces of `text`, in order, none longer than `maxBytes` (at least 4),
// cut only between UTF-8 characters; one empty piece for an empty text.
std::vector<std::string> splitUtf8(std::string_view text, std::size_t maxBytes);

// Where the state comes from: the show's feedback source implements it, and
// reporters ask it for the present values when a controller asks.
// Main thread only.
class ShowStateSource {
public:
    virtual ~ShowStateSource() = default;
    virtual ShowState showState() const = 0;
    virtual std::vector<Cue> showCues() const = 0;
    virtual std::vector<OutputSummary> showOutputs() const = 0;
};

// Told of every change the feedback source reports, and of the steady ticks.
// Main thread only.
class ShowStateListener {
public:
    virtual ~ShowStateListener() = default;
    virtual void showStateChanged(const ShowState& state, ShowState::Change change) = 0;
};

}  // namespace bw
