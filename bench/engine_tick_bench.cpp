// The engine's tick with 4 outputs of 1920x1080 crossfading generators (the
// alignment grid into black), against the render core's floor measured in the
// same run: 4 two-texture blend passes plus 4 glReadPixels with bare GL.
//
// The engine's tick does everything a show does: fade progress from the
// media clock, each output's frame requests, the "Mix" scene, publishing
// through PipeWire (a private daemon, a pipewiresrc consumer linked to every
// output) and the pool's housekeeping. Ticks of both sides alternate; the
// media clock moves one refresh per tick; figures are medians.
//
// bench_engine_tick [--ticks N] [--outputs N]

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "engine/MediaEngine.h"
#include "engine/MediaOutput.h"
#include "platform/Clock.h"
#include "platform/MainQueue.h"
#include "platform/NotificationCenter.h"
#include "render/GpuBufferPool.h"
#include "render/RenderContext.h"
#include "sharing/FrameServer.h"
#include "show/CueStack.h"
#include "show/ShowStatus.h"

namespace {

using namespace bw;
using SteadyClock = std::chrono::steady_clock;

Cue cueShowing(double id, double fadeLength, const char* url, int outputs) {
    MediaOutputState state;
    state.mediaURL = *MediaURL::fromString(url);
    return Cue{id, "", fadeLength,
               std::vector<MediaOutputState>(static_cast<std::size_t>(outputs), state)};
}

}  // namespace

int main(int argc, char** argv) {
    int ticks = 20;
    int outputCount = 4;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--ticks") == 0) {
            ticks = std::max(3, std::atoi(argv[i + 1]));
        } else if (std::strcmp(argv[i], "--outputs") == 0) {
            outputCount = std::max(1, std::atoi(argv[i + 1]));
        }
    }
    MainQueue& mainQueue = MainQueue::shared();
    test::PipeWireDaemon daemon;
    const bool haveConsumers =
        test::programOnPath("pipewire") && daemon.start() && test::havePipeWireSource();

    RenderContext& context = RenderContext::shared();
    if (!context.makeCurrent()) {
        std::fprintf(stderr, "cannot make the GL context current\n");
        return 1;
    }
    NotificationCenter center(mainQueue);
    ShowStatus status(center);
    CueStack stack(status);
    ManualClock clock(1'000'000'000);
    MediaEngine engine(MediaEngine::Parts{stack, status, clock, nullptr, nullptr});
    std::vector<std::shared_ptr<MediaOutput>> outputs;
    for (int i = 0; i < outputCount; ++i) {
        outputs.push_back(std::make_shared<MediaOutput>(
            "engine-" + std::to_string(i + 1), bench::kFullHd.width, bench::kFullHd.height));
    }
    engine.loadOutputs(outputs);
    stack.replaceCues(
        {cueShowing(1, 0.0, "grid://", outputCount), cueShowing(2, 1e6, "black://", outputCount)});
    std::vector<std::unique_ptr<test::ChildProcess>> consumers;
    if (haveConsumers) {
        for (int i = 0; i < outputCount; ++i) {
            consumers.push_back(
                bench::startConsumer("engine-" + std::to_string(i + 1), bench::kFullHd));
        }
    }

    DisplayTimeStamp stamp;
    stamp.refreshPeriod = 16'666'667;
    auto engineTick = [&] {
        clock.advance(std::chrono::nanoseconds(stamp.refreshPeriod));
        stamp.hostTime = static_cast<std::uint64_t>(clock.hostTimeNanoseconds());
        ++stamp.frameNumber;
        engine.renderFrame(stamp);
        mainQueue.drain();
    };
    engine.go();  // cue 1, a cut
    engineTick();
    engineTick();
    engine.go();  // cue 2: a crossfade that lasts the whole run
    const std::vector<std::uint8_t> pixelsA = bench::pattern(1);
    const std::vector<std::uint8_t> pixelsB = bench::pattern(2);
    GpuBufferRef a = GpuBufferPool::global().allocBufferWithPixels(pixelsA.data(), bench::kFullHd,
                                                                   bench::kFullHd.width * 4u);
    GpuBufferRef b = GpuBufferPool::global().allocBufferWithPixels(pixelsB.data(), bench::kFullHd,
                                                                   bench::kFullHd.width * 4u);
    bench::BareGl floor(a->name(), b->name(), outputCount);

    for (int warmUp = 0; warmUp < 8; ++warmUp) {
        floor.tick(true);
        engineTick();
    }
    std::vector<double> floorMs;
    std::vector<double> engineMs;
    for (int t = 0; t < ticks; ++t) {
        auto start = SteadyClock::now();
        floor.tick(true);
        floorMs.push_back(
            std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count());
        start = SteadyClock::now();
        engineTick();
        engineMs.push_back(
            std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count());
    }
    const double progress = engine.fadeTransitionProgress().value_or(-1.0);
    std::uint64_t published = 0;
    for (const auto& output : outputs) {
        published += output->frameServer().framesPublished();
    }
    std::printf("GL_RENDERER: %s\n", context.renderer().c_str());
    std::printf("%d outputs of 1920x1080 crossfading generators (progress %.2e), %d ticks, %s\n",
                outputCount, progress, ticks,
                haveConsumers ? "a consumer linked to every output" : "no consumers");
    const double floorMedian = bench::median(floorMs);
    const double engineMedian = bench::median(engineMs);
    std::printf("floor  (bare GL blend + readback)  median %8.2f ms\n", floorMedian);
    std::printf("engine (renderFrame)               median %8.2f ms\n", engineMedian);
    std::printf("ratio engine/floor: %.2fx (aim: at most 1.20x); frames published: %llu\n",
                engineMedian / floorMedian, static_cast<unsigned long long>(published));
    return 0;
}
