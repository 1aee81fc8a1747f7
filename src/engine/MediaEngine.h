#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "engine/CueChain.h"
#include "engine/MediaEngineDelegate.h"
#include "media/MediaPlayer.h"
#include "remote/CueRunner.h"
#include "render/DisplayLink.h"
#include "render/DisplayTimeStamp.h"
#include "show/Cue.h"
#include "show/ScreenChoice.h"
#include "show/ShowHealth.h"
#include "show/StreamChoice.h"

typedef struct _GstClock GstClock;

namespace bw {

class Clock;
class CueStack;
class GoCoordinator;
class ShowClock;
class MediaOutput;
class MediaPlayer;
class NetworkManager;
class Preferences;
class ShowStatus;

// The spine of playback: the show's outputs, the current, next and fading-out
// cues, GO and crossfades, driven once per display refresh.
//
// Threads: every operation on the main thread, except renderFrame and
// completeTransition, which run on the render thread (the display link's).
// Engine state shared with the render thread (outputs, cues, progress, fade
// end, frame times) is guarded by one mutex held only for short copies and
// updates, never across a delegate call or a render; each tick works on a
// whole snapshot. Delegate calls happen on the main thread only.
//
// An engine built with a network manager is the cue runner its remote
// commands reach, from construction until it is destroyed.
//
// While a crossfade runs there is no next cue, yet a GO runs the cue that
// follows. So that such a GO builds no player (opening a movie holds the
// main thread for milliseconds), the players of the following cue are made
// ahead on the main thread as soon as the fade starts, one output per turn
// of the main loop, and sit in the outputs' next-player slots; the next
// loadNextCue of that cue takes the ones whose output state is unchanged.
class MediaEngine final : public CueRunner {
public:
    static constexpr std::size_t kFrameTimeCount = 30;

    // What the engine is built from. The process's engine uses the shared
    // stack, show status, network manager, system clock and a 60 Hz display
    // link; tests give their own and tick by hand.
    struct Parts {
        CueStack& stack;
        ShowStatus& status;
        Clock& clock;
        // Null: none (tests drive renderFrame themselves).
        NetworkManager* network = nullptr;
        // Null: no display link.
        std::unique_ptr<DisplayLink> displayLink;
    };

    // The process's engine, constructed on first use (main thread).
    static MediaEngine& sharedEngine();
    // The refresh rate the process's engine ticks at, when set before its
    // first use; 60 Hz otherwise.
    static void setSharedRefreshRate(double hz);

    explicit MediaEngine(Parts parts);
    ~MediaEngine() override;
    MediaEngine(const MediaEngine&) = delete;
    MediaEngine& operator=(const MediaEngine&) = delete;

    CueStack& stack() const { return stack_; }
    ShowStatus& status() const { return status_; }
    NetworkManager* network() const { return network_; }
    DisplayLink* displayLink() const { return displayLink_.get(); }
    // The display link ticks at `hz` from its next deadline on (the rate of
    // the screens the outputs are shown on). False, and nothing changes, for
    // a rate the link refuses or an engine without a display link.
    bool setDisplayRefreshRate(double hz);
    // The rate the display link ticks at; 0 without a display link.
    double displayRefreshRate() const;

    // Held strongly; may be null.
    void setDelegate(std::shared_ptr<MediaEngineDelegate> delegate);
    const std::shared_ptr<MediaEngineDelegate>& delegate() const { return delegate_; }
    // Others told the same notices, after the delegate, in the order they
    // were added (the show's feedback to controllers). Not owned: remove one
    // before it goes. One may remove itself while it is told.
    void addObserver(MediaEngineDelegate* observer);
    void removeObserver(MediaEngineDelegate* observer);

    // Main thread: copies of the present values.
    std::vector<std::shared_ptr<MediaOutput>> outputs() const;
    std::optional<Cue> previousCue() const;
    std::optional<Cue> currentCue() const;
    std::optional<Cue> nextCue() const;
    std::optional<double> fadeTransitionProgress() const;
    double fadeEndTime() const;
    std::array<std::uint64_t, kFrameTimeCount> frameTimes() const;

