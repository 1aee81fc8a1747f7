#include "app/HeadlessPlayer.h"

#include <glib-unix.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <optional>

#include "app/TickRecorder.h"
#include "document/Show.h"
#include "engine/MediaEngine.h"
#include "engine/MediaEngineDelegate.h"
#include "engine/ShowFeedback.h"
#include "engine/ShowSync.h"
#include "media/AudioOutput.h"
#include "platform/MainQueue.h"
#include "platform/Preferences.h"
#include "platform/SystemLog.h"
#include "platform/Utf8.h"
#include "remote/CREP.h"
#include "remote/NetworkManager.h"
#include "remote/net/AsyncSocket.h"
#include "remote/web/WebRemoteServer.h"
#include "render/DisplayLink.h"
#include "sharing/PipeWireConnection.h"
#include "show/CueStack.h"
#include "show/NumberText.h"
#include "show/ShowStatus.h"

namespace bw {
namespace {

// Free text (paths, reasons) kept to one line.
std::string oneLine(std::string text) {
    for (char& c : text) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    return text;
}

std::string describeCue(const std::optional<Cue>& cue) {
    if (!cue) return "none";
    return formatCueNumber(cue->id) + " " + jsonQuoted(cue->description);
}

std::string_view trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

std::string portText(std::uint16_t port) {
    return port == 0 ? std::string("off") : std::to_string(port);
}

}  // namespace

// Prints the engine's notices; held by the engine.
class HeadlessPlayer::EventPrinter final : public MediaEngineDelegate {
public:
    explicit EventPrinter(HeadlessPlayer& player) : player_(player) {}
    void cueTransitionBegan() override { player_.print("transition began"); }
    void cueTransitionComplete() override { player_.print("transition complete"); }
    void currentCueChanged(const std::optional<Cue>& cue) override {
        player_.print("current cue " + describeCue(cue));
    }
    void nextCueChanged(const std::optional<Cue>& cue) override {
        player_.print("next cue " + describeCue(cue));
    }
    void goIgnored(const IgnoredGo& go) override { player_.print(go.logLine()); }
    // "auto cue 3 in 2.40 s", "auto cue 3 at movie end", "auto none".
    void chainChanged() override {
        if (!player_.engine_) return;
        const CueChain& chain = player_.engine_->chain();
        const std::optional<CueChain::Countdown>& countdown = chain.countdown();
        if (!countdown) {
            player_.print("auto none");
            return;
        }
        std::string line = "auto cue " + formatCueNumber(countdown->cueID);
        if (const std::optional<double> left = chain.secondsLeft()) {
            char seconds[32];
            std::snprintf(seconds, sizeof seconds, " in %.2f s", *left);
            line += seconds;
        } else {
            line += " at movie end";
        }
        player_.print(line);
    }

private:
    HeadlessPlayer& player_;
};

HeadlessPlayer::HeadlessPlayer(Options options, std::FILE* out)
    : options_(std::move(options)), out_(out) {}

HeadlessPlayer::~HeadlessPlayer() {
    if (watchesSharing_) PipeWireConnection::shared().setReachabilityObserver(nullptr);
    if (watchesLog_) SystemLog::shared().setSink(std::move(previousLogSink_));
    sources_.clear();
    stopWebRemote();
    feedback_.reset();
    sync_.reset();
    for (NotificationCenter::Token token : observers_) {
        NotificationCenter::defaultCenter().removeObserver(token);
    }
}

void HeadlessPlayer::stopWebRemote() {
    if (!webRemote_) return;
    if (feedback_) feedback_->removeListener(webRemote_.get());
    webRemote_.reset();
}

void HeadlessPlayer::print(const std::string& line) {
    std::fputs(line.c_str(), out_);
    std::fputc('\n', out_);
    std::fflush(out_);
}

int HeadlessPlayer::run() {
    // A reader that goes away must not end the show, and a player started in
    // the background of a terminal must not be stopped for reading it (the
    // read fails instead, and standard input is no longer watched).
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGTTIN, SIG_IGN);

    MediaEngine::setSharedRefreshRate(options_.refreshRate);
    engine_ = &MediaEngine::sharedEngine();
    engine_->setDelegate(std::make_shared<EventPrinter>(*this));
    if (NetworkManager* network = engine_->network()) {
        const AsyncSocket* osc = network->server().tcpSocket().tcpSocket();
        print("remote osc " + portText(osc != nullptr ? osc->localPort() : 0) + " crep " +
              portText(network->crep().isReceiving() ? network->crep().localPort() : 0));
    }

