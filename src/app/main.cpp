// Beamwright's command line: the show window, the player without windows,
// and the operator's show check. The last two branch off before anything of
// Qt's GUI is made, so they run on machines without a display.
#include <glib-unix.h>
#include <signal.h>
#include <sys/stat.h>
#include <xcb/xcb.h>

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QByteArray>
#include <QIcon>
#include <QSessionManager>
#include <QStringList>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/HeadlessPlayer.h"
#include "document/Show.h"
#include "engine/MediaEngine.h"
#include "engine/ShowSync.h"
#include "media/AudioOutput.h"
#include "platform/Fatal.h"
#include "platform/MainQueue.h"
#include "platform/NotificationCenter.h"
#include "platform/PortSetting.h"
#include "platform/Preferences.h"
#include "platform/Resources.h"
#include "sharing/PipeWireConnection.h"
#include "show/NumberText.h"
#include "show/ShowCheck.h"
#include "ui/InstanceServer.h"
#include "ui/SessionGuard.h"
#include "ui/ShowWindow.h"

namespace {

constexpr std::string_view kUsage =
    "usage: beamwright [PORTS] [CLOCK] [--locked] [SHOW.bwshow]\n"
    "       beamwright --headless SHOW.bwshow [--fps N] [PORTS] [CLOCK] [--record-ticks FILE]\n"
    "       beamwright --check SHOW.bwshow\n"
    "       beamwright --version\n"
    "  SHOW.bwshow      open the show window on SHOW.bwshow (an untitled show without it)\n"
    "  --locked         open the window locked for the performance (Show > Unlock)\n"
    "  --headless FILE  play FILE without windows, driven by OSC (port 7777), CREP (port 6553)\n"
    "                   and commands on standard input: go, a cue number, reload, save, quit\n"
    "  --fps N          render N frames a second (default 60)\n"
    "  --check FILE     decode FILE as a load would and list its outputs, cues and media; exits\n"
    "                   0 when all is there, 1 not a show, 2 it does not load, 3 media missing\n"
    "                   or unreadable (opened as playback opens it: no loader or decoder, sound\n"
    "                   but no picture, empty, cannot be read), 4 the show's sound output is\n"
    "                   not there\n"
    "  --version        print the version\n"
    "  PORTS, where remote commands are taken (also the preferences OSCPort and CREPPort):\n"
    "  --osc-port PORT  OSC over UDP and TCP on PORT (default 7777)\n"
    "  --crep-port PORT CREP over UDP on PORT (default 6553)\n"
    "  --web-port PORT  the web remote on PORT (off without it or the preference WebRemotePort)\n"
    "  --web-address A  the web remote on the interface of address A only\n"
    "  CLOCK, one show on several machines (docs/sync.md):\n"
    "  --clock-provide PORT     lead: the show clock on UDP PORT, followers on PORT + 1\n"
    "  --clock-follow HOST:PORT follow the leader providing the clock on HOST:PORT\n"
    "  --clock-ptp DOMAIN       with --clock-follow: take the time from PTP domain DOMAIN\n"
    "  --record-ticks FILE      write one line per frame: display time, show time, progress\n";

constexpr int kUsageError = 64;  // EX_USAGE
constexpr int kNoDisplay = 1;
constexpr double kMaxRefreshRate = 1000.0;

int usageError(std::string_view message) {
    std::cerr << "beamwright: " << message << "\n" << kUsage;
    return kUsageError;
}

// The clock options, wherever they stand on the command line; the others are
// left in `arguments`. An error text when one is wrong.
struct ClockArguments {
    std::optional<bw::SharedClock::Options> clock;
    std::optional<unsigned> ptpDomain;
    std::optional<std::string> error;
};

ClockArguments takeClockArguments(std::vector<std::string>& arguments) {
    ClockArguments result;
    std::vector<std::string> rest;
    for (std::size_t k = 0; k < arguments.size(); ++k) {
        const std::string& argument = arguments[k];
        if (argument != "--clock-provide" && argument != "--clock-follow" &&
            argument != "--clock-ptp") {
            rest.push_back(argument);
            continue;
        }
        if (k + 1 >= arguments.size()) {
            result.error = argument + " needs a value";
            return result;
        }
        const std::string& value = arguments[++k];
        if (argument == "--clock-ptp") {
            result.ptpDomain = bw::ShowSync::parsePtpDomain(value);
            if (!result.ptpDomain) result.error = "--clock-ptp needs a domain from 0 to 255";
        } else if (result.clock) {
            result.error = "give one of --clock-provide and --clock-follow";
        } else if (argument == "--clock-provide") {
            result.clock = bw::ShowSync::parseProvide(value);
            if (!result.clock) result.error = "--clock-provide needs a port from 1 to 65534";
        } else {
            result.clock = bw::ShowSync::parseFollow(value);
            if (!result.clock) result.error = "--clock-follow needs HOST:PORT";
        }
        if (result.error) return result;
    }
    if (result.ptpDomain) {
        if (!result.clock || result.clock->source != bw::SharedClock::Source::Follow) {
            result.error = "--clock-ptp goes with --clock-follow";
            return result;
        }
        result.clock->source = bw::SharedClock::Source::FollowPtp;
        result.clock->ptpDomain = *result.ptpDomain;
    }
    if (!result.clock) {
        std::string problem;
        result.clock = bw::ShowSync::fromPreferences(bw::Preferences::shared(), &problem);
        if (!problem.empty()) std::cerr << "beamwright: ignoring the clock preference: " << problem << "\n";
    }
    arguments = std::move(rest);
    return result;
}

// Takes --osc-port, --crep-port, --web-port and --web-address, wherever they
// stand, out of `arguments` and records them for the listeners; an error
// text when one is wrong.
std::optional<std::string> takePortArguments(std::vector<std::string>& arguments) {
    std::vector<std::string> rest;
    for (std::size_t k = 0; k < arguments.size(); ++k) {
        const bw::PortSource* source = nullptr;
        if (arguments[k] == "--web-address") {
            if (k + 1 >= arguments.size() || arguments[k + 1].empty()) {
                return std::string("--web-address needs an IP address");
            }
            bw::setCommandLineWebAddress(arguments[++k]);
            continue;
        }
        for (const bw::PortSource* candidate :
             {&bw::kOscPortSource, &bw::kCrepPortSource, &bw::kWebPortSource}) {
            if (arguments[k] == candidate->option) source = candidate;
        }
        if (source == nullptr) {
            rest.push_back(arguments[k]);
            continue;
        }
        const std::optional<std::uint16_t> port =
            k + 1 < arguments.size() ? bw::parsePort(arguments[k + 1]) : std::nullopt;
        if (!port) return std::string(source->option) + " needs a port from 1 to 65535";
        bw::setCommandLinePort(*source, *port);
        ++k;
    }
    arguments = std::move(rest);
    return std::nullopt;
}

// Why no window can be shown, if so: neither a Wayland compositor's socket
// nor an X server that takes a connection. Asked before Qt, which ends the
// process with an abort when it finds no display. A platform without a
// display chosen for Qt (QT_QPA_PLATFORM=offscreen, say) is Qt's to check.
std::optional<std::string> displayProblem() {
    const auto variable = [](const char* name) {
        const char* value = std::getenv(name);
        return std::string(value != nullptr ? value : "");
    };
    const std::string platform = variable("QT_QPA_PLATFORM");
    if (!platform.empty() && !platform.starts_with("xcb") && !platform.starts_with("wayland")) {
        return std::nullopt;
    }
    const std::string wayland = variable("WAYLAND_DISPLAY");
    if (!wayland.empty()) {
        const std::string socket =
            wayland.front() == '/' ? wayland : variable("XDG_RUNTIME_DIR") + "/" + wayland;
        struct stat info {};
        if (::stat(socket.c_str(), &info) == 0 && S_ISSOCK(info.st_mode)) return std::nullopt;
    }
    const std::string x11 = variable("DISPLAY");
    if (x11.empty()) {
        return wayland.empty() ? "no display found"
                               : "no Wayland display \"" + wayland + "\" found";
    }
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    const bool connected = xcb_connection_has_error(connection) == 0;
    xcb_disconnect(connection);
    if (connected) return std::nullopt;
    return "cannot open the display \"" + x11 + "\"";
}

// Ends the process once the player has shut down. The process-wide engine,
// network manager and frame publishing are never destroyed and their threads
// still run, so static destruction is skipped rather than raced.
[[noreturn]] void exitNow(int status) {
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(status);
}

// One Beamwright per user. A running one takes this start's request (open
// the show given, or come to the front) and this process ends with its
// answer; otherwise this process becomes the one others find, listening on
// `server`, and the function returns. The operator may take a while to
// answer the discard-changes question, hence the long wait.
void forwardOrListen(bw::InstanceServer& server, const QStringList& arguments) {
    using namespace std::chrono_literals;
    const QString name = bw::InstanceServer::socketName();
    const QString path = arguments.size() == 2 ? arguments[1] : QString();
    const QByteArray request =
        path.isEmpty() ? bw::InstanceServer::raiseRequest() : bw::InstanceServer::openRequest(path);
    // Two starts at once may both find nobody; the one that then finds the
    // name taken forwards to the other.
    for (int attempt = 0; attempt < 3; ++attempt) {
        QString reason;
        switch (bw::InstanceServer::forward(name, request, 120s, &reason)) {
            case bw::InstanceServer::Answer::NoInstance:
                break;
            case bw::InstanceServer::Answer::Opened:
            case bw::InstanceServer::Answer::Raised:
                exitNow(0);
            case bw::InstanceServer::Answer::Refused:
                std::cerr << "beamwright: " << path.toStdString() << " was not opened\n";
                exitNow(1);
            case bw::InstanceServer::Answer::Failed:
                std::cerr << "beamwright: " << reason.toStdString() << "\n";
                exitNow(1);
            case bw::InstanceServer::Answer::NoAnswer:
                std::cerr << "beamwright: the running Beamwright did not answer\n";
                exitNow(1);
        }
        switch (server.listen(name)) {
            case bw::InstanceServer::ListenResult::Listening:
                return;
            case bw::InstanceServer::ListenResult::OtherInstance:
                continue;
            case bw::InstanceServer::ListenResult::Failed:
                std::cerr << "beamwright: cannot listen on " << name.toStdString() << ": "
                          << server.errorString().toStdString()
                          << "; a second start will not find this one\n";
                return;
        }
    }
    std::cerr << "beamwright: the running Beamwright did not answer\n";
    exitNow(1);
}

// The show window: Qt's event loop runs the GLib default main context, on
// which the main queue, notifications and remote commands are delivered.
[[noreturn]] void runWindow(int argc, char** argv,
                            const std::optional<bw::SharedClock::Options>& clock, bool locked) {
    QApplication application(argc, argv);
    QApplication::setApplicationName("Beamwright");
    QApplication::setApplicationVersion(BW_VERSION);
    // The desktop entry's name, so that the desktop matches the window to it
    // (its icon, its name in the task switcher).
    QGuiApplication::setDesktopFileName("app.beamwright.Beamwright");
    // The installed theme's icon, else the one beside the shaders.
    QIcon icon;
    for (const char* size : {"48", "256", "512"}) {
        icon.addFile(QString::fromStdString(
            bw::Resources::path("icons", std::string("beamwright-") + size, "png").string()));
    }
    QApplication::setWindowIcon(QIcon::fromTheme("app.beamwright.Beamwright", icon));
    const QStringList arguments = QApplication::arguments();
    if (arguments.size() > 2 || (arguments.size() == 2 && arguments[1].startsWith('-'))) {
        exitNow(usageError("unexpected argument " + arguments.last().toStdString()));
    }
    const QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
    if (dispatcher == nullptr || !dispatcher->inherits("QEventDispatcherGlib")) {
        bw::fatalError(
            "Qt does not run on the GLib event loop (is QT_NO_GLIB set?); "
            "the window cannot receive the engine's work without it");
    }
    // Before the engine, which takes the network ports and PipeWire names.
    bw::InstanceServer instance;
    forwardOrListen(instance, arguments);
    bw::MainQueue::shared();

    bw::MediaEngine& engine = bw::MediaEngine::sharedEngine();
    bw::Show& show = bw::Show::shared();
    bw::ShowWindow window(engine, engine.stack(), show, bw::NotificationCenter::defaultCenter(),
                          bw::Preferences::shared());
    std::unique_ptr<bw::ShowSync> sync;
    if (clock) {
        std::string error;
        sync = bw::ShowSync::create(engine, *clock, nullptr, &error);
        if (!sync) bw::fatalError("cannot set up the show clock: " + error);
        window.setClockStatusSource([&sync] { return sync->clockStatus(); });
    }
    // Frames that no other program can take are the operator's to know of.
    window.setSharingProblemSource(
        [] { return bw::PipeWireConnection::shared().unreachableReason(); });
    window.setSoundProblemSource([] { return bw::AudioOutput::shared().problem(); });
    window.setMissingSoundOutputSource([] { return bw::AudioOutput::shared().missingTarget(); });
    window.setLocked(locked);
    window.show();
    // No screen blanking or suspend while the window is open; a warning
    // before logging out while the show has unsaved changes.
    const bw::SessionGuard session(bw::NotificationCenter::defaultCenter(), show.isDirty());
    // As File > Open does, so that the loading sheet and a failure's
    // warning show for it too.
    if (arguments.size() == 2) window.openShowFile(arguments[1]);
    // Later starts' requests, including any that arrived meanwhile.
    instance.setHandlers({[&window](const QString& path, bw::InstanceServer::OpenDone done) {
                              using Opening = bw::ShowWindow::Opening;
                              window.openShowFromDesktop(
                                  path,
                                  [done = std::move(done)](Opening opening, const QString& reason) {
                                      using Told = bw::InstanceServer::Opening;
                                      done(opening == Opening::Opened   ? Told::Opened
                                           : opening == Opening::Failed ? Told::Failed
                                                                        : Told::Refused,
                                           reason);
                                  });
                          },
                          [&window] { window.bringToFront(); }});
    // SIGINT and SIGTERM end the run without asking, as for the headless
    // player; Qt's loop runs the GLib default context, which delivers them.
    for (const int signalNumber : {SIGINT, SIGTERM}) {
        g_unix_signal_add(
            signalNumber,
            [](gpointer) -> gboolean {
                QCoreApplication::exit(0);
                return G_SOURCE_REMOVE;
            },
            nullptr);
    }
    // Logging out asks, as quitting does, where the session lets the program
    // ask; "Cancel" keeps the session. (The logout inhibitor warns too.)
    QObject::connect(&application, &QGuiApplication::commitDataRequest,
                     [&show](QSessionManager& manager) {
                         if (!show.isDirty() || !manager.allowsInteraction()) return;
                         const bool discard = show.confirmDiscardChanges();
                         manager.release();
                         if (!discard) manager.cancel();
                     });
    const int status = QApplication::exec();
    // Closing the window ends the run; the window's close event (File > Quit
    // included) has asked before discarding unsaved changes, a signal has
    // not.
    show.shutDown();
    exitNow(status);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--check") == 0) {
        return bw::ShowCheck::run(argv[2], std::cout, std::cerr);
    }
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::cout << kUsage;
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::cout << "beamwright " << BW_VERSION << "\n";
        return 0;
    }
    std::vector<std::string> arguments(argv + 1, argv + argc);
    if (const std::optional<std::string> error = takePortArguments(arguments)) {
        return usageError(*error);
    }
    ClockArguments clock = takeClockArguments(arguments);
    if (clock.error) return usageError(*clock.error);
    if (!arguments.empty() && arguments[0] == "--headless") {
        bw::HeadlessPlayer::Options options;
        options.clock = clock.clock;
        std::optional<std::string> show;
        for (std::size_t k = 1; k < arguments.size(); ++k) {
            const std::string_view argument = arguments[k];
            if (argument == "--record-ticks") {
                if (k + 1 >= arguments.size()) return usageError("--record-ticks needs a file");
                options.tickRecordPath = arguments[++k];
            } else if (argument == "--fps") {
                if (k + 1 >= arguments.size()) return usageError("--fps needs a number");
                const auto rate = bw::parseCueNumber(arguments[++k]);
                if (!rate || !std::isfinite(*rate) || *rate <= 0.0 || *rate > kMaxRefreshRate) {
                    return usageError("--fps needs a number above 0 and at most 1000");
                }
                options.refreshRate = *rate;
            } else if (!show && !argument.starts_with("--")) {
                show = argument;
            } else {
                return usageError("unexpected argument " + std::string(argument));
            }
        }
        if (!show) return usageError("--headless needs a show file");
        options.showPath = *show;
        bw::HeadlessPlayer player(std::move(options), stdout);
        exitNow(player.run());
    }
    const auto lockedOption = std::find(arguments.begin(), arguments.end(), "--locked");
    const bool locked = lockedOption != arguments.end();
    if (locked) arguments.erase(lockedOption);
    // Qt's own options have one dash; ours have two.
    for (const std::string& argument : arguments) {
        if (argument.starts_with("--")) return usageError("unexpected argument " + argument);
    }
    const bool qtPlatformGiven =
        std::find(arguments.begin(), arguments.end(), "-platform") != arguments.end();
    if (const std::optional<std::string> problem =
            qtPlatformGiven ? std::nullopt : displayProblem()) {
        std::cerr << "beamwright: " << *problem
                  << ": use --headless to play without a window, or set DISPLAY or "
                     "WAYLAND_DISPLAY\n";
        return kNoDisplay;
    }
    // Qt sees the arguments without the clock options.
    std::vector<char*> qtArguments{argv[0]};
    for (std::string& argument : arguments) qtArguments.push_back(argument.data());
    qtArguments.push_back(nullptr);
    int qtCount = static_cast<int>(qtArguments.size()) - 1;
    runWindow(qtCount, qtArguments.data(), clock.clock, locked);
}
