// One movie full screen on a 1920x1080 X screen: the CPU time each picture
// shown costs in Beamwright's output window (a MediaEngine with one 1920x1080
// output playing the movie looped, shown by an OutputWindow on the screen),
// against `mpv --vo=x11` playing the same file full screen on the same screen
// (the baseline), in the same run. The bench starts an Xvfb of its own and
// counts the X server's CPU time beside each player's, since a player that
// hands the server more work looks cheaper than it is.
//
// Beamwright runs three ways: as it chooses, with the pictures converted to
// RGBA in the pipeline (BEAMWRIGHT_CONVERT_ON_CPU=1) and with the planes
// converted in the mixer (=0). Each player is measured over `--seconds`
// after it has shown its first 30 pictures; runs alternate the players.
//
// Memory, as private memory in use (RssAnon): mpv's while it plays, against
// what Beamwright's grew by from before the cue was loaded (the window
// showing black) to the end of the measurement (the movie's share), both read
// after malloc_trim. Each movie is first played once uncounted, as the first
// of its kind in a process also pays what is paid once (its figure is
// printed apart).
//
// Pictures shown: the output window's completed swaps of new frames; mpv's
// estimated frame number, less the frames it dropped, read over its IPC
// socket. Skipped, with the reason, where Xvfb or mpv is missing.
//
// bench_fullscreen_movie [--seconds S] [--runs N] [--movie 1080p|2160p]
//                        [--player mpv|choice|pipeline|mixer]

#include <malloc.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QGuiApplication>
#include <QScreen>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "engine/MediaEngine.h"
#include "engine/MediaOutput.h"
#include "media/VideoPlayer.h"
#include "platform/Clock.h"
#include "platform/MainQueue.h"
#include "platform/NotificationCenter.h"
#include "render/RenderContext.h"
#include "sharing/FrameFeed.h"
#include "sharing/FrameServer.h"
#include "show/CueStack.h"
#include "show/ShowStatus.h"
#include "support/TempDir.h"
#include "ui/outputs/OutputWindow.h"

namespace {

using namespace bw;
using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

constexpr PixelSize kScreen{1920, 1080};

// What one player did over the measured seconds.
struct Sample {
    double playerCpu = 0;  // seconds, every thread of the player's process
    double serverCpu = 0;  // seconds, the X server's
    double shown = 0;      // pictures shown
    double seconds = 0;
    double memoryMiB = 0;  // mpv: its resident memory; Beamwright: what the movie added to it
    bool valid() const { return shown > 0; }
    double playerMsPerPicture() const { return playerCpu * 1e3 / shown; }
    double totalMsPerPicture() const { return (playerCpu + serverCpu) * 1e3 / shown; }
    double picturesPerSecond() const { return shown / seconds; }
    double memory() const { return memoryMiB; }
};

// An Xvfb of the bench's own, on the first free display.
class XServer {
public:
    bool start(const test::TempDir& folder) {
        int pipe[2];
        if (::pipe(pipe) != 0) return false;
        const std::string screen =
            std::to_string(kScreen.width) + "x" + std::to_string(kScreen.height) + "x24";
        process_ = test::ChildProcess(
            {"Xvfb", "-displayfd", "1", "-screen", "0", screen, "-nolisten", "tcp", "-noreset"},
            pipe[1], folder.path() / "xvfb.log");
        ::close(pipe[1]);
        std::string number;
        const auto deadline = SteadyClock::now() + 30s;
        while (SteadyClock::now() < deadline) {
            pollfd ready{pipe[0], POLLIN, 0};
            if (::poll(&ready, 1, 100) <= 0) continue;
            char c = 0;
            if (::read(pipe[0], &c, 1) != 1 || c == '\n') break;
            number += c;
        }
        ::close(pipe[0]);
        if (number.empty() || !process_.running()) return false;
        display_ = ":" + number;
        return true;
    }
    const std::string& display() const { return display_; }
    pid_t pid() const { return process_.pid(); }

private:
    test::ChildProcess process_;
    std::string display_;
};

// The private memory a process has in use (RssAnon), in MiB: not the pages
// of shared libraries and files it maps, which a first use of a decoder or a
// shader compiler brings in once and which other processes share.
double residentMiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("RssAnon:", 0) == 0) return std::atof(line.c_str() + 8) / 1024.0;
    }
    return 0;
}

// This process's private memory once the allocator has handed back what it holds free.
double trimmedResidentMiB() {
    ::malloc_trim(0);
    return residentMiB(::getpid());
}