    // Media that does not play, and outputs nobody can take, are worth a line
    // where the operator looks; the news comes on other threads and is
    // printed on this one.
    watchesLog_ = true;
    // Network streams' news too: listening, and receivers coming and going.
    const auto printLogNews = [this, alive = std::weak_ptr<bool>(alive_)](std::string_view line) {
        constexpr std::string_view kWarning = "Warning: ";
        constexpr std::string_view kStream = "Stream ";
        std::string printed;
        if (line.starts_with(kStream)) {
            printed = "stream " + std::string(line.substr(kStream.size()));
        } else if (line.starts_with(kWarning) &&
                   line.substr(kWarning.size()).starts_with("cannot play ")) {
            printed = "warning " + std::string(line.substr(kWarning.size()));
        } else {
            return;
        }
        MainQueue::shared().post([this, alive, printed = std::move(printed)] {
            if (!alive.expired()) print(printed);
        });
    };
    previousLogSink_ = SystemLog::shared().setSink(printLogNews);
    watchesSharing_ = true;
    PipeWireConnection::shared().setReachabilityObserver(
        [this, alive = std::weak_ptr<bool>(alive_)](const std::optional<std::string>& reason) {
            MainQueue::shared().post([this, alive, reason] {
                if (alive.expired()) return;
                print(reason ? "pipewire unreachable " + oneLine(*reason) +
                                   ": outputs are not published until a daemon answers"
                             : std::string("pipewire reachable"));
            });
        });

    if (options_.clock) {
        std::string error;
        sync_ = ShowSync::create(
            *engine_, *options_.clock, [this](const std::string& line) { print(line); }, &error);
        if (!sync_) {
            print("clock failed " + oneLine(error));
            return 1;
        }
    }
    feedback_ = std::make_unique<ShowFeedback>(*engine_, NotificationCenter::defaultCenter(),
                                               MainQueue::shared());
    if (sync_) {
        feedback_->setClockStatusSource(
            [this]() -> std::optional<ShowHealth::ClockStatus> { return sync_->clockStatus(); });
    }
    if (NetworkManager* network = engine_->network()) feedback_->attach(*network);
    std::string webProblem;
    webRemote_ =
        WebRemoteServer::fromSettings(*engine_, *feedback_, Preferences::shared(), &webProblem);
    if (webRemote_) {
        feedback_->addListener(webRemote_.get());
        print("web remote " + std::to_string(webRemote_->port()));
    } else if (!webProblem.empty()) {
        print("web remote off " + oneLine(webProblem));
    }

    if (!options_.tickRecordPath.empty()) {
        std::string error;
        recorder_ = TickRecorder::open(options_.tickRecordPath, &error);
        if (!recorder_) {
            print("record failed " + oneLine(error));
            return 1;
        }
        recorder_->attach(*engine_);
    }

    show_ = &Show::shared();
    NotificationCenter& center = NotificationCenter::defaultCenter();
    observers_.push_back(center.addObserver(std::string(kShowWillLoadNotification),
                                            [this](const Notification&) { onWillLoad(); }));
    observers_.push_back(center.addObserver(std::string(kShowDidLoadNotification),
                                            [this](const Notification&) { onDidLoad(); }));

    auto addSignal = [this](int signalNumber, GSourceFunc callback) {
        GSourcePtr source(g_unix_signal_source_new(signalNumber));
        g_source_set_callback(source.get(), callback, this, nullptr);
        g_source_attach(source.get(), nullptr);
        sources_.push_back(std::move(source));
    };
    GSourceFunc onStop = [](gpointer self) -> gboolean {
        static_cast<HeadlessPlayer*>(self)->quit();
        return G_SOURCE_CONTINUE;
    };
    addSignal(SIGINT, onStop);
    addSignal(SIGTERM, onStop);
    addSignal(SIGHUP, [](gpointer self) -> gboolean {
        static_cast<HeadlessPlayer*>(self)->reload();
        return G_SOURCE_CONTINUE;
    });

    GSourcePtr input(g_unix_fd_source_new(
        STDIN_FILENO, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR)));
    GUnixFDSourceFunc onInput = [](gint, GIOCondition, gpointer self) -> gboolean {
        return static_cast<HeadlessPlayer*>(self)->readInput() ? G_SOURCE_CONTINUE
                                                               : G_SOURCE_REMOVE;
    };
    // A file-descriptor source calls its callback with the descriptor and
    // condition; GLib's own G_SOURCE_FUNC casts the same way.
    g_source_set_callback(input.get(),
                          reinterpret_cast<GSourceFunc>(reinterpret_cast<void (*)()>(onInput)),
                          this, nullptr);
    g_source_attach(input.get(), nullptr);
    sources_.push_back(std::move(input));

    GSourcePtr health(g_timeout_source_new(1000));
    g_source_set_callback(
        health.get(),
        [](gpointer self) -> gboolean {
            static_cast<HeadlessPlayer*>(self)->checkHealth();
            return G_SOURCE_CONTINUE;
        },
        this, nullptr);
    g_source_attach(health.get(), nullptr);
    sources_.push_back(std::move(health));

    show_->load(options_.showPath);

    loop_.reset(g_main_loop_new(nullptr, FALSE));
    g_main_loop_run(loop_.get());
    shutDown();
    return 0;
}

