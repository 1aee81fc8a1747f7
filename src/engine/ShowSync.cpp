#include "engine/ShowSync.h"

#include <glib.h>
#include <unistd.h>

#include <charconv>
#include <cmath>

#include "engine/MediaEngine.h"
#include "platform/Clock.h"
#include "platform/Preferences.h"
#include "platform/SystemLog.h"
#include "render/DisplayLink.h"
#include "show/CueStack.h"

namespace bw {

namespace {

// A follower reports its offset this often while locked.
constexpr guint kReportSeconds = 10;

std::string cueText(double id) {
    return SyncMessage::cueIDText(id);
}

template <typename T>
std::optional<T> wholeNumber(std::string_view text, T low, T high) {
    T value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < low ||
        value > high) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

std::optional<SharedClock::Options> ShowSync::parseProvide(std::string_view port) {
    // The sync port, one above, must be a port too.
    const auto number = wholeNumber<unsigned>(port, 1, 65534);
    if (!number) return std::nullopt;
    SharedClock::Options options;
    options.source = SharedClock::Source::Provide;
    options.port = static_cast<std::uint16_t>(*number);
    return options;
}

std::optional<SharedClock::Options> ShowSync::parseFollow(std::string_view hostAndPort) {
    const auto colon = hostAndPort.rfind(':');
    if (colon == std::string_view::npos) return std::nullopt;
    std::string_view host = hostAndPort.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    } else if (host.find(':') != std::string_view::npos) {
        return std::nullopt;  // an IPv6 address needs its brackets
    }
    const auto port = wholeNumber<unsigned>(hostAndPort.substr(colon + 1), 1, 65534);
    if (host.empty() || !port) return std::nullopt;
    SharedClock::Options options;
    options.source = SharedClock::Source::Follow;
    options.host = std::string(host);
    options.port = static_cast<std::uint16_t>(*port);
    return options;
}

std::optional<unsigned> ShowSync::parsePtpDomain(std::string_view domain) {
    return wholeNumber<unsigned>(domain, 0, 255);
}

std::optional<SharedClock::Options> ShowSync::fromPreferences(const Preferences& preferences,
                                                              std::string* problem) {
    const auto skip = [problem](const std::string& why) {
        if (problem) *problem = why;
        return std::nullopt;
    };
    if (const auto follow = preferences.stringValue(kFollowPreference); follow && !follow->empty()) {
        std::optional<SharedClock::Options> options = parseFollow(*follow);
        if (!options) return skip(std::string(kFollowPreference) + " is not HOST:PORT");
        if (const auto ptp = preferences.stringValue(kPtpDomainPreference); ptp && !ptp->empty()) {
            const auto domain = parsePtpDomain(*ptp);
            if (!domain) return skip(std::string(kPtpDomainPreference) + " is not 0 to 255");
            options->source = SharedClock::Source::FollowPtp;
            options->ptpDomain = *domain;
        }
        return options;
    }
    if (const auto provide = preferences.stringValue(kProvidePreference);
        provide && !provide->empty()) {
        std::optional<SharedClock::Options> options = parseProvide(*provide);
        if (!options) return skip(std::string(kProvidePreference) + " is not a port from 1 to 65534");
        return options;
    }
    return std::nullopt;
}

std::unique_ptr<ShowSync> ShowSync::create(MediaEngine& engine, const SharedClock::Options& clock,
                                           EventSink events, std::string* error) {
    std::unique_ptr<ShowSync> sync(new ShowSync(engine, std::move(events)));
    if (!sync->setUp(clock, error)) return nullptr;
    return sync;
}

ShowSync::ShowSync(MediaEngine& engine, EventSink events)
    : engine_(engine), events_(std::move(events)) {}

ShowSync::~ShowSync() {
    engine_.setGoCoordinator(nullptr);
    engine_.setShowClock(nullptr);
}

bool ShowSync::setUp(const SharedClock::Options& options, std::string* error) {
    clock_ = SharedClock::create(options, error);
    if (!clock_) return false;
    clock_->setStateCallback([this](SharedClock::State state) { clockStateChanged(state); });
    if (options.source == SharedClock::Source::Provide) {
        leader_ = std::make_unique<SyncLeader>(
            syncPortFor(options.port), [this] { return showState(); },
            [this](const std::string& line) { event(line); }, systemClock());
        if (!leader_->start(error)) return false;
        event("clock providing " + std::to_string(options.port));
    } else {
        char host[256] = {};
        gethostname(host, sizeof host - 1);
        const std::string name = std::string(host) + " pid " + std::to_string(getpid());
        follower_ = std::make_unique<SyncFollower>(options.host, syncPortFor(options.port), name,
                                                   *this, systemClock());
        if (!follower_->start(error)) return false;
        event("clock waiting for " + options.host + ":" + std::to_string(options.port));
        report_.reset(g_timeout_source_new_seconds(kReportSeconds));
        g_source_set_callback(
            report_.get(),
            [](gpointer self) -> gboolean {
                auto* sync = static_cast<ShowSync*>(self);
                if (sync->clock_->state() == SharedClock::State::Locked) {
                    sync->event(sync->followingText());
                }
                return G_SOURCE_CONTINUE;
            },
            this, nullptr);
        g_source_attach(report_.get(), nullptr);
    }
    // A follower's show clock means nothing before it has locked (and a
    // GStreamer clock never runs back, so it must not be read before then).
    if (leader_) engine_.setShowClock(clock_.get());
    engine_.setGoCoordinator(this);
    return true;
}

std::string ShowSync::followingText() const {
    return "clock following " + clock_->options().host + " offset " +
           std::to_string(clock_->offsetNanoseconds() / 1000) + " us";
}

std::string ShowSync::statusText() const {
    switch (clock_->state()) {
        case SharedClock::State::Providing: {
            const std::size_t count = leader_ ? leader_->followers().size() : 0;
            return "clock providing " + std::to_string(clock_->options().port) + ", " +
                   std::to_string(count) + (count == 1 ? " follower" : " followers");
        }
        case SharedClock::State::Stopped:
            return "clock not provided";
        case SharedClock::State::Waiting:
            return "clock waiting for " + clock_->options().host;
        case SharedClock::State::Locked:
            return followingText();
        case SharedClock::State::Lost:
            return "clock lost, playing on its own";
    }
    return {};
}

ShowHealth::ClockStatus ShowSync::clockStatus() const {
    return {statusText(), !leader_ && clock_->state() == SharedClock::State::Lost};
}

std::int64_t ShowSync::startDelay() const {
    const double rate = engine_.displayRefreshRate();
    const double hz = rate > 0.0 ? rate : DisplayLink::kDefaultRefreshRate;
    const auto refreshInterval = static_cast<std::int64_t>(std::llround(1e9 / hz));
    const std::int64_t roundTrip = leader_ ? leader_->largestRoundTrip().value_or(0) : 0;
    return roundTrip + 2 * refreshInterval;
}

void ShowSync::stopProviding() {
    if (leader_) clock_->stopProviding();
}

void ShowSync::startProviding() {
    std::string error;
    if (leader_ && !clock_->startProviding(&error)) event("clock " + error);
}

std::optional<std::int64_t> ShowSync::startTimeForGo() {
    if (!leader_) {
        event("GO ignored: this Beamwright follows " + clock_->options().host);
        return std::nullopt;
    }
    return clock_->showTimeAt(systemClock().hostTimeNanoseconds()) + startDelay();
}

std::optional<std::int64_t> ShowSync::chainedGoLead() {
    if (!leader_) return std::nullopt;
    // A chained GO is known ahead: sent a little earlier than the start
    // delay asks, it still reaches a follower whose network or main loop is
    // slow for a moment, and the fade starts there on time too.
    return startDelay() + kChainedGoMarginNanoseconds;
}

void ShowSync::goStarted(const Cue& cue, std::int64_t startTime) {
    lastStarted_ = std::pair(cue.id, startTime);
    if (leader_) leader_->sendGo(cue.id, startTime);
}

void ShowSync::panicked() {
    if (!leader_) return;
    const std::int64_t now = clock_->showTimeAt(systemClock().hostTimeNanoseconds());
    lastStarted_ = std::pair(MediaEngine::kPanicCueID, now);
    leader_->sendGo(MediaEngine::kPanicCueID, now);
}

void ShowSync::syncGo(const SyncMessage::Go& go) {
    follow(go.cueID, go.startTime, false);
}

void ShowSync::syncState(const SyncMessage::State& state, bool fresh) {
    if (fresh && state.currentCue && state.currentStartTime &&
        lastStarted_ != std::pair(*state.currentCue, *state.currentStartTime)) {
        follow(*state.currentCue, *state.currentStartTime, true);
        return;
    }
    // The leader's next cue, prepared here too, so that its movies preroll.
    if (state.nextCue && engine_.previousCue() == std::nullopt) {
        const std::optional<Cue> next = engine_.nextCue();
        const auto index = engine_.stack().indexOfCue(*state.nextCue);
        if (index && (!next || next->id != *state.nextCue)) {
            engine_.loadNextCue(engine_.stack().cues()[*index]);
        }
    }
}

void ShowSync::follow(double cueID, std::int64_t startTime, bool catchUp) {
    if (cueID == MediaEngine::kPanicCueID) {
        // At once; a state naming a Panic already on stage here is no news,
        // and a second Panic of the leader's cuts to black here too.
        lastStarted_ = std::pair(cueID, startTime);
        if (catchUp && engine_.showsPanic()) return;
        engine_.panic();
        event(catchUp ? "caught up with the leader's Panic" : "Panic from the leader");
        return;
    }
    const auto index = engine_.stack().indexOfCue(cueID);
    if (!index) {
        event("cue " + cueText(cueID) + " is not in this show: holding the picture");
        lastStarted_ = std::pair(cueID, startTime);
        return;
    }
    if (!everLocked_) {
        // Show times mean nothing here before the clock has locked once; the
        // engine has no show clock yet and goes at once.
        event("clock not locked yet: cue " + cueText(cueID) + " starts now");
    }
    const std::optional<Cue> next = engine_.nextCue();
    if (!next || next->id != cueID) engine_.loadNextCue(engine_.stack().cues()[*index]);
    engine_.goAt(startTime);
    lastStarted_ = std::pair(cueID, startTime);
    if (catchUp) event("caught up with cue " + cueText(cueID) + " (a GO was missed)");
}

SyncMessage::State ShowSync::showState() const {
    SyncMessage::State state;
    if (engine_.showsPanic()) {
        // The Panic's own moment, as its GO told the followers.
        if (lastStarted_ && lastStarted_->first == MediaEngine::kPanicCueID) {
            state.currentCue = MediaEngine::kPanicCueID;
            state.currentStartTime = lastStarted_->second;
        }
    } else if (!engine_.showsAlignmentGrid()) {
        if (const std::optional<Cue> current = engine_.currentCue()) {
            state.currentCue = current->id;
            state.currentStartTime = engine_.fadeStartTime();
        }
    }
    if (const std::optional<Cue> next = engine_.nextCue()) state.nextCue = next->id;
    return state;
}

void ShowSync::clockStateChanged(SharedClock::State state) {
    switch (state) {
        case SharedClock::State::Providing:
            event("clock providing " + std::to_string(clock_->options().port));
            break;
        case SharedClock::State::Stopped:
            event("clock not provided");
            break;
        case SharedClock::State::Waiting:
            break;
        case SharedClock::State::Locked:
            if (!everLocked_) engine_.setShowClock(clock_.get());
            everLocked_ = true;
            event("clock locked");
            event(followingText());
            break;
        case SharedClock::State::Lost:
            event("clock lost");
            break;
    }
}

void ShowSync::event(const std::string& line) {
    SystemLog::shared().log("sync: " + line);
    if (events_) events_(line);
}

}  // namespace bw
