// Beamwright's command line: the player without windows, and the operator's
// show check.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <string_view>

#include "app/HeadlessPlayer.h"
#include "show/NumberText.h"
#include "show/ShowCheck.h"

namespace {

constexpr std::string_view kUsage =
    "usage: beamwright --headless SHOW.bwshow [--fps N]\n"
    "       beamwright --check SHOW.bwshow\n"
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
    std::cerr << kUsage;
    return kUsageError;
}
