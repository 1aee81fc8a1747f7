// How long GO holds the main thread with 8 outputs half-way through a
// crossfade of movies, with nothing armed: during a fade there is no next
// cue, so the GO runs the cue that follows, whose movies the engine made
// ahead when the fade began. The GO lets two playing movies go on every
// output and starts a third. Baseline, measured in the same run: the same
// GOs on 8 outputs that play generators. The display link ticks at 60 Hz
// all along, as on stage, so the render thread competes for the engine as
// it would.
//
// Wall-clock time includes the moments the loaded machine (two cores, with
// every movie decoding and the render thread mixing) runs other threads; the
// main thread's own CPU time shows what GO itself costs.
//
// bench_go_stall [--gos N] [--outputs N]

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
#include "show/CueStack.h"
#include "show/ShowStatus.h"

namespace {

using namespace bw;
using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

constexpr double kFadeSeconds = 0.4;

Cue cueShowing(double id, const std::string& url, std::size_t outputs) {
    MediaOutputState state;
    state.mediaURL = url.front() == '/' ? MediaURL::fileURL(url) : *MediaURL::fromString(url);
    state.muted = true;
    return Cue{id, "", kFadeSeconds, std::vector<MediaOutputState>(outputs, state)};
}

struct Timings {
    std::vector<double> milliseconds;     // wall clock
    std::vector<double> cpuMilliseconds;  // the main thread's own CPU time
    int midFadeUnarmed = 0;               // GOs that came mid-fade with no next cue
};

double threadCpuMilliseconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) * 1e-6;
}

// Runs `gos` GOs, each a fifth of a fade after the previous one, so that
// every GO interrupts a crossfade; returns how long each go() took.
Timings measure(const std::vector<std::string>& urls, std::size_t outputs, int gos) {
    MainQueue& mainQueue = MainQueue::shared();
    NotificationCenter center(mainQueue);
    ShowStatus status(center);
    CueStack stack(status);
    MediaEngine engine(MediaEngine::Parts{stack, status, systemClock(), nullptr,
                                          std::make_unique<DisplayLink>(60.0)});
    std::vector<std::shared_ptr<MediaOutput>> list;
    for (std::size_t j = 0; j < outputs; ++j) {
        list.push_back(std::make_shared<MediaOutput>("Stall " + std::to_string(j + 1), 160, 90));
    }
    engine.loadOutputs(list);
    std::vector<Cue> cues;
    for (std::size_t i = 0; i < urls.size(); ++i) {
        cues.push_back(cueShowing(static_cast<double>(i + 1), urls[i], outputs));
    }
    stack.replaceCues(cues);
    engine.loadNextCue(cues.front());

    Timings timings;
    for (int i = 0; i < gos + 3; ++i) {
        // Half a fade on stage, the main loop running as it would.
        mainQueue.pumpUntil([] { return false; }, std::chrono::milliseconds(
                                                      static_cast<int>(kFadeSeconds * 1000 / 2)));
        const bool midFadeUnarmed = !engine.nextCue() && engine.fadeTransitionProgress();
        const double cpuStart = threadCpuMilliseconds();
        const auto start = SteadyClock::now();
        engine.go();
        const auto took = SteadyClock::now() - start;
        const double cpu = threadCpuMilliseconds() - cpuStart;
        if (i == 0 && urls.front().front() == '/' &&
            !dynamic_cast<VideoPlayer*>(engine.outputs().front()->runningPlayer().get())) {
            std::fprintf(stderr, "the movie cues do not play movies\n");
            std::exit(1);
        }
        if (i >= 3) {  // warm-up
            timings.midFadeUnarmed += midFadeUnarmed ? 1 : 0;
            timings.milliseconds.push_back(std::chrono::duration<double, std::milli>(took).count());
            timings.cpuMilliseconds.push_back(cpu);
        }
    }
    engine.displayLink()->stop();
    engine.resetOutputs();
    mainQueue.drain();
    return timings;
}

void report(const char* name, const Timings& timings, std::size_t outputs) {
    std::printf(
        "%-22s GO median %7.3f ms  p99 %7.3f ms  (%.3f ms per output); main thread's CPU "
        "median %.3f ms; %d of %zu mid-fade with nothing armed\n",
        name, bench::median(timings.milliseconds), bench::percentile(timings.milliseconds, 0.99),
        bench::median(timings.milliseconds) / static_cast<double>(outputs),
        bench::median(timings.cpuMilliseconds), timings.midFadeUnarmed,
        timings.milliseconds.size());
}

}  // namespace

int main(int argc, char** argv) {
    int gos = 40;
    std::size_t outputs = 8;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--gos") == 0) {
            gos = std::max(5, std::atoi(argv[i + 1]));
        } else if (std::strcmp(argv[i], "--outputs") == 0) {
            outputs = static_cast<std::size_t>(std::max(1, std::atoi(argv[i + 1])));
        }
    }
    const std::optional<std::string> media = bench::makeTestMedia(false);
    if (!media) {
        return 1;
    }
    ::setenv("BEAMWRIGHT_AUDIO_SINK", "fakesink", 1);

    const Timings generators = measure({"grid://", "black://", "clear://"}, outputs, gos);
    const Timings movies = measure({*media + "/movie-h264.mp4", *media + "/movie-vp8.webm",
                                    *media + "/movie-long.mkv"},
                                   outputs, gos);
    VideoPlayer::waitForStoppedPipelines();

    std::printf("GL_RENDERER: %s\n", RenderContext::shared().renderer().c_str());
    std::printf("%d GOs, each half-way through a %.1f s crossfade, %zu outputs, 60 Hz\n", gos,
                kFadeSeconds, outputs);
    report("generators (baseline)", generators, outputs);
    report("movies", movies, outputs);
    std::printf("ratio of medians movies/generators: %.2fx; aim: well under 1 ms per output\n",
                bench::median(movies.milliseconds) / bench::median(generators.milliseconds));
    return 0;
}