    // GO from the operator or a remote command. A GO inside the GO guard is
    // dropped (below). With a coordinator, it says when the crossfade
    // starts, or refuses the GO.
    void go(GoSource source) override;
    void go() { go(GoSource::Button); }
    // Go to the cue with ID `id`, as the keyboard and remote commands do: the
    // stack's first cue with that ID becomes the next cue (unless the next
    // cue already has that ID), then GO. An ID naming no cue is a plain GO.
    // The GO guard, and a coordinator that refuses the GO, refuse the whole
    // command.
    void goToCue(double id, GoSource source) override;
    void goToCue(double id) { goToCue(id, GoSource::Button); }

    // The GO guard: a GO or go-to-cue, from any source, that comes less than
    // this many seconds after the last one it let through is dropped,
    // counted, logged with its source and told to the delegate. 0 (an engine
    // built on its own) turns it off; the program sets it from the
    // preferences (GoGuardSeconds, kDefaultGoGuardSeconds without one).
    static constexpr double kDefaultGoGuardSeconds = 0.3;
    static constexpr std::string_view kGoGuardPreference = "GoGuardSeconds";
    // The guard the preferences ask for: a number of seconds from 0 to 10;
    // the default without one, and (with a warning logged) for any other.
    static double goGuardFromPreferences(const Preferences& preferences);
    void setGoGuardSeconds(double seconds);
    double goGuardSeconds() const { return goGuardSeconds_; }
    // GOs the guard dropped; the last one, until a GO runs again.
    std::uint64_t goesIgnored() const { return goesIgnored_; }
    const std::optional<IgnoredGo>& lastIgnoredGo() const { return lastIgnoredGo_; }

    // Panic: every output fades to black over panicSeconds() (movies' sound
    // with it) through the built-in panicCue; a second Panic during that
    // fade cuts to black at once. Never refused: not by the GO guard, not by
    // a coordinator (which is told, after). The cue GO would have run stays
    // the one the next GO runs. Remote commands reach it too.
    void panic() override;
    static constexpr double kDefaultPanicSeconds = 1.0;
    void setPanicSeconds(double seconds);
    double panicSeconds() const { return panicSeconds_; }
    // What every output shows beside a fitted picture (the show's bars
    // setting): set on the outputs the engine has and on each it takes later.
    void setPictureBars(PictureBars bars);
    PictureBars pictureBars() const { return pictureBars_; }
    // After the last cue of the stack: false (the default) wraps to the
    // first, true stops, so that GO runs nothing until a cue is chosen.
    void setStopsAtEnd(bool stops);
    bool stopsAtEnd() const { return stopsAtEnd_; }
    // Whether the cue on stage is the panic cue (from a Panic until a GO).
    bool showsPanic() const;
    // The built-in cue a Panic fades to: black on every output, "Panic",
    // with an ID no stack cue can take.
    static constexpr double kPanicCueID = -2.0;
    static Cue panicCue(std::size_t outputCount, double fadeLength);

    // What the operator's view shows of the stage's timing (main thread).
    // `fade`: the running crossfade's progress (0 to 1) and its elapsed and
    // remaining seconds; none while no crossfade runs. `movie`: the movie of
    // the cue on stage that ends last (the longest non-looping one); a cue
    // whose movies all loop gives the longest looping one, whose position is
    // then its place in the pass under way; none without a movie.
    struct StageTiming {
        struct Fade {
            double progress = 0.0;
            double elapsed = 0.0;
            double remaining = 0.0;
        };
        std::optional<Fade> fade;
        std::optional<MediaPlayer::PlaybackTime> movie;
    };
    // Reads the running players' times from values they keep; no lock is
    // held while it asks them.
    StageTiming stageTiming() const;
    // The movie stageTiming() reports among the running movies' times.
    static std::optional<MediaPlayer::PlaybackTime> stageMovie(
        const std::vector<MediaPlayer::PlaybackTime>& movies);

    // What a plain GO would run now: the next cue, or during a crossfade
    // (when there is none) the cue after the one fading in. `wraps` when
    // that is the stack's first cue coming after its last.
    // `endOfShow` when nothing follows because the show stops after its
    // last cue.
    struct GoTarget {
        std::optional<Cue> cue;
        bool wraps = false;
        bool endOfShow = false;
    };
    GoTarget cueGoRuns() const;

