#include "engine/MediaEngine.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <limits>
#include <mutex>
#include <utility>

#include "engine/GoCoordinator.h"
#include "engine/MediaOutput.h"
#include "media/ShowClock.h"
#include "media/VideoPlayer.h"
#include "platform/Clock.h"
#include "platform/Fatal.h"
#include "platform/MainQueue.h"
#include "platform/Preferences.h"
#include "platform/SystemLog.h"
#include "remote/NetworkManager.h"
#include "render/DisplayLink.h"
#include "render/GpuBufferPool.h"
#include "render/RenderContext.h"
#include "render/ShaderScene.h"
#include "show/CueStack.h"
#include "show/ShowStatus.h"

namespace bw {

namespace {

// Gives the shared context back when the render thread ends. A context left
// current on a thread that has gone can be taken by a later engine's render
// thread only by chance (when that thread happens to reuse the gone one's
// bookkeeping), so each thread releases it on its way out.
struct RenderThreadContext {
    bool held = false;
    RenderThreadContext() = default;
    RenderThreadContext(const RenderThreadContext&) = delete;
    RenderThreadContext& operator=(const RenderThreadContext&) = delete;
    ~RenderThreadContext() {
        if (held) RenderContext::shared().releaseCurrent();
    }
};
thread_local RenderThreadContext renderThreadContext;

std::atomic<double> sharedRefreshRate{DisplayLink::kDefaultRefreshRate};

}  // namespace

void MediaEngine::setSharedRefreshRate(double hz) {
    sharedRefreshRate.store(hz);
}

MediaEngine& MediaEngine::sharedEngine() {
    static std::once_flag once;
    static MediaEngine* engine = nullptr;
    std::call_once(once, [] {
        engine = new MediaEngine(Parts{CueStack::shared(), ShowStatus::shared(), systemClock(),
                                       &NetworkManager::shared(),
                                       std::make_unique<DisplayLink>(sharedRefreshRate.load())});
        engine->setGoGuardSeconds(goGuardFromPreferences(Preferences::shared()));
    });
    return *engine;
}

MediaEngine::MediaEngine(Parts parts)
    : stack_(parts.stack),
      status_(parts.status),
      clock_(parts.clock),
      network_(parts.network),
      alive_(std::make_shared<MediaEngine*>(this)),
      chain_(chainHooks()) {
    // The stack, network manager and clock come ready-made; then the frame
    // times, the pool, the alignment grid and the display link, in that order.
    const auto now = static_cast<std::uint64_t>(clock_.hostTimeNanoseconds());
    state_.frameTimes.fill(now);
    GpuBufferPool::createGlobal(RenderContext::shared());
    // Every shader source is read now: a shortage of file descriptors later
    // in the show must not read as a broken installation.
    ShaderScene::loadAll();
    state_.currentCue = alignmentGridCue(0);
    stack_.setOutputCountSource([this] { return outputs().size(); });
    if (network_ != nullptr) {
        network_->setEngineProvider([this]() -> CueRunner& { return *this; });
    }

    displayLink_ = std::move(parts.displayLink);
    if (displayLink_) {
        if (!displayLink_->isValid()) {
            fatalError("cannot create the display link (refresh rate " +
                       std::to_string(displayLink_->refreshRate()) + " Hz)");
        }
        displayLink_->setOutputCallback([this](const DisplayTimeStamp& timeStamp) {
            RenderContext& context = RenderContext::shared();
            if (!context.isCurrent()) {
                if (!context.makeCurrent()) {
                    fatalError("cannot make the OpenGL context current on the render thread");
                }
                renderThreadContext.held = true;
            }
            renderFrame(timeStamp);
        });
        if (!displayLink_->start()) {
            fatalError("cannot start the display link");
        }
    }
}

MediaEngine::~MediaEngine() {
    if (displayLink_) {
        displayLink_->stop();
    }
    stack_.setOutputCountSource(nullptr);
    if (network_ != nullptr) {
        network_->setEngineProvider(nullptr);
    }
}

bool MediaEngine::setDisplayRefreshRate(double hz) {
    return displayLink_ && displayLink_->setRefreshRate(hz);
}

double MediaEngine::displayRefreshRate() const {
    return displayLink_ ? displayLink_->refreshRate() : 0.0;
}

void MediaEngine::setDelegate(std::shared_ptr<MediaEngineDelegate> delegate) {
    delegate_ = std::move(delegate);
}

void MediaEngine::addObserver(MediaEngineDelegate* observer) {
    if (observer != nullptr &&
        std::find(observers_.begin(), observers_.end(), observer) == observers_.end()) {
        observers_.push_back(observer);
    }
}

void MediaEngine::removeObserver(MediaEngineDelegate* observer) {
    std::erase(observers_, observer);
}

std::vector<std::shared_ptr<MediaOutput>> MediaEngine::outputs() const {
    std::lock_guard lock(mutex_);
    return state_.outputs;
}

std::optional<Cue> MediaEngine::previousCue() const {
    std::lock_guard lock(mutex_);
    return state_.previousCue;
}

std::optional<Cue> MediaEngine::currentCue() const {
    std::lock_guard lock(mutex_);
    return state_.currentCue;
}

std::optional<Cue> MediaEngine::nextCue() const {
    std::lock_guard lock(mutex_);
    return state_.nextCue;
}

bool MediaEngine::showsAlignmentGrid() const {
    std::lock_guard lock(mutex_);
    return state_.showsAlignmentGrid;
}

std::optional<double> MediaEngine::fadeTransitionProgress() const {
    std::lock_guard lock(mutex_);
    return state_.fadeTransitionProgress;
}

MediaEngine::StageTiming MediaEngine::stageTiming() const {
    StageTiming timing;
    std::vector<std::shared_ptr<MediaOutput>> outputs;
    {
        std::lock_guard lock(mutex_);
        outputs = state_.outputs;
        const std::optional<double>& progress = state_.fadeTransitionProgress;
        // A crossfade runs while a previous cue is still fading out.
        if (progress && state_.previousCue && state_.currentCue) {
            // A cut's progress jumps past 1 on its last tick.
            const double shown = std::isfinite(*progress) ? std::clamp(*progress, 0.0, 1.0) : 1.0;
            const double length = effectiveFadeLength(state_.currentCue->fadeLength);
            timing.fade = StageTiming::Fade{shown, shown * length, (1.0 - shown) * length};
        }
    }
    std::vector<MediaPlayer::PlaybackTime> movies;
    for (const std::shared_ptr<MediaOutput>& output : outputs) {
        const MediaPlayerRef player = output->runningPlayer();
        if (!player) continue;
        if (const std::optional<MediaPlayer::PlaybackTime> time = player->playbackTime())
            movies.push_back(*time);
    }
    timing.movie = stageMovie(movies);
    return timing;
}

std::optional<MediaPlayer::PlaybackTime> MediaEngine::stageMovie(
    const std::vector<MediaPlayer::PlaybackTime>& movies) {
    // Ranks a movie: one that ends (with a known length) before one that
    // loops, before one whose length is not known yet; then by what is
    // left of it, or by its length for looping ones.
    auto rank = [](const MediaPlayer::PlaybackTime& movie) {
        const int kind = !movie.duration ? 0 : movie.looped ? 1 : 2;
        const double measure = !movie.duration ? movie.position
                               : movie.looped  ? *movie.duration
                                               : *movie.duration - movie.position;
        return std::pair{kind, measure};
    };
    const MediaPlayer::PlaybackTime* best = nullptr;
    for (const MediaPlayer::PlaybackTime& movie : movies) {
        if (best == nullptr || rank(movie) > rank(*best)) best = &movie;
    }
    if (best == nullptr) return std::nullopt;
    return *best;
}

double MediaEngine::fadeEndTime() const {
    std::lock_guard lock(mutex_);
    return state_.fadeEndTime;
}

std::array<std::uint64_t, MediaEngine::kFrameTimeCount> MediaEngine::frameTimes() const {
    std::lock_guard lock(mutex_);
    std::array<std::uint64_t, kFrameTimeCount> ordered{};
    for (std::size_t i = 0; i < kFrameTimeCount; ++i) {
        ordered[i] = state_.frameTimes[(state_.oldestFrameTime + i) % kFrameTimeCount];
    }
    return ordered;
}

MediaOutputState MediaEngine::gridState() {
    return MediaOutputState{MediaURL::generator(MediaURL::Generator::Grid), true, true, false};
}

Cue MediaEngine::alignmentGridCue(std::size_t outputCount) {
    return Cue{-1.0, "Alignment Grid", 1.0,
               std::vector<MediaOutputState>(outputCount, gridState())};
}

Cue MediaEngine::panicCue(std::size_t outputCount, double fadeLength) {
    MediaOutputState black;
    black.mediaURL = *MediaURL::fromString("black://");
    black.muted = true;
    black.looped = true;
    return Cue{kPanicCueID, "Panic", fadeLength, std::vector<MediaOutputState>(outputCount, black)};
}

bool MediaEngine::showsPanic() const {
    std::lock_guard lock(mutex_);
    return state_.showsPanic;
}

void MediaEngine::setStopsAtEnd(bool stops) {
    if (stops == stopsAtEnd_) return;
    stopsAtEnd_ = stops;
    // On the last cue, with no fade running, what follows it changed.
    const std::vector<Cue>& cues = stack_.cues();
    const std::optional<Cue> current = currentCue();
    if (!previousCue() && !showsAlignmentGrid() && !showsPanic() && current && !cues.empty() &&
        stack_.indexOfCue(current->id) == cues.size() - 1) {
        loadCueAfterCurrent();
    }
}

void MediaEngine::setPanicSeconds(double seconds) {
    panicSeconds_ = std::isfinite(seconds) && seconds > 0.0 ? seconds : 0.0;
}

void MediaEngine::setPictureBars(PictureBars bars) {
    pictureBars_ = bars;
    for (const std::shared_ptr<MediaOutput>& output : outputs()) {
        output->setBars(bars);
    }
}

void MediaEngine::panic() {
    chain_.stop();
    bool cut = false;
    {
        std::lock_guard lock(mutex_);
        if (state_.showsPanic && state_.previousCue) {
            // Panic again during its fade: the next tick ends it, on black.
            state_.fadeEndTime = -std::numeric_limits<double>::infinity();
            state_.fadeStartShowTime.reset();
            cut = true;
        }
    }
    if (cut) {
        SystemLog::shared().log("Panic: cut to black");
    } else {
        if (!showsPanic()) panicResume_ = cueGoRuns().cue;
        SystemLog::shared().log("Panic: every output fades to black");
        loadNextCue(panicCue(outputs().size(), panicSeconds_));
        startGo(std::nullopt, true);
    }
    if (coordinator_) coordinator_->panicked();
}

void MediaEngine::setCurrentCue(std::optional<Cue> cue, bool alignmentGrid) {
    {
        std::lock_guard lock(mutex_);
        state_.currentCue = cue;
        state_.showsAlignmentGrid = alignmentGrid;
        state_.showsPanic = false;
    }
    tell([&](MediaEngineDelegate& d) { d.currentCueChanged(cue); });
}

void MediaEngine::setNextCue(std::optional<Cue> cue) {
    {
        std::lock_guard lock(mutex_);
        state_.nextCue = cue;
    }
    tell([&](MediaEngineDelegate& d) { d.nextCueChanged(cue); });
    // A chained GO runs the cue the operator chose instead.
    if (cue) chain_.nextCueChanged(*cue);
}

std::optional<Cue> MediaEngine::stackCue(double id) const {
    if (std::optional<std::size_t> index = stack_.indexOfCue(id)) {
        return stack_.cues()[*index];
    }
    return std::nullopt;
}

std::string IgnoredGo::logLine() const {
    char line[128];
    std::snprintf(line, sizeof line, "GO ignored: %.2f s after the last, from %.*s",
                  secondsAfterLast, static_cast<int>(goSourceName(source).size()),
                  goSourceName(source).data());
    return line;
}

double MediaEngine::goGuardFromPreferences(const Preferences& preferences) {
    const std::optional<std::string> text = preferences.stringValue(kGoGuardPreference);
    if (!text) return kDefaultGoGuardSeconds;
    char* end = nullptr;
    const double seconds = std::strtod(text->c_str(), &end);
    if (!text->empty() && end != nullptr && *end == '\0' && seconds >= 0.0 && seconds <= 10.0)
        return seconds;
    char line[160];
    std::snprintf(line, sizeof line,
                  "Warning: %s \"%.40s\" is not a number of seconds from 0 to 10; GO guard %.1f s",
                  kGoGuardPreference.data(), text->c_str(), kDefaultGoGuardSeconds);
    SystemLog::shared().log(line);
    return kDefaultGoGuardSeconds;
}

void MediaEngine::setGoGuardSeconds(double seconds) {
    goGuardSeconds_ = std::isfinite(seconds) && seconds > 0.0 ? seconds : 0.0;
}

bool MediaEngine::admitGo(GoSource source) {
    const std::int64_t now = clock_.hostTimeNanoseconds();
    if (goGuardSeconds_ > 0.0 && lastGoHostTime_) {
        const double since = static_cast<double>(now - *lastGoHostTime_) / 1e9;
        if (since < goGuardSeconds_) {
            ++goesIgnored_;
            lastIgnoredGo_ = IgnoredGo{source, since};
            SystemLog::shared().log(lastIgnoredGo_->logLine());
            tell([&](MediaEngineDelegate& d) { d.goIgnored(*lastIgnoredGo_); });
            return false;
        }
    }
    lastGoHostTime_ = now;
    lastIgnoredGo_.reset();
    return true;
}

MediaEngine::GoTarget MediaEngine::cueGoRuns() const {
    GoTarget target;
    target.cue = nextCue();
    if (!target.cue) target.cue = cueAfterCurrent();
    target.endOfShow = !target.cue && stopsAtEnd_ && !stack_.cues().empty();
    if (!target.cue || showsAlignmentGrid() || showsPanic()) return target;
    const std::vector<Cue>& cues = stack_.cues();
    const std::optional<Cue> current = currentCue();
    const std::optional<std::size_t> at = current ? stack_.indexOfCue(current->id) : std::nullopt;
    target.wraps =
        !cues.empty() && at && *at + 1 == cues.size() && target.cue->id == cues.front().id;
    return target;
}

void MediaEngine::go(GoSource source) {
    if (!admitGo(source)) return;
    std::optional<std::int64_t> start;
    if (coordinator_) {
        start = coordinator_->startTimeForGo();
        if (!start) return;
    }
    runGo(start);
}

void MediaEngine::runGo(std::optional<std::int64_t> start) {
    // A GO while the chain waits runs the waiting cue at once.
    const std::optional<CueChain::Countdown> waiting = chain_.countdown();
    chain_.stop();
    const std::optional<Cue> target = cueGoRuns().cue;
    if (target && target->preWait > 0.0 && !(waiting && waiting->cueID == target->id)) {
        chain_.waitBefore(*target, start ? *start : chainTime());
        return;
    }
    const std::optional<Cue> cue = startGo(start);
    if (cue && coordinator_) coordinator_->goStarted(*cue, *start);
}

void MediaEngine::chainedGo(std::int64_t start) {
    const bool onShowClock = showClock() != nullptr;
    const std::optional<Cue> cue =
        onShowClock ? startGo(start) : startGo(std::nullopt, false, start);
    if (cue && coordinator_) coordinator_->goStarted(*cue, start);
}

std::int64_t MediaEngine::chainTime() const {
    const std::int64_t host = clock_.hostTimeNanoseconds();
    const ShowClock* sharedClock = showClock();
    return sharedClock != nullptr ? sharedClock->showTimeAt(host) : host;
}

CueChain::Hooks MediaEngine::chainHooks() {
    CueChain::Hooks hooks;
    hooks.now = [this] { return chainTime(); };
    hooks.lead = [this]() -> std::optional<std::int64_t> {
        // Two refreshes ahead: the GO is in place before the tick that shows
        // the due time, however late the main loop comes round within them.
        const double rate = displayRefreshRate();
        const double hz = rate > 0.0 ? rate : DisplayLink::kDefaultRefreshRate;
        const auto twoRefreshes = static_cast<std::int64_t>(std::llround(2e9 / hz));
        if (!coordinator_) return twoRefreshes;
        const std::optional<std::int64_t> lead = coordinator_->chainedGoLead();
        if (!lead) return std::nullopt;
        return std::max(*lead, twoRefreshes);
    };
    hooks.cueGoRuns = [this] { return cueGoRuns().cue; };
    hooks.go = [this](std::int64_t start) { chainedGo(start); };
    hooks.movieLength = [this] { return stageMovieLength(); };
    hooks.changed = [this] { tell([](MediaEngineDelegate& d) { d.chainChanged(); }); };
    return hooks;
}

std::optional<double> MediaEngine::stageMovieLength() const {
    std::optional<double> longest = 0.0;
    for (const std::shared_ptr<MediaOutput>& output : outputs()) {
        const MediaPlayerRef player = output->runningPlayer();
        if (!player || !player->state() || player->state()->looped) continue;
        const std::optional<MediaPlayer::PlaybackTime> time = player->playbackTime();
        if (!time) continue;  // no movie after all (a file that did not open)
        if (!time->duration) return std::nullopt;
        longest = std::max(*longest, *time->duration);
    }
    return longest;
}

std::optional<Cue> MediaEngine::goAt(std::int64_t startTime) {
    return startGo(showClock() != nullptr ? std::optional(startTime) : std::nullopt);
}

void MediaEngine::setShowClock(const ShowClock* clock) {
    std::lock_guard lock(mutex_);
    state_.showClock = clock;
}

const ShowClock* MediaEngine::showClock() const {
    std::lock_guard lock(mutex_);
    return state_.showClock;
}

std::optional<std::int64_t> MediaEngine::fadeStartTime() const {
    std::lock_guard lock(mutex_);
    return state_.fadeStartShowTime;
}

std::optional<Cue> MediaEngine::startGo(std::optional<std::int64_t> startShowTime, bool panic,
                                        std::optional<std::int64_t> startHostTime) {
    if (!nextCue()) {
        loadCueAfterCurrent();
    }
    const std::optional<Cue> next = nextCue();
    if (!next) {
        return std::nullopt;
    }
    tell([](MediaEngineDelegate& d) { d.cueTransitionBegan(); });
    std::vector<MediaPlayerRef> released;
    std::vector<MediaPlayerRef> started;
    {
        // One step for the render thread: fade, players and cues change
        // together between two ticks. Nothing but swaps under the lock:
        // players start and are let go after it.
        std::lock_guard lock(mutex_);
        state_.pendingGoHostTime = clock_.hostTimeNanoseconds();
        ++state_.transition;
        const double startSeconds = startHostTime
                                        ? static_cast<double>(*startHostTime) /
                                              static_cast<double>(Clock::kHostTicksPerSecond)
                                        : clock_.mediaTimeSeconds();
        state_.fadeEndTime = startSeconds + effectiveFadeLength(next->fadeLength);
        state_.fadeStartShowTime = startShowTime;
        state_.fadeTransitionProgress = 0.0;
        for (const auto& output : state_.outputs) {
            MediaOutput::GoResult result = output->go();
            std::move(result.released.begin(), result.released.end(), std::back_inserter(released));
            if (result.started) {
                started.push_back(std::move(result.started));
            }
        }
        state_.previousCue = state_.currentCue;
        state_.currentCue = next;
        state_.showsAlignmentGrid = false;
        state_.showsPanic = panic;
    }
    for (const MediaPlayerRef& player : started) {
        if (startShowTime) {
            // On the show clock, running time 0 is the shared start, so the
            // movie shows the same picture as on every other machine.
            if (auto* movie = dynamic_cast<VideoPlayer*>(player.get())) {
                movie->setStartBaseTime(
                    static_cast<std::uint64_t>(std::max<std::int64_t>(*startShowTime, 0)));
            }
        }
        player->play();
    }
    // Released now, with no lock held; a movie's player only hands its
    // pipeline to the pipeline's own thread.
    released.clear();
    refitKeptPlayers(*next);
    tell([&](MediaEngineDelegate& d) { d.currentCueChanged(next); });
    setNextCue(std::nullopt);
    prepareCueAfterCurrent();
    if (panic) {
        chain_.stop();
    } else {
        chain_.cueStarted(*next, startShowTime   ? *startShowTime
                                 : startHostTime ? *startHostTime
                                                 : chainTime());
    }
    return next;
}

void MediaEngine::goToCue(double id, GoSource source) {
    if (!admitGo(source)) return;
    std::optional<std::int64_t> start;
    if (coordinator_) {
        start = coordinator_->startTimeForGo();
        if (!start) return;
    }
    const std::optional<Cue> next = nextCue();
    if (!next || next->id != id) {
        if (const auto i = stack_.indexOfCue(id)) {
            const Cue cue = stack_.cues()[*i];
            loadNextCue(cue);
        }
    }
    runGo(start);
}

void MediaEngine::loadNextCue(const Cue& cue) {
    setNextCue(cue);
    const std::optional<Cue> current = currentCue();
    const std::vector<std::shared_ptr<MediaOutput>> outputList = outputs();
    // Movies that a shared GO will start run on the show clock.
    const ShowClock* sharedClock = showClock();
    GstClock* movieClock = sharedClock != nullptr ? sharedClock->gstClock() : nullptr;
    for (std::size_t j = 0; j < cue.outputStates.size() && j < outputList.size(); ++j) {
        MediaOutput& output = *outputList[j];
        const MediaOutputState& state = cue.outputStates[j];
        if (keepsRunningPlayer(current, j, state)) {
            // The output keeps its running player through the next GO.
            output.setNextPlayer(nullptr);
        } else if (!preparedPlayer(cue, j, output, movieClock)) {
            output.setNextPlayer(output.makePlayer(state, movieClock));
        }
    }
    dropPreparation();
}

bool MediaEngine::keepsRunningPlayer(const std::optional<Cue>& current, std::size_t j,
                                     const MediaOutputState& state) {
    return current && j < current->outputStates.size() &&
           current->outputStates[j].mediaURL.absoluteString() == state.mediaURL.absoluteString();
}

void MediaEngine::prepareCueAfterCurrent() {
    dropPreparation();
    preparation_.cue = cueAfterCurrent();
    if (!preparation_.cue) return;
    const ShowClock* sharedClock = showClock();
    preparation_.movieClock = sharedClock != nullptr ? sharedClock->gstClock() : nullptr;
    MainQueue::shared().post(
        [alive = std::weak_ptr<MediaEngine*>(alive_), generation = preparation_.generation] {
            if (auto engine = alive.lock()) (*engine)->prepareNextOutput(generation);
        });
}

void MediaEngine::prepareNextOutput(std::uint64_t generation) {
    // Dropped or replaced since, or a next cue has been loaded (which took
    // what was ready).
    if (generation != preparation_.generation || !preparation_.cue || nextCue()) return;
    const std::size_t j = preparation_.nextOutput++;
    const std::vector<std::shared_ptr<MediaOutput>> outputList = outputs();
    const Cue& cue = *preparation_.cue;
    if (j >= cue.outputStates.size() || j >= outputList.size()) return;
    const std::optional<Cue> current = currentCue();
    const MediaOutputState& state = cue.outputStates[j];
    preparation_.players.resize(j + 1);
    if (!keepsRunningPlayer(current, j, state)) {
        MediaPlayerRef player = outputList[j]->makePlayer(state, preparation_.movieClock);
        preparation_.players[j] = {outputList[j], player};
        outputList[j]->setNextPlayer(std::move(player));
    }
    MainQueue::shared().post([alive = std::weak_ptr<MediaEngine*>(alive_), generation] {
        if (auto engine = alive.lock()) (*engine)->prepareNextOutput(generation);
    });
}

void MediaEngine::dropPreparation() {
    ++preparation_.generation;
    preparation_.cue.reset();
    preparation_.movieClock = nullptr;
    preparation_.nextOutput = 0;
    preparation_.players.clear();
}

MediaPlayerRef MediaEngine::preparedPlayer(const Cue& cue, std::size_t j, const MediaOutput& output,
                                           GstClock* movieClock) const {
    if (!preparation_.cue || preparation_.cue->id != cue.id ||
        preparation_.movieClock != movieClock || j >= preparation_.players.size()) {
        return nullptr;
    }
    const auto& [madeFor, made] = preparation_.players[j];
    MediaPlayerRef player = made.lock();
    if (!player || madeFor.lock().get() != &output || output.nextPlayer() != player ||
        !(player->state() == cue.outputStates[j])) {
        return nullptr;
    }
    return player;
}

std::optional<Cue> MediaEngine::cueAfter(const std::optional<Cue>& cue) const {
    const std::vector<Cue>& cues = stack_.cues();
    if (cue) {
        const std::optional<std::size_t> index = stack_.indexOfCue(cue->id);
        if (index && *index + 1 < cues.size()) return cues[*index + 1];
    }
    // The last cue: the end of the show, or around to the first.
    if (cue && stopsAtEnd_ && stack_.indexOfCue(cue->id)) return std::nullopt;
    // Not in the stack (the alignment grid), or the last cue: wrap around.
    if (!cues.empty()) return cues.front();
    return std::nullopt;
}

std::optional<Cue> MediaEngine::cueAfterCurrent() const {
    // The grid is no stack cue, whatever its ID: the show starts at the top.
    if (showsAlignmentGrid()) return cueAfter(std::nullopt);
    // After a Panic the show goes on where it was.
    if (showsPanic()) return panicResume_ ? panicResume_ : cueAfter(std::nullopt);
    const std::optional<Cue> current = currentCue();
    if (!current) return std::nullopt;
    return cueAfter(current);
}

void MediaEngine::loadCueAfter(const std::optional<Cue>& cue) {
    if (const std::optional<Cue> following = cueAfter(cue)) {
        loadNextCue(*following);
    } else if (nextCue()) {
        // Left over from cues deleted since: nothing can follow now.
        clearNextCue();
    }
}

void MediaEngine::loadCueAfterCurrent() {
    const std::optional<Cue> current = currentCue();
    if (showsPanic()) {
        if (const std::optional<Cue> resume = cueAfterCurrent()) {
            loadNextCue(*resume);
        } else if (nextCue()) {
            clearNextCue();
        }
    } else if (showsAlignmentGrid()) {
        // The grid is no stack cue, whatever its ID: the show starts at the top.
        loadCueAfter(std::nullopt);
    } else if (current) {
        loadCueAfter(current);
    }
}

void MediaEngine::advanceNextCue() {
    if (stack_.cues().empty()) {
        clearNextCue();
        return;
    }
    loadCueAfter(nextCue());
}

void MediaEngine::clearNextCue() {
    dropPreparation();
    setNextCue(std::nullopt);
    for (const std::shared_ptr<MediaOutput>& output : outputs()) {
        output->setNextPlayer(nullptr);
    }
}

void MediaEngine::rebindCueID(double oldID, double newID) {
    if (oldID == newID) {
        return;
    }
    std::optional<Cue> current;
    std::optional<Cue> next;
    {
        std::lock_guard lock(mutex_);
        if (state_.previousCue && state_.previousCue->id == oldID) {
            state_.previousCue->id = newID;
        }
        if (state_.currentCue && !state_.showsAlignmentGrid && !state_.showsPanic &&
            state_.currentCue->id == oldID) {
            state_.currentCue->id = newID;
            current = state_.currentCue;
        }
        if (state_.nextCue && state_.nextCue->id == oldID) {
            state_.nextCue->id = newID;
            next = state_.nextCue;
        }
    }
    if (current) tell([&](MediaEngineDelegate& d) { d.currentCueChanged(current); });
    if (next) tell([&](MediaEngineDelegate& d) { d.nextCueChanged(next); });
}

void MediaEngine::reloadCues() {
    {
        std::lock_guard lock(mutex_);
        // A previous cue deleted meanwhile keeps its copy: while it is set, a
        // crossfade runs, and the ticks end that fade only then.
        if (state_.previousCue) {
            if (std::optional<Cue> cue = stackCue(state_.previousCue->id)) {
                state_.previousCue = std::move(cue);
            }
        }
    }
    const std::optional<Cue> current = currentCue();
    if (!current) {
        loadCueAfterCurrent();
        return;
    }
    const std::vector<std::shared_ptr<MediaOutput>> outputList = outputs();
    if (showsPanic()) {
        // Black stays until a GO; the cue it goes on with is read again.
        if (panicResume_) panicResume_ = stackCue(panicResume_->id);
        reloadNextCueByID();
        return;
    }
    if (showsAlignmentGrid()) {
        // The grid stays until a GO, at the present number of outputs (a
        // stack cue that happens to share its ID does not replace it).
        const Cue grid = alignmentGridCue(outputList.size());
        setCurrentCue(grid, true);
        reconcileRunningPlayers(grid, outputList);
        loadCueAfterCurrent();
        return;
    }
    const std::optional<Cue> cue = stackCue(current->id);
    if (!cue) {
        // The cue on stage was deleted: it plays on as it is, untouched.
        reloadNextCueByID();
        return;
    }
    setCurrentCue(*cue, false);
    reconcileRunningPlayers(*cue, outputList);
    loadCueAfterCurrent();
}

void MediaEngine::reloadNextCueByID() {
    if (const std::optional<Cue> next = nextCue()) {
        if (const std::optional<Cue> cue = stackCue(next->id)) {
            loadNextCue(*cue);
            return;
        }
    }
    if (stack_.cues().empty()) {
        clearNextCue();
    } else {
        loadNextCue(stack_.cues().front());
    }
}

void MediaEngine::refitKeptPlayers(const Cue& started) {
    const std::vector<std::shared_ptr<MediaOutput>> outputList = outputs();
    for (std::size_t j = 0; j < started.outputStates.size() && j < outputList.size(); ++j) {
        const MediaOutputState& state = started.outputStates[j];
        const MediaPlayerRef running = outputList[j]->runningPlayer();
        if (!running || !running->state() || running->fit() == state.fit ||
            running->state()->mediaURL.absoluteString() != state.mediaURL.absoluteString()) {
            continue;
        }
        // Only the fit: the rest of the player's state goes on as it was.
        MediaOutputState refitted = *running->state();
        refitted.fit = state.fit;
        running->adoptState(refitted);
    }
}

void MediaEngine::reconcileRunningPlayers(
    const Cue& cue, const std::vector<std::shared_ptr<MediaOutput>>& outputList) {
    // The new players are made and started while the outputs go on showing
    // the old ones (a movie opens, a still decodes, the display link ticks
    // on); then all of them are swapped in at once, between two ticks.
    std::vector<std::pair<MediaOutput*, MediaPlayerRef>> replacements;
    for (std::size_t j = 0; j < cue.outputStates.size() && j < outputList.size(); ++j) {
        MediaOutput& output = *outputList[j];
        const MediaOutputState& state = cue.outputStates[j];
        // A player already showing this state, or able to take it while it
        // plays (a movie's sound and loop flags), goes on untouched, so an
        // edit elsewhere in the cue does not restart the picture on stage.
        const MediaPlayerRef running = output.runningPlayer();
        if (running && (running->state() == state || running->adoptState(state))) {
            continue;
        }
        MediaPlayerRef player = output.makePlayer(state);
        player->play();
        replacements.emplace_back(&output, std::move(player));
    }
    std::vector<MediaPlayerRef> released;
    if (!replacements.empty()) {
        std::lock_guard lock(mutex_);
        for (auto& [output, player] : replacements) {
            released.push_back(output->replaceRunningPlayer(std::move(player)));
        }
    }
    released.clear();  // with no lock held
}

void MediaEngine::addOutput(std::shared_ptr<MediaOutput> output) {
    output->setBars(pictureBars_);
    {
        std::lock_guard lock(mutex_);
        state_.outputs.push_back(std::move(output));
    }
    status_.setDirty(true);
    stack_.addOutputState();
    reloadCues();
}

void MediaEngine::removeOutput(std::size_t j) {
    std::shared_ptr<MediaOutput> removed;
    {
        std::lock_guard lock(mutex_);
        if (j >= state_.outputs.size()) {
            return;
        }
        removed = state_.outputs[j];
        state_.outputs.erase(state_.outputs.begin() + static_cast<std::ptrdiff_t>(j));
        // Column j leaves the engine's copies too, so that state k still
        // belongs to output k in a copy the stack no longer holds (a cue
        // deleted while on stage).
        for (std::optional<Cue>* cue : {&state_.previousCue, &state_.currentCue, &state_.nextCue}) {
            if (*cue && j < (*cue)->outputStates.size()) {
                (*cue)->outputStates.erase((*cue)->outputStates.begin() +
                                           static_cast<std::ptrdiff_t>(j));
            }
        }
    }
    // Here, not wherever the last reference goes (the render thread's, as
    // like as not): ending a stream waits for its threads.
    removed->stopStreaming();
    status_.setDirty(true);
    stack_.removeOutputState(j);
    reloadCues();
}

void MediaEngine::renameOutput(std::size_t j, const std::string& name) {
    const std::vector<std::shared_ptr<MediaOutput>> outputList = outputs();
    if (j >= outputList.size() || outputList[j]->name() == name) {
        return;
    }
    outputList[j]->setName(name);
    status_.setDirty(true);
}

void MediaEngine::resizeOutput(std::size_t j, double width, double height) {
    const std::vector<std::shared_ptr<MediaOutput>> outputList = outputs();
    if (j >= outputList.size() ||
        (outputList[j]->width() == width && outputList[j]->height() == height)) {
        return;
    }
    outputList[j]->setSize(width, height);
    status_.setDirty(true);
}

void MediaEngine::setOutputScreen(std::size_t j, std::optional<ScreenChoice> screen) {
    const std::vector<std::shared_ptr<MediaOutput>> outputList = outputs();
    if (j >= outputList.size() || outputList[j]->screen() == screen) {
        return;
    }
    outputList[j]->setScreen(std::move(screen));
    status_.setDirty(true);
}

void MediaEngine::setOutputStream(std::size_t j, std::optional<StreamChoice> stream) {
    const std::vector<std::shared_ptr<MediaOutput>> outputList = outputs();
    if (j >= outputList.size() || outputList[j]->stream() == stream) {
        return;
    }
    outputList[j]->setStream(std::move(stream), displayRefreshRate());
    status_.setDirty(true);
}

void MediaEngine::loadOutputs(std::vector<std::shared_ptr<MediaOutput>> outputs) {
    stopDisplayLink();
    std::size_t count = 0;
    std::vector<std::shared_ptr<MediaOutput>> previous;
    for (const std::shared_ptr<MediaOutput>& output : outputs) {
        output->setBars(pictureBars_);
    }
    {
        std::lock_guard lock(mutex_);
        previous = std::exchange(state_.outputs, std::move(outputs));
        count = state_.outputs.size();
    }
    for (const std::shared_ptr<MediaOutput>& output : previous)
        output->stopStreaming();
    status_.setDirty(true);
    dropPreparation();
    chain_.stop();
    setCurrentCue(alignmentGridCue(count), true);
    setNextCue(std::nullopt);
    startDisplayLink();
}

void MediaEngine::resetOutputs() {
    std::vector<std::shared_ptr<MediaOutput>> previous;
    {
        std::lock_guard lock(mutex_);
        previous = std::exchange(state_.outputs, {});
        state_.previousCue.reset();
    }
    for (const std::shared_ptr<MediaOutput>& output : previous)
        output->stopStreaming();
    status_.setDirty(true);
    dropPreparation();
    chain_.stop();
    setCurrentCue(alignmentGridCue(0), true);
    setNextCue(std::nullopt);
}

std::int64_t MediaEngine::framesPerSecond() const {
    const std::array<std::uint64_t, kFrameTimeCount> times = frameTimes();
    const std::uint64_t span = times.back() - times.front();
    if (span == 0) {
        // No frame rendered since the times were filled: no rate to tell.
        return 0;
    }
    const double mean = static_cast<double>(span) / static_cast<double>(kFrameTimeCount - 1);
    return std::llround(1.0 / (mean / static_cast<double>(Clock::kHostTicksPerSecond)));
}

std::uint64_t MediaEngine::framesDropped() const {
    std::lock_guard lock(mutex_);
    return state_.framesDropped;
}

std::optional<double> MediaEngine::lastGoLatency() const {
    std::lock_guard lock(mutex_);
    return state_.lastGoLatency;
}

void MediaEngine::resetFrameStatistics() {
    std::lock_guard lock(mutex_);
    state_.framesDropped = 0;
    state_.pendingGoHostTime.reset();
    state_.lastGoLatency.reset();
}

ShowHealth::Sample MediaEngine::healthSample() const {
    ShowHealth::Sample sample;
    sample.hostTime = clock_.hostTimeNanoseconds();
    sample.displayRate =
        displayLink_ ? displayLink_->refreshRate() : DisplayLink::kDefaultRefreshRate;
    sample.framesPerSecond = framesPerSecond();
    const std::uint64_t newest = frameTimes().back();
    if (newest != 0) sample.lastFrameTime = static_cast<std::int64_t>(newest);
    sample.framesDropped = framesDropped();
    sample.lastGoLatency = lastGoLatency();
    return sample;
}

double MediaEngine::effectiveFadeLength(double fadeLength) {
    // Below zero, not a number or endless, the progress would never pass 1.0
    // and the show would hang mid-fade: such a fade is a cut.
    return fadeLength > 0.0 && std::isfinite(fadeLength) ? fadeLength : 0.0;
}

double MediaEngine::progressAt(double now, double fadeEndTime, double fadeLength) {
    const double length = effectiveFadeLength(fadeLength);
    if (length == 0.0) {
        // A cut completes on the first tick after GO.
        return now > fadeEndTime ? std::numeric_limits<double>::infinity() : 0.0;
    }
    return 1.0 - (fadeEndTime - now) / length;
}

double MediaEngine::progressAtShowTime(std::int64_t now, std::int64_t start, double fadeLength) {
    constexpr double kNanosecondsPerSecond = 1e9;
    const double sinceStart = static_cast<double>(now - start) / kNanosecondsPerSecond;
    return std::max(progressAt(sinceStart, effectiveFadeLength(fadeLength), fadeLength), 0.0);
}

void MediaEngine::completeTransition(std::vector<MediaPlayerRef>& released) {
    state_.previousCue.reset();
    state_.fadeTransitionProgress.reset();
    for (const auto& output : state_.outputs) {
        std::vector<MediaPlayerRef> dropped = output->completeTransition();
        released.insert(released.end(), dropped.begin(), dropped.end());
    }
}

void MediaEngine::renderFrame(const DisplayTimeStamp& timeStamp) {
    std::vector<MediaPlayerRef> released;
    std::vector<std::pair<std::shared_ptr<MediaOutput>, MediaOutput::RenderPlan>> plans;
    std::optional<double> progress;
    bool completed = false;
    std::uint64_t transition = 0;
    std::optional<std::int64_t> goHostTime;  // a GO this tick renders first
    {
        std::lock_guard lock(mutex_);
        goHostTime = std::exchange(state_.pendingGoHostTime, std::nullopt);
        if (state_.currentCue && state_.previousCue) {
            // A shared crossfade goes by the show clock at the moment this
            // frame is shown, so that every machine shows the same progress
            // on the same refresh.
            const double p =
                state_.showClock != nullptr && state_.fadeStartShowTime
                    ? progressAtShowTime(state_.showClock->showTimeAt(
                                             static_cast<std::int64_t>(timeStamp.hostTime)),
                                         *state_.fadeStartShowTime, state_.currentCue->fadeLength)
                    // A chained GO's crossfade may start a little after
                    // its GO: until then it stands at 0.
                    : std::max(progressAt(clock_.mediaTimeSeconds(), state_.fadeEndTime,
                                          state_.currentCue->fadeLength),
                               0.0);
            state_.fadeTransitionProgress = p;
            if (p > 1.0) {
                completeTransition(released);
                completed = true;
                transition = state_.transition;
            }
        }
        progress = state_.fadeTransitionProgress;
        plans.reserve(state_.outputs.size());
        for (const auto& output : state_.outputs) {
            plans.emplace_back(output, output->planRender());
        }
    }
    for (auto& [output, plan] : plans) {
        output->render(plan, timeStamp, progress);
    }
    const std::int64_t tickEnd = clock_.hostTimeNanoseconds();
    {
        std::lock_guard lock(mutex_);
        state_.frameTimes[state_.oldestFrameTime] = timeStamp.hostTime;
        state_.oldestFrameTime = (state_.oldestFrameTime + 1) % kFrameTimeCount;
        // A slot number that does not grow is a restarted link, not a drop.
        if (state_.lastFrameNumber && timeStamp.frameNumber > *state_.lastFrameNumber + 1) {
            state_.framesDropped += timeStamp.frameNumber - *state_.lastFrameNumber - 1;
        }
        state_.lastFrameNumber = timeStamp.frameNumber;
        if (goHostTime) {
            state_.lastGoLatency = static_cast<double>(tickEnd - *goHostTime) /
                                   static_cast<double>(Clock::kHostTicksPerSecond);
        }
    }
    if (completed) {
        MainQueue::shared().post([alive = std::weak_ptr<MediaEngine*>(alive_), transition] {
            if (auto engine = alive.lock()) {
                // A GO on the main thread since then started another fade:
                // this end is no longer news, and the cue to load follows
                // when that fade ends.
                {
                    std::lock_guard lock((*engine)->mutex_);
                    if ((*engine)->state_.transition != transition) return;
                }
                (*engine)->tell([](MediaEngineDelegate& d) { d.cueTransitionComplete(); });
                (*engine)->loadCueAfterCurrent();
            }
        });
    }
    // Players that stop here (a movie) may take a moment to do so: whatever
    // this tick holds last goes to the main thread to be released.
    for (auto& [output, plan] : plans) {
        for (MediaPlayerRef& player : plan.players) {
            if (player.use_count() == 1) {
                released.push_back(std::move(player));
            }
        }
        if (plan.nextPlayer.use_count() == 1) {
            released.push_back(std::move(plan.nextPlayer));
        }
    }
    plans.clear();
    releaseOnMainQueue(std::move(released));
    if (tickObserver_) {
        tickObserver_(timeStamp, progress);
    }
}

void MediaEngine::setTickObserver(TickObserver observer) {
    tickObserver_ = std::move(observer);
}

void MediaEngine::releaseOnMainQueue(std::vector<MediaPlayerRef> players) {
    if (!players.empty()) {
        MainQueue::shared().post([players = std::move(players)]() mutable { players.clear(); });
    }
}

void MediaEngine::stopDisplayLink() {
    if (displayLink_) {
        displayLink_->stop();
    }
}

void MediaEngine::startDisplayLink() {
    if (displayLink_) {
        displayLink_->start();
    }
}

}  // namespace bw
