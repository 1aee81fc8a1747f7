#pragma once

#include <glib.h>

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <optional>

#include "media/SharedClock.h"
#include "platform/GLibHandle.h"
#include "platform/MainQueue.h"
#include "platform/NotificationCenter.h"
#include "platform/SystemLog.h"
#include "show/MediaWatch.h"
#include "show/ShowHealth.h"

namespace bw {

class MediaEngine;
class Show;
class ShowFeedback;
class ShowSync;
class TickRecorder;
class WebRemoteServer;

// Beamwright without windows: loads a show, runs the engine with OSC and
// CREP remote control, and talks over its standard streams.
//
// It prints one line per event on `out`, flushed at once:
//   remote osc PORT crep PORT
//   web remote PORT | web remote off REASON (only with a web port set)
//   pipewire unreachable REASON: outputs are not published until a daemon answers
//   pipewire reachable
//   warning cannot play PATH: REASON
//   stream "OUTPUT": listening on URL (...) | cannot listen on URL: REASON
//   stream "OUTPUT": receiver ADDRESS connected (N watching) | ... left (N watching)
//   load begin PATH
//   load done N cues M outputs | load failed REASON
//   current cue ID "DESCRIPTION" | current cue none
//   next cue ID "DESCRIPTION" | next cue none
//   transition began | transition complete
//   saved PATH | save failed REASON
//   unknown command "TEXT"
//   clock providing PORT | clock not provided | clock waiting for HOST:PORT
//   clock locked | clock following HOST offset N us | clock lost
//   follower HOST:PORT joined (NAME) | follower HOST:PORT left (silent for 5 s)
//   GO ignored: this Beamwright follows HOST
//   GO ignored: SECONDS s after the last, from SOURCE (inside the GO guard)
//   caught up with cue ID (a GO was missed) | cue ID is not in this show: holding the picture
//   health warning KIND: TEXT | health cleared KIND (ShowHealth, checked
//     once a second; KIND is ShowHealth::kindName, "missing media" ...)
//   clock failed REASON
//   stopped
// and reads commands from standard input, one a line: "go", a cue number (go
// to that cue; an empty line is a plain GO), "panic", "reload", "save", "quit", and
// on a leader "clock stop" and "clock start" (withdraw the show clock from
// the network and offer it again).
// SIGINT and SIGTERM end it, SIGHUP reloads the show. Descriptions and other
// texts are quoted as JSON strings, so every event stays on one line.
//
// Main thread only; run() iterates the GLib default main context.
class HeadlessPlayer {
public:
    struct Options {
        std::string showPath;
        double refreshRate = 60.0;
        // Shared show: lead or follow (docs/sync.md); none: plays alone.
        std::optional<SharedClock::Options> clock;
        // Each frame's record (TickRecorder) goes to this file; empty: none.
        std::string tickRecordPath;
    };

    HeadlessPlayer(Options options, std::FILE* out);
    ~HeadlessPlayer();
    HeadlessPlayer(const HeadlessPlayer&) = delete;
    HeadlessPlayer& operator=(const HeadlessPlayer&) = delete;

    // Runs until "quit" or a terminating signal (the end of standard input
    // does not stop it); then stops the display link, withdraws the published
    // outputs and returns the exit status (0; 1 when the shared clock or the
    // tick record cannot be set up).
    int run();

private:
    class EventPrinter;

    void print(const std::string& line);
    // Closes the web remote's pages and stops it listening, before the
    // feedback source it follows goes.
    void stopWebRemote();
    void handleCommand(std::string_view line);
    void reload();
    void save();
    void quit();
    void shutDown();
    // Once a second: prints the health warnings that appeared or cleared.
    void checkHealth();

    void onWillLoad();
    void onDidLoad();
    // Standard input: reads what is there and handles each whole line;
    // false at the end of the input.
    bool readInput();

    Options options_;
    std::FILE* out_;
    MediaEngine* engine_ = nullptr;
    Show* show_ = nullptr;
    bool loading_ = false;
    std::unique_ptr<ShowSync> sync_;
    // What OSC and CREP controllers are told; after sync_, which it asks.
    std::unique_ptr<ShowFeedback> feedback_;
    std::unique_ptr<WebRemoteServer> webRemote_;
    ShowHealth health_;
    MediaWatch mediaWatch_{MainQueue::shared()};
    std::unique_ptr<TickRecorder> recorder_;

    GMainLoopPtr loop_;
    std::vector<GSourcePtr> sources_;
    std::vector<NotificationCenter::Token> observers_;
    std::string pendingInput_;
    // Work posted to the main queue runs only while this player lives.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    bool watchesSharing_ = false;
    bool watchesLog_ = false;
    SystemLog::Sink previousLogSink_;
};

}  // namespace bw