    // Shared shows. The show clock the crossfades of goAt() and the movies
    // they start run on (null: none); set before the show's cues are loaded,
    // so that prepared movies run on it. Not owned; it must outlive the
    // engine or be cleared first.
    void setShowClock(const ShowClock* clock);
    const ShowClock* showClock() const;
    // Asked by go() and goToCue(); null: none. Not owned.
    void setGoCoordinator(GoCoordinator* coordinator) { coordinator_ = coordinator; }
    // GO with its crossfade starting at `startTime` on the show clock: each
    // tick's progress is the show clock's time at the tick's display time
    // against that start (0 until then), and the movies it starts take the
    // start as their base time on the show clock. A start already past
    // joins the crossfade where it stands, or ends it at once. Needs a show
    // clock (without one it is a plain GO). Returns the cue started; none
    // when there was nothing to run.
    std::optional<Cue> goAt(std::int64_t startTime);
    // The show-clock start of the crossfade on stage (the last goAt()).
    std::optional<std::int64_t> fadeStartTime() const;

    // Cues that run themselves (CueChain): a GO of a cue with a pre-wait
    // starts its crossfade after the wait; the GO of an auto cue's next cue
    // is made when its time comes, with the crossfade starting at its due
    // time. A GO or go-to-cue while such a GO waits ends the wait and runs
    // its cue at once (the guard and the coordinator have their say first);
    // Panic, a new show and stopChain() end it. Chain times are on the show
    // clock where there is one, else the engine's host clock.
    const CueChain& chain() const { return chain_; }
    CueChain& chain() { return chain_; }
    // Ends the waiting chained GO, if any (the show was locked or unlocked).
    void stopChain() { chain_.stop(); }
    // The chain's clock now.
    std::int64_t chainTime() const;
    void loadNextCue(const Cue& cue);
    void loadCueAfterCurrent();
    // Loads the cue after the next one as next; on an empty stack, clears the
    // next cue.
    void advanceNextCue();
    // No next cue any more: the delegate is told the next cue is none, and
    // every output drops the player it had prepared for GO.
    void clearNextCue();
    // The operator changed a cue's ID in the stack from `oldID` to `newID`:
    // the engine's copies of the previous, current and next cue with ID
    // `oldID` take the new one, so that the show goes on after that cue from
    // its new place in the stack. Nothing else changes and no player is
    // touched; the delegate is told of a current or next cue that changed.
    // The alignment grid is not a stack cue and keeps its ID.
    void rebindCueID(double oldID, double newID);
    // Takes the stack's present cues: the previous, current and next cue are
    // read again by ID (a previous cue no longer in the stack keeps its copy,
    // so that its fade still ends). Running players whose output state is unchanged, or
    // that adopt the new one in place (a movie's muted and looped flags), go
    // on; the others are replaced. A current cue that is no longer in the
    // stack (deleted while on stage) stays on stage as it is, with its
    // players; the next cue is then the stack's cue with the next cue's ID,
    // else the stack's first cue (none on an empty stack). The alignment grid
    // stays on stage until a GO.
    void reloadCues();
    // Whether the current cue is the built-in alignment grid, put on stage at
    // construction and by loadOutputs and resetOutputs; false from the first
    // stack cue that became current on.
    bool showsAlignmentGrid() const;
    void addOutput(std::shared_ptr<MediaOutput> output);
    void removeOutput(std::size_t j);
    // Output j takes a new name (and publishes under it) or a new size; the
    // show is modified when the value changes. An index out of range, or the
    // value the output has, changes nothing.
    void renameOutput(std::size_t j, const std::string& name);
    void resizeOutput(std::size_t j, double width, double height);
    // Output j keeps `screen` as the screen its window fills (none: no
    // choice); the show is modified when the choice changes. An index out of
    // range, or the choice the output has, changes nothing.
    void setOutputScreen(std::size_t j, std::optional<ScreenChoice> screen);
    // Output j sends `stream` from now on (none: no network stream), paced
    // at the display's rate. Marks the show modified when it changes.
    void setOutputStream(std::size_t j, std::optional<StreamChoice> stream);
    void loadOutputs(std::vector<std::shared_ptr<MediaOutput>> outputs);
    void resetOutputs();
    // Frames per second over the last 30 frames; 0 before two frames have
    // been rendered at different times.
    std::int64_t framesPerSecond() const;
    // Refresh slots no tick rendered (a tick ran past its refresh and the
    // display link skipped the slots it missed) since the last
    // resetFrameStatistics(). A restart of the display link is not counted.
    std::uint64_t framesDropped() const;
    // Seconds from the last GO to the end of the first tick that rendered
    // its cue; none before the first GO since the last reset.
    std::optional<double> lastGoLatency() const;
    // Starts both counts afresh (a show was opened).
    void resetFrameStatistics();
    // The figures ShowHealth judges, read now: the time on the engine's
    // clock, the display rate (the default rate for an engine ticked by hand,
    // without a display link), the frame rate, drops and last GO latency.
    // Missing media (MediaWatch), whether the outputs are shared and the
    // show clock's state are the caller's to add.
    ShowHealth::Sample healthSample() const;