// utime + stime of a process, all its threads, in seconds.
double cpuSecondsOf(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const std::size_t end = text.rfind(')');
    if (end == std::string::npos) return 0;
    std::istringstream fields(text.substr(end + 2));
    std::string field;
    double ticks = 0;
    for (int index = 3; fields >> field && index <= 15; ++index) {
        if (index == 14 || index == 15) ticks += std::stod(field);
    }
    return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// mpv's JSON IPC: one property at a time.
class MpvIpc {
public:
    explicit MpvIpc(std::string path) : path_(std::move(path)) {}
    ~MpvIpc() {
        if (socket_ >= 0) ::close(socket_);
    }
    MpvIpc(const MpvIpc&) = delete;
    MpvIpc& operator=(const MpvIpc&) = delete;

    std::optional<double> number(const std::string& property) {
        if (socket_ < 0 && !connect()) return std::nullopt;
        const std::string request =
            nlohmann::json{{"command", {"get_property", property}}}.dump() + "\n";
        if (::send(socket_, request.data(), request.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(request.size())) {
            return std::nullopt;
        }
        // Answers come a line each; events may come between them.
        for (const auto deadline = SteadyClock::now() + 5s; SteadyClock::now() < deadline;) {
            const std::size_t newline = buffered_.find('\n');
            if (newline == std::string::npos) {
                pollfd ready{socket_, POLLIN, 0};
                if (::poll(&ready, 1, 100) <= 0) continue;
                char chunk[4096];
                const ssize_t got = ::recv(socket_, chunk, sizeof chunk, 0);
                if (got <= 0) return std::nullopt;
                buffered_.append(chunk, static_cast<std::size_t>(got));
                continue;
            }
            const nlohmann::json answer =
                nlohmann::json::parse(buffered_.substr(0, newline), nullptr, false);
            buffered_.erase(0, newline + 1);
            if (!answer.is_object() || !answer.contains("error")) continue;  // an event
            if (answer["error"] != "success" || !answer["data"].is_number()) return std::nullopt;
            return answer["data"].get<double>();
        }
        return std::nullopt;
    }

private:
    bool connect() {
        socket_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
        if (::connect(socket_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
            return true;
        ::close(socket_);
        socket_ = -1;
        return false;
    }

    std::string path_;
    int socket_ = -1;
    std::string buffered_;
};

// Pictures mpv has shown: its frame number less what it dropped.
std::optional<double> mpvShown(MpvIpc& ipc) {
    const std::optional<double> frame = ipc.number("estimated-frame-number");
    const std::optional<double> dropped = ipc.number("frame-drop-count");
    const std::optional<double> decoderDropped = ipc.number("decoder-frame-drop-count");
    if (!frame) return std::nullopt;
    return *frame - dropped.value_or(0) - decoderDropped.value_or(0);
}

Sample playMpv(const std::string& movie, const XServer& server, const test::TempDir& folder,
               double seconds) {
    const std::string socket = (folder.path() / "mpv.socket").string();
    std::filesystem::remove(socket);
    test::ChildProcess mpv(
        {"mpv", "--no-config", "--vo=x11", "--fs", "--no-audio", "--loop-file=inf",
         "--really-quiet", "--input-ipc-server=" + socket, movie},
        -1, folder.path() / "mpv.log");
    MpvIpc ipc(socket);
    Sample sample;
    const auto settled = SteadyClock::now() + 30s;
    while (SteadyClock::now() < settled && mpv.running() && mpvShown(ipc).value_or(0) < 30) {
        std::this_thread::sleep_for(50ms);
    }
    const std::optional<double> shownBefore = mpvShown(ipc);
    if (shownBefore && *shownBefore >= 30) {
        const double playerBefore = cpuSecondsOf(mpv.pid());
        const double serverBefore = cpuSecondsOf(server.pid());
        const auto start = SteadyClock::now();
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        const std::optional<double> shownAfter = mpvShown(ipc);
        sample.seconds = std::chrono::duration<double>(SteadyClock::now() - start).count();
        sample.playerCpu = cpuSecondsOf(mpv.pid()) - playerBefore;
        sample.serverCpu = cpuSecondsOf(server.pid()) - serverBefore;
        sample.memoryMiB = residentMiB(mpv.pid());
        // A loop point restarts the frame number: count up to it from the
        // frame rate instead.
        if (shownAfter && *shownAfter > *shownBefore)
            sample.shown = *shownAfter - *shownBefore;
        else
            sample.shown = sample.seconds * 30.0;
    } else {
        std::fprintf(stderr, "mpv showed no pictures (see %s)\n",
                     (folder.path() / "mpv.log").c_str());
    }
    mpv.stop(SIGTERM, 5s);
    return sample;
}

// `convert`: the BEAMWRIGHT_CONVERT_ON_CPU value, "" for the player's own choice.
Sample playBeamwright(const std::string& movie, const XServer& server, const char* convert,
                      double seconds) {
    if (convert[0] == '\0')
        ::unsetenv("BEAMWRIGHT_CONVERT_ON_CPU");
    else
        ::setenv("BEAMWRIGHT_CONVERT_ON_CPU", convert, 1);
    MainQueue& mainQueue = MainQueue::shared();
    NotificationCenter center(mainQueue);
    ShowStatus status(center);
    CueStack stack(status);
    MediaEngine engine(MediaEngine::Parts{stack, status, systemClock(), nullptr,
                                          std::make_unique<DisplayLink>(60.0)});
    engine.loadOutputs({std::make_shared<MediaOutput>("Projector", kScreen.width, kScreen.height)});
    MediaOutputState state;
    state.mediaURL = MediaURL::fileURL(movie);
    state.muted = true;
    state.looped = true;
    const Cue cue{1, "", 0.0, {state}};
    stack.replaceCues({cue});

    Sample sample;
    {
        OutputWindow window(QGuiApplication::primaryScreen(), QStringLiteral("Projector"), {}, {});
        const std::shared_ptr<FrameFeed> feed = window.feed();
        engine.outputs()[0]->frameServer().addFeed(feed);
        window.start();
        mainQueue.pumpUntil([&] { return window.framesPresented() >= 1; }, 30s);
        // The window shows black: what the process holds from here on is the
        // movie's. Freed memory the allocator still keeps is not counted,
        // here or at the end.
        const double memoryBefore = trimmedResidentMiB();
        engine.loadNextCue(cue);
        engine.go();
        mainQueue.pumpUntil([&] { return window.framesPresented() >= 30; }, 30s);
        const std::uint64_t shownBefore = window.framesPresented();
        if (shownBefore >= 30) {
            const double playerBefore = bench::processCpuSeconds();
            const double serverBefore = cpuSecondsOf(server.pid());
            const auto start = SteadyClock::now();
            mainQueue.pumpUntil([] { return false; },
                                std::chrono::milliseconds(static_cast<int>(seconds * 1e3)));
            sample.seconds = std::chrono::duration<double>(SteadyClock::now() - start).count();
            sample.playerCpu = bench::processCpuSeconds() - playerBefore;
            sample.serverCpu = cpuSecondsOf(server.pid()) - serverBefore;
            sample.shown = static_cast<double>(window.framesPresented() - shownBefore);
            sample.memoryMiB = trimmedResidentMiB() - memoryBefore;
        } else {
            std::fprintf(stderr, "the output window showed no pictures\n");
        }
        engine.outputs()[0]->frameServer().removeFeed(feed.get());
    }
    engine.displayLink()->stop();
    engine.resetOutputs();
    mainQueue.drain();
    VideoPlayer::waitForStoppedPipelines();
    return sample;
}

struct Player {
    const char* name;
    const char* convert;  // nullptr: mpv
    std::vector<Sample> samples;
};

double medianOf(const std::vector<Sample>& samples, double (Sample::*figure)() const) {
    std::vector<double> values;
    for (const Sample& sample : samples) {
        if (sample.valid()) values.push_back((sample.*figure)());
    }
    return values.empty() ? 0.0 : bench::median(values);
}

std::string spreadOf(const std::vector<Sample>& samples, double (Sample::*figure)() const) {
    std::vector<double> values;
    for (const Sample& sample : samples) {
        if (sample.valid()) values.push_back((sample.*figure)());
    }
    if (values.empty()) return "no run";
    const auto [low, high] = std::minmax_element(values.begin(), values.end());
    char text[64];
    std::snprintf(text, sizeof text, "%.1f-%.1f", *low, *high);
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 8.0;
    int runs = 3;
    std::string onlyMovie;   // a part of the file name
    std::string onlyPlayer;  // a part of the player's name
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--seconds") == 0) {
            seconds = std::max(1.0, std::atof(argv[i + 1]));
        } else if (std::strcmp(argv[i], "--runs") == 0) {
            runs = std::max(1, std::atoi(argv[i + 1]));
        } else if (std::strcmp(argv[i], "--movie") == 0) {
            onlyMovie = argv[i + 1];
        } else if (std::strcmp(argv[i], "--player") == 0) {
            onlyPlayer = argv[i + 1];
        }
    }
    for (const char* program : {"Xvfb", "mpv"}) {
        if (!test::programOnPath(program)) {
            std::printf("skipped: no %s (./scripts/install-packages.sh installs it)\n", program);
            return 0;
        }
    }
    const std::optional<std::string> media = bench::makeTestMedia(true);
    if (!media) return 1;
    test::TempDir folder;
    XServer server;
    if (!server.start(folder)) {
        std::fprintf(stderr, "Xvfb did not start (see %s)\n", (folder.path() / "xvfb.log").c_str());
        return 1;
    }
    ::setenv("DISPLAY", server.display().c_str(), 1);
    ::unsetenv("WAYLAND_DISPLAY");
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    ::setenv("BEAMWRIGHT_AUDIO_SINK", "fakesink", 1);
    QGuiApplication application(argc, argv);
    std::printf("GL_RENDERER (render core): %s; X screen %dx%d (Xvfb %s); %.0f s a run, %d runs\n",
                RenderContext::shared().renderer().c_str(), kScreen.width, kScreen.height,
                server.display().c_str(), seconds, runs);

    for (const char* file : {"bench-1080p30.mp4", "bench-2160p30.mp4"}) {
        const std::string movie = *media + "/" + file;
        if (std::string(file).find(onlyMovie) == std::string::npos) continue;
        if (!std::filesystem::exists(movie)) {
            std::printf("%s: skipped, not made (x264enc missing?)\n", file);
            continue;
        }
        std::vector<Player> players{{"mpv --vo=x11 (baseline)", nullptr, {}},
                                    {"Beamwright, its own choice", "", {}},
                                    {"Beamwright, RGBA in the pipeline", "1", {}},
                                    {"Beamwright, planes in the mixer", "0", {}}};
        // The first movie of a kind in a process also pays what stays once
        // paid (the decoder's plugin and tables, the renderer's programs for
        // its pictures, threads): it is played once first, and what it added
        // is printed apart.
        for (const Player& player : players) {
            if (player.convert == nullptr ||
                std::string(player.name).find(onlyPlayer) == std::string::npos)
                continue;
            const Sample first = playBeamwright(movie, server, player.convert, 2.0);
            std::printf("  %s first movie of the process, not counted: %.1f MiB added\n", file,
                        first.memoryMiB);
            break;
        }
        for (int run = 0; run < runs; ++run) {
            for (Player& player : players) {
                if (std::string(player.name).find(onlyPlayer) == std::string::npos) continue;
                player.samples.push_back(
                    player.convert == nullptr
                        ? playMpv(movie, server, folder, seconds)
                        : playBeamwright(movie, server, player.convert, seconds));
                const Sample& sample = player.samples.back();
                std::printf(
                    "  %s run %d %-34s %6.2f ms a picture (+ X server %5.2f), %5.1f a second, "
                    "%.1f MiB\n",
                    file, run + 1, player.name, sample.valid() ? sample.playerMsPerPicture() : 0.0,
                    sample.valid() ? sample.totalMsPerPicture() - sample.playerMsPerPicture() : 0.0,
                    sample.valid() ? sample.picturesPerSecond() : 0.0, sample.memoryMiB);
                std::fflush(stdout);
            }
        }
        std::printf("%s, full screen, median of %d (range), CPU ms per picture shown:\n", file,
                    runs);
        const double mpvPlayer = medianOf(players[0].samples, &Sample::playerMsPerPicture);
        const double mpvTotal = medianOf(players[0].samples, &Sample::totalMsPerPicture);
        const double mpvMemory = medianOf(players[0].samples, &Sample::memory);
        for (const Player& player : players) {
            if (player.samples.empty()) continue;
            const double memory = medianOf(player.samples, &Sample::memory);
            std::printf(
                "  %-34s memory %s %6.1f MiB (%s)%s\n", player.name,
                player.convert == nullptr ? "in use" : "added by the movie", memory,
                spreadOf(player.samples, &Sample::memory).c_str(),
                player.convert == nullptr || mpvMemory <= 0
                    ? ""
                    : (" ratio to mpv " + std::to_string(memory / mpvMemory).substr(0, 4) + "x")
                          .c_str());
            const double own = medianOf(player.samples, &Sample::playerMsPerPicture);
            const double total = medianOf(player.samples, &Sample::totalMsPerPicture);
            std::printf(
                "  %-34s player %6.2f (%s), with the X server %6.2f (%s), %5.1f pictures a "
                "second; ratio to mpv %.2fx, with the X server %.2fx\n",
                player.name, own, spreadOf(player.samples, &Sample::playerMsPerPicture).c_str(),
                total, spreadOf(player.samples, &Sample::totalMsPerPicture).c_str(),
                medianOf(player.samples, &Sample::picturesPerSecond),
                mpvPlayer > 0 ? own / mpvPlayer : 0.0, mpvTotal > 0 ? total / mpvTotal : 0.0);
        }
    }
    std::printf(
        "aim: Beamwright's own choice at most 2.0x mpv, and at least 29 pictures a second\n");
    return 0;
}
