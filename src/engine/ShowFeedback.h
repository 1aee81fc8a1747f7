#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/MediaEngineDelegate.h"
#include "platform/GLibHandle.h"
#include "platform/NotificationCenter.h"
#include "show/CueStack.h"
#include "show/ShowHealth.h"
#include "show/ShowState.h"

namespace bw {

class MainQueue;
class MediaEngine;
class NetworkManager;

// The one source of what controllers are told of the show: it builds the
// ShowState from the engine, the stack, the lock and the health the owner
// checks, and tells its listeners of every change, and ten times a second
// while a fade or a movie runs.
//
// Changes are reported once the notices of one piece of work are in: the
// engine's notices of one GO (transition began, current cue, next cue) are
// one report, made from a main-queue item posted with the first; its change
// is the weightiest of those that came (Panic, Go, FadeEnd, Load, Lock,
// GoIgnored, Edit, NextCue, Clock, Health). The ticks stop when neither a
// fade nor a movie runs.
//
// Main thread only. The engine, the status, the centre and the queue must
// outlive it; listeners are not owned and are removed before they go.
class ShowFeedback final : public ShowStateSource {
public:
    static constexpr std::chrono::milliseconds kTickInterval{100};
    using ClockStatusSource = std::function<std::optional<ShowHealth::ClockStatus>()>;

    // The lock is the engine's show status's; its notices come from `center`.
    ShowFeedback(MediaEngine& engine, NotificationCenter& center, MainQueue& queue);
    ~ShowFeedback() override;
    ShowFeedback(const ShowFeedback&) = delete;
    ShowFeedback& operator=(const ShowFeedback&) = delete;

    // A shared show's clock; none: the show plays alone.
    void setClockStatusSource(ClockStatusSource source);
    // The owner's health check ran: the warnings standing now. Reports
    // Health when they differ from the last, and Clock when the clock's
    // status did.
    void healthChecked(const std::vector<ShowHealth::Warning>& warnings);

    // Feeds the network front's OSC feedback and CREP answers, until the
    // destructor (or another attach) detaches it again.
    void attach(NetworkManager& network);

    void addListener(ShowStateListener* listener);
    void removeListener(ShowStateListener* listener);

    // Reports `change` with the next report (see above).
    void report(ShowState::Change change, std::string detail = {});
    // Whether the ticks run now.
    bool isTicking() const { return tick_ != nullptr; }

    // ShowStateSource
    ShowState showState() const override;
    std::vector<Cue> showCues() const override;
    std::vector<OutputSummary> showOutputs() const override;

private:
    class EngineNotices;

    void flush();
    void tell(const ShowState& state, ShowState::Change change);
    void updateTicking(const ShowState& state);
    static gboolean onTick(gpointer self);

    MediaEngine& engine_;
    NotificationCenter& center_;
    MainQueue& queue_;
    std::unique_ptr<EngineNotices> notices_;
    CueStack::ObserverToken stackToken_ = 0;
    std::vector<NotificationCenter::Token> observers_;
    std::vector<ShowStateListener*> listeners_;
    NetworkManager* network_ = nullptr;
    ClockStatusSource clockStatus_;
    std::vector<std::string> warnings_;
    std::optional<ShowHealth::ClockStatus> lastClock_;

    // The report waiting for its main-queue item.
    std::optional<ShowState::Change> pending_;
    std::string pendingDetail_;
    GSourcePtr tick_;
    // Posted items run only while this lives.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace bw