    // Render thread: one tick. The crossfade's end is detected here; the
    // delegate's notice and the loading of the following cue are handed to
    // the main queue.
    void renderFrame(const DisplayTimeStamp& timeStamp);

    // The progress at show time `now` of a crossfade started at `start` and
    // `fadeLength` seconds long (the formula above, never below 0).
    static double progressAtShowTime(std::int64_t now, std::int64_t start, double fadeLength);

    // The built-in cue that stands on the outputs when nothing else does.
    static Cue alignmentGridCue(std::size_t outputCount);
    static MediaOutputState gridState();

    // Render thread, after each tick, for benchmarks and tests: the tick's
    // time stamp and the progress its outputs were rendered with.
    using TickObserver = std::function<void(const DisplayTimeStamp&, std::optional<double>)>;
    // Set while no tick runs (before ticking starts, or with the link stopped).
    void setTickObserver(TickObserver observer);

private:
    // The values a tick reads, guarded by mutex_.
    struct State {
        std::vector<std::shared_ptr<MediaOutput>> outputs;
        std::optional<Cue> previousCue;
        std::optional<Cue> currentCue;
        std::optional<Cue> nextCue;
        // The current cue is the alignment grid (not a stack cue, whatever
        // its ID).
        bool showsAlignmentGrid = true;
        // The current cue is the panic cue (not a stack cue either).
        bool showsPanic = false;
        std::optional<double> fadeTransitionProgress = 0.0;
        double fadeEndTime = 0.0;
        // Shared shows: the clock, and the show time the crossfade started at.
        const ShowClock* showClock = nullptr;
        std::optional<std::int64_t> fadeStartShowTime;
        std::array<std::uint64_t, kFrameTimeCount> frameTimes{};
        std::size_t oldestFrameTime = 0;  // frameTimes is a ring
        // Frame statistics: the last tick's refresh slot, the slots skipped,
        // the host time of a GO no tick has rendered yet, and the latency of
        // the last GO that one has.
        std::optional<std::uint64_t> lastFrameNumber;
        std::uint64_t framesDropped = 0;
        std::optional<std::int64_t> pendingGoHostTime;
        std::optional<double> lastGoLatency;
        // Counts GOs: a fade's end found by a tick is told only while no
        // later GO has started another.
        std::uint64_t transition = 0;
    };

    // The players made ahead for the cue that follows the one on stage
    // (main thread only).
    struct Preparation {
        // Counts preparations: a turn of a preparation that has since been
        // dropped or replaced does nothing.
        std::uint64_t generation = 0;
        std::optional<Cue> cue;
        GstClock* movieClock = nullptr;
        // The output the next turn prepares for.
        std::size_t nextOutput = 0;
        // By output index: the output and the player made for it, empty
        // where the output keeps its running player.
        std::vector<std::pair<std::weak_ptr<MediaOutput>, std::weak_ptr<MediaPlayer>>> players;
    };

