// How many 1080p30 movies the engine holds at full rate, each on its own
// 480x270 output, with no picture shown late; and the CPU time one 1080p
// movie costs per picture shown on a 1080p output. Each is measured for the
// pictures converted to RGBA on the CPU (BEAMWRIGHT_CONVERT_ON_CPU=1: the
// baseline; a software renderer's choice where the output has as many pixels
// as the movie) and for the planes uploaded as decoded and converted in the
// mixer (=0; its choice for smaller outputs), in the same run. The display
// link ticks at 60 Hz.
//
// A count is held when, over the measured seconds, every movie showed all of
// its pictures (30 a second, less one for where the window falls) and the
// display link skipped no refresh. Counts go up from one until one fails.
//
// bench_movie_outputs [--seconds N] [--most N] [--runs N]

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "engine/MediaEngine.h"
#include "engine/MediaOutput.h"
#include "media/VideoPlayer.h"
#include "platform/Clock.h"
#include "platform/MainQueue.h"
#include "platform/NotificationCenter.h"
#include "render/RenderContext.h"
#include "show/CueStack.h"
#include "show/ShowStatus.h"

namespace {

using namespace bw;
using namespace std::chrono_literals;

constexpr double kMovieRate = 30.0;

struct Trial {
    std::uint64_t fewestShown = 0;  // pictures shown by the movie that showed fewest
    std::uint64_t shownInAll = 0;
    std::uint64_t refreshesSkipped = 0;
    double cpuSeconds = 0;
    bool held = false;
};

// `count` outputs of `size`, each playing the movie at `path` looped, for
// `seconds` after it settles.
Trial play(const std::string& path, bool onCpu, std::size_t count, PixelSize size, double seconds) {
    if (onCpu) {
        ::setenv("BEAMWRIGHT_CONVERT_ON_CPU", "1", 1);
    } else {
        ::setenv("BEAMWRIGHT_CONVERT_ON_CPU", "0", 1);
    }
    MainQueue& mainQueue = MainQueue::shared();
    NotificationCenter center(mainQueue);
    ShowStatus status(center);
    CueStack stack(status);
    MediaEngine engine(MediaEngine::Parts{stack, status, systemClock(), nullptr,
                                          std::make_unique<DisplayLink>(60.0)});
    std::vector<std::shared_ptr<MediaOutput>> outputs;
    for (std::size_t j = 0; j < count; ++j) {
        outputs.push_back(std::make_shared<MediaOutput>("Movie " + std::to_string(j + 1),
                                                        size.width, size.height));
    }
    engine.loadOutputs(outputs);
    MediaOutputState state;
    state.mediaURL = MediaURL::fileURL(path);
    state.muted = true;
    state.looped = true;
    const Cue cue{1, "", 0.0, std::vector<MediaOutputState>(count, state)};
    stack.replaceCues({cue});
    engine.loadNextCue(cue);
    mainQueue.pumpUntil([] { return false; }, 1500ms);  // every movie prerolls
    engine.go();
    mainQueue.pumpUntil([] { return false; }, 1500ms);  // and settles into its pace

    const auto shownNow = [&] {
        std::vector<std::uint64_t> shown;
        for (const auto& output : engine.outputs()) {
            auto* player = dynamic_cast<VideoPlayer*>(output->runningPlayer().get());
            shown.push_back(player != nullptr ? player->framesDecoded() : 0);
        }
        return shown;
    };
    const std::vector<std::uint64_t> before = shownNow();
    engine.resetFrameStatistics();
    const double cpuBefore = bench::processCpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    mainQueue.pumpUntil([] { return false; },
                        std::chrono::milliseconds(static_cast<int>(seconds * 1000)));
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    Trial trial;
    trial.cpuSeconds = bench::processCpuSeconds() - cpuBefore;
    trial.refreshesSkipped = engine.framesDropped();
    const std::vector<std::uint64_t> after = shownNow();
    trial.fewestShown = ~std::uint64_t{0};
    for (std::size_t j = 0; j < after.size(); ++j) {
        trial.fewestShown = std::min(trial.fewestShown, after[j] - before[j]);
        trial.shownInAll += after[j] - before[j];
    }
    const auto due = static_cast<std::uint64_t>(std::floor(elapsed * kMovieRate));
    trial.held = trial.fewestShown + 1 >= due && trial.refreshesSkipped == 0;

    engine.displayLink()->stop();
    engine.resetOutputs();
    mainQueue.drain();
    VideoPlayer::waitForStoppedPipelines();
    return trial;
}

// The most movies held, counting up from one; 0 when even one is not.
std::size_t mostHeld(const std::string& path, bool onCpu, std::size_t most, double seconds) {
    std::size_t held = 0;
    for (std::size_t count = 1; count <= most; ++count) {
        const Trial trial = play(path, onCpu, count, {480, 270}, seconds);
        std::printf("  %-4s %zu movies: fewest shown %llu of %.0f, refreshes skipped %llu: %s\n",
                    onCpu ? "cpu" : "gpu", count,
                    static_cast<unsigned long long>(trial.fewestShown), seconds * kMovieRate,
                    static_cast<unsigned long long>(trial.refreshesSkipped),
                    trial.held ? "held" : "not held");
        std::fflush(stdout);
        if (!trial.held) break;
        held = count;
    }
    return held;
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 5.0;
    std::size_t most = 8;
    int runs = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--seconds") == 0) {
            seconds = std::max(1.0, std::atof(argv[i + 1]));
        } else if (std::strcmp(argv[i], "--most") == 0) {
            most = static_cast<std::size_t>(std::max(1, std::atoi(argv[i + 1])));
        } else if (std::strcmp(argv[i], "--runs") == 0) {
            runs = std::max(1, std::atoi(argv[i + 1]));
        }
    }
    const std::optional<std::string> media = bench::makeTestMedia(true);
    if (!media) return 1;
    const std::string path = *media + "/bench-1080p30.mp4";
    if (!std::filesystem::exists(path)) {
        std::fprintf(stderr, "no %s (x264enc missing?)\n", path.c_str());
        return 1;
    }
    ::setenv("BEAMWRIGHT_AUDIO_SINK", "fakesink", 1);
    std::printf("GL_RENDERER: %s\n", RenderContext::shared().renderer().c_str());

    std::printf("1080p30 H.264 movies, each on a 480x270 output, 60 Hz, %.0f s each:\n", seconds);
    const std::size_t cpuHeld = mostHeld(path, true, most, seconds);
    const std::size_t gpuHeld = mostHeld(path, false, most, seconds);

    std::printf(
        "movies held at 30 fps on 480x270 outputs: CPU conversion (baseline) %zu, "
        "planes converted in the mixer %zu\n",
        cpuHeld, gpuHeld);

    // The CPU time one movie costs, all threads together, per picture shown:
    // on a small output, where the mixer converts few pixels, and on a full
    // one, where it converts as many as the CPU conversion did.
    for (const PixelSize size : {PixelSize{480, 270}, bench::kFullHd}) {
        std::printf("one 1080p30 movie on a %dx%d output, CPU time per picture shown:\n",
                    size.width, size.height);
        std::vector<double> cpuPerPicture;
        std::vector<double> gpuPerPicture;
        for (int run = 0; run < runs; ++run) {
            for (const bool onCpu : {true, false}) {
                const Trial trial = play(path, onCpu, 1, size, seconds);
                const double perPicture =
                    trial.cpuSeconds * 1e3 /
                    static_cast<double>(std::max<std::uint64_t>(trial.shownInAll, 1));
                (onCpu ? cpuPerPicture : gpuPerPicture).push_back(perPicture);
                std::printf("  run %d %-4s %.2f ms a picture (%llu shown of %.0f, %.2f s CPU)\n",
                            run + 1, onCpu ? "cpu" : "gpu", perPicture,
                            static_cast<unsigned long long>(trial.shownInAll), seconds * kMovieRate,
                            trial.cpuSeconds);
                std::fflush(stdout);
            }
        }
        const double cpuMedian = bench::median(cpuPerPicture);
        const double gpuMedian = bench::median(gpuPerPicture);
        std::printf(
            "  median of %d: CPU conversion (baseline) %.2f ms, planes %.2f ms; ratio "
            "planes/baseline %.2f\n",
            runs, cpuMedian, gpuMedian, gpuMedian / cpuMedian);
    }
    return 0;
}
