#include "engine/ShowFeedback.h"

#include <algorithm>
#include <cmath>

#include "engine/MediaEngine.h"
#include "engine/MediaOutput.h"
#include "platform/MainQueue.h"
#include "remote/NetworkManager.h"
#include "show/ShowStatus.h"

namespace bw {
namespace {

// How much a change weighs when several come in one piece of work: the
// report names the weightiest.
int weight(ShowState::Change change) {
    using Change = ShowState::Change;
    switch (change) {
        case Change::Panic:
            return 10;
        case Change::Go:
            return 9;
        case Change::FadeEnd:
            return 8;
        case Change::Load:
            return 7;
        case Change::Lock:
            return 6;
        case Change::GoIgnored:
            return 5;
        case Change::Edit:
            return 4;
        case Change::NextCue:
            return 3;
        case Change::Clock:
            return 2;
        case Change::Health:
            return 1;
        case Change::Tick:
            return 0;
    }
    return 0;
}

std::vector<std::string> warningLines(const std::vector<ShowHealth::Warning>& warnings) {
    std::vector<std::string> lines;
    for (const ShowHealth::Warning& warning : warnings)
        lines.push_back(std::string(ShowHealth::kindName(warning.kind)) + ": " + warning.text);
    return lines;
}

}  // namespace

// The engine's notices, turned into reports.
class ShowFeedback::EngineNotices final : public MediaEngineDelegate {
public:
    explicit EngineNotices(ShowFeedback& feedback) : feedback_(feedback) {}
    void cueTransitionBegan() override { feedback_.report(ShowState::Change::Go); }
    void cueTransitionComplete() override { feedback_.report(ShowState::Change::FadeEnd); }
    void currentCueChanged(const std::optional<Cue>&) override {
        feedback_.report(ShowState::Change::NextCue);
    }
    void nextCueChanged(const std::optional<Cue>&) override {
        feedback_.report(ShowState::Change::NextCue);
    }
    void goIgnored(const IgnoredGo& go) override {
        feedback_.report(ShowState::Change::GoIgnored, go.logLine());
    }
    void chainChanged() override { feedback_.report(ShowState::Change::NextCue); }

private:
    ShowFeedback& feedback_;
};

ShowFeedback::ShowFeedback(MediaEngine& engine, NotificationCenter& center, MainQueue& queue)
    : engine_(engine),
      center_(center),
      queue_(queue),
      notices_(std::make_unique<EngineNotices>(*this)) {
    engine_.addObserver(notices_.get());
    stackToken_ = engine_.stack().addObserver([this] { report(ShowState::Change::Edit); });
    observers_.push_back(
        center_.addObserver(std::string(kShowDidLoadNotification),
                            [this](const Notification&) { report(ShowState::Change::Load); }));
    observers_.push_back(
        center_.addObserver(std::string(kShowLockChangedNotification),
                            [this](const Notification&) { report(ShowState::Change::Lock); }));
}

ShowFeedback::~ShowFeedback() {
    if (network_ != nullptr) {
        removeListener(&network_->feedback());
        network_->setStateSource(nullptr);
    }
    engine_.removeObserver(notices_.get());
    engine_.stack().removeObserver(stackToken_);
    for (NotificationCenter::Token token : observers_)
        center_.removeObserver(token);
}

void ShowFeedback::setClockStatusSource(ClockStatusSource source) {
    clockStatus_ = std::move(source);
    lastClock_ = clockStatus_ ? clockStatus_() : std::nullopt;
}

void ShowFeedback::healthChecked(const std::vector<ShowHealth::Warning>& warnings) {
    std::vector<std::string> lines = warningLines(warnings);
    if (lines != warnings_) {
        warnings_ = std::move(lines);
        report(ShowState::Change::Health);
    }
    const std::optional<ShowHealth::ClockStatus> clock =
        clockStatus_ ? clockStatus_() : std::nullopt;
    const bool clockChanged =
        clock.has_value() != lastClock_.has_value() ||
        (clock && (clock->text != lastClock_->text || clock->lost != lastClock_->lost));
    if (clockChanged) {
        lastClock_ = clock;
        report(ShowState::Change::Clock);
    }
}

void ShowFeedback::attach(NetworkManager& network) {
    if (network_ != nullptr) {
        removeListener(&network_->feedback());
        network_->setStateSource(nullptr);
    }
    network_ = &network;
    network.setStateSource(this);
    addListener(&network.feedback());
}

void ShowFeedback::addListener(ShowStateListener* listener) {
    if (listener != nullptr &&
        std::find(listeners_.begin(), listeners_.end(), listener) == listeners_.end()) {
        listeners_.push_back(listener);
    }
}

void ShowFeedback::removeListener(ShowStateListener* listener) {
    std::erase(listeners_, listener);
}

void ShowFeedback::report(ShowState::Change change, std::string detail) {
    if (!detail.empty()) pendingDetail_ = std::move(detail);
    if (pending_) {
        if (weight(change) > weight(*pending_)) pending_ = change;
        return;
    }
    pending_ = change;
    queue_.post([this, alive = std::weak_ptr<bool>(alive_)] {
        if (!alive.expired()) flush();
    });
}

void ShowFeedback::flush() {
    if (!pending_) return;
    ShowState::Change change = *pending_;
    pending_.reset();
    ShowState state = showState();
    // A Panic reaches the engine's notices as a GO to the panic cue.
    if (change == ShowState::Change::Go && engine_.showsPanic()) change = ShowState::Change::Panic;
    state.detail = std::move(pendingDetail_);
    pendingDetail_.clear();
    tell(state, change);
    updateTicking(state);
}

void ShowFeedback::tell(const ShowState& state, ShowState::Change change) {
    const std::vector<ShowStateListener*> listeners = listeners_;
    for (ShowStateListener* listener : listeners) {
        if (std::find(listeners_.begin(), listeners_.end(), listener) != listeners_.end())
            listener->showStateChanged(state, change);
    }
}

void ShowFeedback::updateTicking(const ShowState& state) {
    const bool moving = state.fadeProgress >= 0.0 ||
                        (state.movieElapsed >= 0.0 && state.movieRemaining != 0.0) ||
                        engine_.chain().countdown().has_value();
    if (moving && !tick_) {
        tick_.reset(g_timeout_source_new(static_cast<guint>(kTickInterval.count())));
        g_source_set_callback(tick_.get(), &ShowFeedback::onTick, this, nullptr);
        g_source_attach(tick_.get(), queue_.context());
    } else if (!moving && tick_) {
        tick_.reset();
    }
}

gboolean ShowFeedback::onTick(gpointer self) {
    auto* feedback = static_cast<ShowFeedback*>(self);
    const ShowState state = feedback->showState();
    feedback->tell(state, ShowState::Change::Tick);
    // The source stays attached while it is kept; updateTicking() drops it
    // (safely, inside its own dispatch) when nothing moves any more.
    feedback->updateTicking(state);
    return G_SOURCE_CONTINUE;
}

ShowState ShowFeedback::showState() const {
    ShowState state;
    if (engine_.showsPanic()) {
        state.current = {"", "Panic"};
    } else if (engine_.showsAlignmentGrid()) {
        state.current = {"", "Alignment grid"};
    } else {
        state.current = ShowState::lineFor(engine_.currentCue());
    }
    const MediaEngine::GoTarget target = engine_.cueGoRuns();
    if (!target.endOfShow) {
        state.next = ShowState::lineFor(target.cue);
        state.nextWraps = target.wraps;
    }

    const MediaEngine::StageTiming timing = engine_.stageTiming();
    if (timing.fade) {
        state.fadeProgress = std::clamp(timing.fade->progress, 0.0, 1.0);
        state.fadeElapsed = timing.fade->elapsed;
        state.fadeRemaining = timing.fade->remaining;
    }
    if (timing.movie) {
        const MediaPlayer::PlaybackTime& movie = *timing.movie;
        // An ended movie stands at its end, whether its length was known or not.
        state.movieElapsed = movie.ended && movie.duration ? *movie.duration : movie.position;
        if (movie.ended) {
            state.movieRemaining = 0.0;
        } else if (movie.duration) {
            state.movieRemaining = std::max(0.0, *movie.duration - movie.position);
        }
        state.movieLoops = movie.looped;
    }

    if (const std::optional<double> left = engine_.chain().secondsLeft()) state.autoIn = *left;

    state.locked = engine_.status().isLocked();
    if (engine_.showsPanic()) {
        state.mode = ShowState::Mode::Panic;
    } else if (timing.fade) {
        state.mode = ShowState::Mode::Fading;
    } else if (target.endOfShow) {
        state.mode = ShowState::Mode::Ended;
    } else if (state.locked) {
        state.mode = ShowState::Mode::Locked;
    }

    state.framesDropped = engine_.framesDropped();
    state.framesPerSecond = static_cast<double>(engine_.framesPerSecond());
    if (lastClock_) {
        state.clock = lastClock_->text;
        state.clockLost = lastClock_->lost;
    }
    state.warnings = warnings_;
    return state;
}

std::vector<Cue> ShowFeedback::showCues() const {
    return engine_.stack().cues();
}

std::vector<OutputSummary> ShowFeedback::showOutputs() const {
    std::vector<OutputSummary> outputs;
    for (const std::shared_ptr<MediaOutput>& output : engine_.outputs()) {
        const PixelSize size = output->pixelSize();
        outputs.push_back({output->name(), size.width, size.height});
    }
    return outputs;
}

}  // namespace bw
