// Beamwright's command line: the show window, the player without windows,
// and the operator's show check. The last two branch off before anything of
// Qt's GUI is made, so they run on machines without a display.
#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QStringList>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <string_view>

#include "app/HeadlessPlayer.h"
#include "document/Show.h"
#include "engine/MediaEngine.h"
#include "platform/Fatal.h"
#include "platform/MainQueue.h"
#include "platform/NotificationCenter.h"
#include "platform/Preferences.h"
#include "show/NumberText.h"
#include "show/ShowCheck.h"
#include "ui/SessionGuard.h"
#include "ui/ShowWindow.h"

namespace {

constexpr std::string_view kUsage =
    "usage: beamwright [SHOW.bwshow]\n"
    "       beamwright --headless SHOW.bwshow [--fps N]\n"
    "       beamwright --check SHOW.bwshow\n"
    "  SHOW.bwshow      open the show window on SHOW.bwshow (an untitled show without it)\n"
    "  --headless FILE  play FILE without windows, driven by OSC (port 7777), CREP (port 6553)\n"
    "                   and commands on standard input: go, a cue number, reload, save, quit\n"
    "  --fps N          render N frames a second (default 60)\n"
    "  --check FILE     decode FILE as a load would and list its outputs, cues and media\n";

constexpr int kUsageError = 64;  // EX_USAGE
constexpr double kMaxRefreshRate = 1000.0;

int usageError(std::string_view message) {
    std::cerr << "beamwright: " << message << "\n" << kUsage;
    return kUsageError;
}

// Ends the process once the player has shut down. The process-wide engine,
// network manager and frame publishing are never destroyed and their threads
// still run, so static destruction is skipped rather than raced.
[[noreturn]] void exitNow(int status) {
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(status);
}

// The show window: Qt's event loop runs the GLib default main context, on
// which the main queue, notifications and remote commands are delivered.
[[noreturn]] void runWindow(int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setApplicationName("Beamwright");
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
    bw::MainQueue::shared();

    bw::MediaEngine& engine = bw::MediaEngine::sharedEngine();
    bw::Show& show = bw::Show::shared();
    bw::ShowWindow window(engine, engine.stack(), show, bw::NotificationCenter::defaultCenter(),
                          bw::Preferences::shared());
    window.show();
    // No screen blanking or suspend while the window is open; a warning
    // before logging out while the show has unsaved changes.
    const bw::SessionGuard session(bw::NotificationCenter::defaultCenter(), show.isDirty());
    // As File > Open does, so that the loading sheet and a failure's
    // warning show for it too.
    if (arguments.size() == 2) window.openShowFile(arguments[1]);
    const int status = QApplication::exec();
    // Closing the window ends the run; the window's close event (File > Quit
    // included) has asked before discarding unsaved changes.
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
    if (argc >= 2 && std::strcmp(argv[1], "--headless") == 0) {
        bw::HeadlessPlayer::Options options;
        std::optional<std::string> show;
        for (int k = 2; k < argc; ++k) {
            const std::string_view argument = argv[k];
            if (argument == "--fps") {
                if (k + 1 >= argc) return usageError("--fps needs a number");
                const auto rate = bw::parseCueNumber(argv[++k]);
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
    // Qt's own options have one dash; ours have two.
    for (int k = 1; k < argc; ++k) {
        if (std::string_view(argv[k]).starts_with("--")) {
            return usageError("unexpected argument " + std::string(argv[k]));
        }
    }
    runWindow(argc, argv);
}
