#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "engine/GoCoordinator.h"
#include "media/SharedClock.h"
#include "remote/SyncFollower.h"
#include "remote/SyncLeader.h"
#include "show/ShowHealth.h"

namespace bw {

class MediaEngine;
class Preferences;

// One show played by several machines (docs/sync.md). The leader provides
// the show clock on the network and tells its followers of every GO: each
// crossfade starts a little ahead, at the same show-clock moment on every
// machine, and its movies take that moment as their base time. Followers
// follow the leader's clock, start the leader's crossfades at the leader's
// moments, catch up from the leader's once-a-second state when a GO was
// lost, and refuse GO of their own (keys, OSC, CREP), so the show has one
// place of command. The leader's Panic reaches every follower at once (not
// at a show-clock moment: Panic does not wait); a follower may still panic
// on its own, and stays black until the leader's next GO.
//
// While it lives it is the engine's show clock and go coordinator.
//
// Main thread only.
class ShowSync final : public GoCoordinator, public SyncFollowerDelegate {
public:
    // Lines for the operator: the clock's state ("clock providing 9000",
    // "clock locked", "clock following HOST offset N us", "clock lost"),
    // followers joining and leaving, GOs refused, cues caught up or missing.
    using EventSink = std::function<void(const std::string&)>;

    // The clock and the sync port: the leader's sync port is its clock port
    // + 1. Null, with the reason in `error`, when either cannot be set up.
    static std::unique_ptr<ShowSync> create(MediaEngine& engine, const SharedClock::Options& clock,
                                            EventSink events, std::string* error);
    ~ShowSync() override;
    ShowSync(const ShowSync&) = delete;
    ShowSync& operator=(const ShowSync&) = delete;

    bool isLeader() const { return leader_ != nullptr; }
    SharedClock& clock() const { return *clock_; }
    const SyncLeader* leader() const { return leader_.get(); }
    // The clock's state in a few words, for a status line ("clock providing
    // 9000, 2 followers", "clock following 10.0.0.1 offset 12 us", "clock
    // lost").
    std::string statusText() const;
    // The same, for ShowHealth: lost when a follower's clock is Lost (it
    // had the leader's clock and has had no answer since).
    ShowHealth::ClockStatus clockStatus() const;
    // The show-clock delay a GO of the leader starts after: the longest
    // round trip a follower reported plus two refresh intervals.
    std::int64_t startDelay() const;

    // Leader: withdraws the clock from the network, and offers it again (a
    // restart of the provider).
    void stopProviding();
    void startProviding();

    // GoCoordinator
    std::optional<std::int64_t> startTimeForGo() override;
    void goStarted(const Cue& cue, std::int64_t startTime) override;
    // Leader: the start delay and kChainedGoMarginNanoseconds; a follower
    // makes no chained GO of its own.
    std::optional<std::int64_t> chainedGoLead() override;
    static constexpr std::int64_t kChainedGoMarginNanoseconds = 150'000'000;
    // Leader: the followers panic too (a GO of the panic cue's ID, which
    // each takes as a Panic of its own, at once).
    void panicked() override;
    // SyncFollowerDelegate
    void syncGo(const SyncMessage::Go& go) override;
    void syncState(const SyncMessage::State& state, bool fresh) override;

    // The settings, from the command line or the preferences (keys
    // kProvidePreference, kFollowPreference, kPtpDomainPreference):
    //   provide PORT         lead: the clock on UDP PORT, sync on PORT + 1
    //   follow HOST:PORT     follow that leader ([V6ADDRESS]:PORT for IPv6)
    //   PTP domain N         with follow: the time from PTP domain N instead
    // Each returns none for text that is not such a value.
    static constexpr std::string_view kProvidePreference = "ClockProvide";
    static constexpr std::string_view kFollowPreference = "ClockFollow";
    static constexpr std::string_view kPtpDomainPreference = "ClockPTPDomain";
    static std::optional<SharedClock::Options> parseProvide(std::string_view port);
    static std::optional<SharedClock::Options> parseFollow(std::string_view hostAndPort);
    static std::optional<unsigned> parsePtpDomain(std::string_view domain);
    // The preferences' setting; none when they set none. A value that does not
    // parse is skipped with the reason in `problem`.
    static std::optional<SharedClock::Options> fromPreferences(const Preferences& preferences,
                                                               std::string* problem);

    // The leader's sync port for its clock port.
    static std::uint16_t syncPortFor(std::uint16_t clockPort) {
        return static_cast<std::uint16_t>(clockPort + 1);
    }

private:
    ShowSync(MediaEngine& engine, EventSink events);
    bool setUp(const SharedClock::Options& options, std::string* error);
    void clockStateChanged(SharedClock::State state);
    // Starts the leader's crossfade of `cueID` at `startTime` here.
    void follow(double cueID, std::int64_t startTime, bool catchUp);
    SyncMessage::State showState() const;
    void event(const std::string& line);
    std::string followingText() const;

    MediaEngine& engine_;
    EventSink events_;
    std::unique_ptr<SharedClock> clock_;
    std::unique_ptr<SyncLeader> leader_;
    std::unique_ptr<SyncFollower> follower_;
    GSourcePtr report_;
    // Follower: the clock has been locked once, so show times mean something.
    bool everLocked_ = false;
    // The crossfade started last (cue ID, start time): a state that names it
    // again is not news.
    std::optional<std::pair<double, std::int64_t>> lastStarted_;
};

}  // namespace bw