    // GO: the crossfade starts now on the media clock, or at `startShowTime`
    // on the show clock. Returns the cue started.
    // `panic`: the cue started is the panic cue.
    // `startHostTime`: without a show clock, the crossfade's start on the
    // host clock (now when none), which may lie a little ahead or behind.
    std::optional<Cue> startGo(std::optional<std::int64_t> startShowTime, bool panic = false,
                               std::optional<std::int64_t> startHostTime = std::nullopt);
    // The operator's GO, after the guard, the coordinator (`start`: the
    // start it gave) and a go-to-cue's load: runs the cue, after its
    // pre-wait when it has one.
    void runGo(std::optional<std::int64_t> start);
    // The chain's GO, its crossfade starting at `start` on the chain's clock.
    void chainedGo(std::int64_t start);
    CueChain::Hooks chainHooks();
    // Where the longest non-looping movie on stage ends, in seconds from its
    // start (CueChain::Hooks::movieLength).
    std::optional<double> stageMovieLength() const;
    // Whether the GO guard lets a GO from `source` through now; a GO it
    // drops is counted, logged and told.
    bool admitGo(GoSource source);
    // Store the value, then tell the delegate (main thread, no lock held).
    // `alignmentGrid`: the cue is the built-in grid, not a stack cue.
    void setCurrentCue(std::optional<Cue> cue, bool alignmentGrid);
    void setNextCue(std::optional<Cue> cue);
    // Replaces every running player whose state differs from the cue's and
    // cannot be adopted in place.
    void reconcileRunningPlayers(const Cue& cue,
                                 const std::vector<std::shared_ptr<MediaOutput>>& outputList);
    // After GO: an output that kept its running player (the same media in
    // the cue started) places it by the started cue's fit.
    void refitKeptPlayers(const Cue& started);
    // reloadCues' next cue when the current cue has left the stack.
    void reloadNextCueByID();
    // The stack's cue with ID `id`, if any.
    std::optional<Cue> stackCue(double id) const;
    void loadCueAfter(const std::optional<Cue>& cue);
    // The cue loadCueAfter(cue) loads: the stack's next one, the first after
    // the last or after a cue not in the stack; none on an empty stack.
    std::optional<Cue> cueAfter(const std::optional<Cue>& cue) const;
    // The cue loadCueAfterCurrent() loads; none when there is none.
    std::optional<Cue> cueAfterCurrent() const;
    // Whether output j keeps the player it runs for `current` when `state`
    // follows: the same media, whatever its flags.
    static bool keepsRunningPlayer(const std::optional<Cue>& current, std::size_t j,
                                   const MediaOutputState& state);
    // Starts making the players of the cue after the one on stage, a turn of
    // the main loop per output; drops any earlier preparation.
    void prepareCueAfterCurrent();
    // One turn: the player of the preparation's next output.
    void prepareNextOutput(std::uint64_t generation);
    void dropPreparation();
    // The player made ahead for output j of `cue`, still in `output`'s
    // next-player slot and made for the same state and clock; none otherwise.
    MediaPlayerRef preparedPlayer(const Cue& cue, std::size_t j, const MediaOutput& output,
                                  GstClock* movieClock) const;
    // The fade length a crossfade runs with: zero for one below zero, not a
    // number or infinite.
    static double effectiveFadeLength(double fadeLength);
    // Render thread: the progress formula; a fade of length zero ends on the
    // first tick after GO.
    static double progressAt(double now, double fadeEndTime, double fadeLength);
    // Render thread: ends the running crossfade; mutex_ held. The players the
    // outputs let go are added to `released`.
    void completeTransition(std::vector<MediaPlayerRef>& released);
    void stopDisplayLink();
    void startDisplayLink();
    // Hands `players` to the main queue to be released there.
    static void releaseOnMainQueue(std::vector<MediaPlayerRef> players);
    // Tells the delegate, then each observer still added, one notice.
    template <typename Notice>
    void tell(const Notice& notice) {
        if (delegate_) notice(*delegate_);
        const std::vector<MediaEngineDelegate*> observers = observers_;
        for (MediaEngineDelegate* observer : observers) {
            if (std::find(observers_.begin(), observers_.end(), observer) != observers_.end())
                notice(*observer);
        }
    }

    CueStack& stack_;
    ShowStatus& status_;
    Clock& clock_;
    NetworkManager* network_;
    std::unique_ptr<DisplayLink> displayLink_;
    std::shared_ptr<MediaEngineDelegate> delegate_;
    std::vector<MediaEngineDelegate*> observers_;
    GoCoordinator* coordinator_ = nullptr;
    // Panic (main thread): its fade, and what GO runs after it.
    double panicSeconds_ = kDefaultPanicSeconds;
    bool stopsAtEnd_ = false;
    PictureBars pictureBars_ = PictureBars::Transparent;
    std::optional<Cue> panicResume_;
    // The GO guard (main thread).
    double goGuardSeconds_ = 0.0;
    std::optional<std::int64_t> lastGoHostTime_;
    std::uint64_t goesIgnored_ = 0;
    std::optional<IgnoredGo> lastIgnoredGo_;
    // Work posted to the main queue checks it still runs on a live engine.
    std::shared_ptr<MediaEngine*> alive_;

    CueChain chain_;
    mutable std::mutex mutex_;
    State state_;
    // Main thread only.
    Preparation preparation_;
    // Render thread only.
    TickObserver tickObserver_;
};

}  // namespace bw