bool HeadlessPlayer::readInput() {
    char buffer[4096];
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
    if (n <= 0) {
        // End of input: the remote control and signals still run the show.
        if (!pendingInput_.empty()) handleCommand(std::exchange(pendingInput_, {}));
        return false;
    }
    pendingInput_.append(buffer, static_cast<std::size_t>(n));
    std::string::size_type end;
    while ((end = pendingInput_.find('\n')) != std::string::npos) {
        const std::string line = pendingInput_.substr(0, end);
        pendingInput_.erase(0, end + 1);
        handleCommand(line);
    }
    // A line longer than any command or number is dropped, not kept growing.
    if (pendingInput_.size() > 4096) pendingInput_.clear();
    return true;
}

void HeadlessPlayer::handleCommand(std::string_view line) {
    const std::string_view command = trimmed(line);
    if (command == "go") {
        engine_->go(GoSource::Command);
    } else if (command == "panic") {
        engine_->panic();
    } else if (command == "reload") {
        reload();
    } else if (command == "save") {
        save();
    } else if (command == "quit") {
        quit();
    } else if (command == "clock stop" && sync_ && sync_->isLeader()) {
        sync_->stopProviding();
    } else if (command == "clock start" && sync_ && sync_->isLeader()) {
        sync_->startProviding();
    } else if (command.empty()) {
        // Return on an empty cue-number field.
        engine_->go(GoSource::Command);
    } else if (const std::optional<double> id = parseCueNumber(command)) {
        engine_->goToCue(*id, GoSource::Command);
    } else {
        print("unknown command " + jsonQuoted(command));
    }
}

void HeadlessPlayer::reload() {
    // A load still running is superseded by this one.
    if (!show_->confirmDiscardChanges()) return;
    // After a failed first load no show has a location: try the file again.
    show_->load(show_->fileURL().value_or(options_.showPath));
}

void HeadlessPlayer::save() {
    std::string failure;
    if (show_->save(&failure)) {
        print("saved " + oneLine(*show_->fileURL()));
    } else {
        print("save failed " + oneLine(failure));
    }
}

void HeadlessPlayer::quit() {
    if (loop_) g_main_loop_quit(loop_.get());
}

void HeadlessPlayer::checkHealth() {
    mediaWatch_.check(engine_->stack().cues());
    ShowHealth::Sample sample = engine_->healthSample();
    sample.missingMedia = mediaWatch_.missingMedia();
    sample.sharingProblem = PipeWireConnection::shared().unreachableReason();
    if (sync_) sample.clock = sync_->clockStatus();
    sample.soundProblem = AudioOutput::shared().problem();
    sample.missingSoundOutput = AudioOutput::shared().missingTarget();
    const ShowHealth::Changes changes = health_.update(sample);
    for (const ShowHealth::Warning& warning : changes.appeared) {
        print(std::string("health warning ") + ShowHealth::kindName(warning.kind) + ": " +
              oneLine(warning.text));
    }
    for (const ShowHealth::Kind kind : changes.cleared) {
        print(std::string("health cleared ") + ShowHealth::kindName(kind));
    }
    if (feedback_) feedback_->healthChecked(health_.warnings());
}

void HeadlessPlayer::onWillLoad() {
    loading_ = true;
    print("load begin " + oneLine(show_->loadingURL().value_or("(untitled)")));
}

void HeadlessPlayer::onDidLoad() {
    if (!loading_) return;
    loading_ = false;
    if (const auto& failure = show_->loadFailure()) {
        print("load failed " + oneLine(*failure));
        return;
    }
    print("load done " + std::to_string(engine_->stack().cues().size()) + " cues " +
          std::to_string(engine_->outputs().size()) + " outputs");
}

void HeadlessPlayer::shutDown() {
    sources_.clear();
    // The ticks stop before the recorder and the show clock they read go.
    if (DisplayLink* link = engine_->displayLink()) link->stop();
    stopWebRemote();
    feedback_.reset();
    sync_.reset();
    show_->shutDown();
    print("stopped");
}

}  // namespace bw
