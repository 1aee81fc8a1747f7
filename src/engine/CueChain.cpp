#include "engine/CueChain.h"

#include <cmath>
#include <utility>

namespace bw {

namespace {

constexpr double kNanosecondsPerSecond = 1e9;

std::int64_t nanoseconds(double seconds) {
    return std::isfinite(seconds) && seconds > 0.0
               ? static_cast<std::int64_t>(std::llround(seconds * kNanosecondsPerSecond))
               : 0;
}

// A movie whose length is still not known this long after its cue started
// (a file that never opens as a movie) no longer holds the chain: the cue
// goes on as an auto-continue cue.
constexpr std::int64_t kMovieLengthPatienceNanoseconds = 10'000'000'000;

}  // namespace

CueChain::CueChain(Hooks hooks) : hooks_(std::move(hooks)) {}

CueChain::~CueChain() = default;

void CueChain::waitBefore(const Cue& cue, std::int64_t start) {
    timer_.reset();
    setCountdown(Countdown{Wait::PreWait, cue.id, start + nanoseconds(cue.preWait)});
    poll();
}

void CueChain::cueStarted(const Cue& cue, std::int64_t start) {
    timer_.reset();
    countdown_.reset();
    // Told once, below, whatever follows.
    struct Tell {
        CueChain& chain;
        ~Tell() {
            if (chain.hooks_.changed) chain.hooks_.changed();
        }
    } tell{*this};
    // A cut's fade ends at once (the engine takes a fade it cannot run as
    // a cut, and so does this).
    const std::int64_t fadeEnd = start + nanoseconds(cue.fadeLength);
    fallbackBase_ = fadeEnd + nanoseconds(cue.postWait);
    switch (cue.continueMode) {
        case CueContinue::None:
            return;
        case CueContinue::AutoContinue:
            schedule(Wait::PostWait, fallbackBase_);
            return;
        case CueContinue::AutoFollow: {
            bool hasMovie = false;
            for (const MediaOutputState& state : cue.outputStates) {
                // Only a movie can be unlooped: images and generators always
                // carry the flag.
                hasMovie = hasMovie || (!state.looped && state.mediaURL.isFileURL());
            }
            if (!hasMovie) {
                schedule(Wait::PostWait, fallbackBase_);
                return;
            }
            const std::optional<Cue> target = hooks_.cueGoRuns();
            if (!target) return;
            fadeStart_ = start;
            countdown_ = Countdown{Wait::MovieEnd, target->id, std::nullopt};
            poll();
            return;
        }
    }
}

void CueChain::schedule(Wait wait, std::int64_t base) {
    const std::optional<Cue> target = hooks_.cueGoRuns();
    // The end of a show that stops after its last cue: nothing follows.
    if (!target) return;
    countdown_ = Countdown{wait, target->id, base + nanoseconds(target->preWait), base};
    poll();
}

bool CueChain::stop() {
    timer_.reset();
    if (!countdown_) return false;
    setCountdown(std::nullopt);
    return true;
}

void CueChain::nextCueChanged(const Cue& cue) {
    if (!countdown_ || countdown_->cueID == cue.id) return;
    if (countdown_->wait == Wait::PreWait) {
        stop();
        return;
    }
    Countdown retargeted = *countdown_;
    retargeted.cueID = cue.id;
    // A movie end not known yet takes the cue's pre-wait when it is.
    if (retargeted.due) retargeted.due = retargeted.base + nanoseconds(cue.preWait);
    setCountdown(retargeted);
    poll();
}

void CueChain::setCountdown(std::optional<Countdown> countdown) {
    countdown_ = std::move(countdown);
    if (hooks_.changed) hooks_.changed();
}

std::optional<double> CueChain::secondsLeft() const {
    if (!countdown_ || !countdown_->due) return std::nullopt;
    const std::int64_t left = *countdown_->due - hooks_.now();
    return left > 0 ? static_cast<double>(left) / kNanosecondsPerSecond : 0.0;
}

void CueChain::poll() {
    timer_.reset();
    if (!countdown_) return;
    const std::int64_t now = hooks_.now();
    if (!countdown_->due) {
        const std::optional<double> length = hooks_.movieLength();
        if (!length && now - fadeStart_ < kMovieLengthPatienceNanoseconds) {
            arm(kMovieLengthPollNanoseconds);
            return;
        }
        const std::int64_t base =
            length && *length > 0.0 ? fadeStart_ + nanoseconds(*length) : fallbackBase_;
        const std::optional<Cue> target = hooks_.cueGoRuns();
        if (!target) {
            setCountdown(std::nullopt);
            return;
        }
        setCountdown(
            Countdown{Wait::MovieEnd, target->id, base + nanoseconds(target->preWait), base});
    }
    const std::optional<std::int64_t> lead = hooks_.lead();
    // A follower shows the countdown and waits for the leader's GO.
    if (!lead) return;
    const std::int64_t due = *countdown_->due;
    if (now >= due - *lead) {
        countdown_.reset();
        hooks_.go(due);
        return;
    }
    arm(due - *lead - now);
}

void CueChain::arm(std::int64_t wakeIn) {
    // Rounded up to whole milliseconds: waking early would only set the
    // timer again.
    const auto milliseconds = static_cast<guint>((wakeIn + 999'999) / 1'000'000);
    timer_.reset(g_timeout_source_new(milliseconds));
    g_source_set_callback(
        timer_.get(),
        [](gpointer self) -> gboolean {
            static_cast<CueChain*>(self)->poll();
            return G_SOURCE_REMOVE;
        },
        this, nullptr);
    g_source_attach(timer_.get(), nullptr);
}

}  // namespace bw
