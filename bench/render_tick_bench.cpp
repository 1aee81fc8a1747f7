// The cost of one render tick for N outputs of 1920x1080 (N = 1, 2, 4, 8),
// against the floor measured in the same run with bare GL calls:
//
// - crossfading: per output, the "Mix" scene blending two pictures into a
//   pooled buffer, then publishing it (pixel-buffer readback, BGRA copy into
//   the PipeWire node) and the pool's housekeeping; the floor is one
//   two-texture blend pass into a fixed framebuffer plus one glReadPixels;
// - standing still (crossfade 0, one picture): the same calls; the floor is
//   one plain textured draw plus one glReadPixels;
// - held: what an output does on a tick where nothing changed (a still
//   after its first frame): no mix, and its standing frame handed to the
//   frame server as unchanged. Its cost is printed against the crossfading
//   tick's of the same run (aim: under 5 %); the floor is the still one.
//
// Publishing runs against a private PipeWire daemon with a consumer linked to
// every output (pipewiresrc into fakesink), so frames really are copied into
// the consumers' buffers. Ticks of the two sides alternate; figures are
// medians. The GL renderer is printed: on llvmpipe (no GPU) every pass and
// readback is CPU work.
//
// bench_render_tick [--ticks N] [--outputs 1,2,4,8] [--no-consumers]

#include <epoxy/gl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "render/GlObject.h"
#include "render/GpuBufferPool.h"
#include "render/RenderContext.h"
#include "render/ShaderScene.h"
#include "sharing/FrameServer.h"
#include "sharing/PipeWireConnection.h"
#include "sharing/support/PipeWireDaemon.h"

namespace {

using namespace bw;
using bench::BareGl;
using bench::median;
using bench::pattern;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr PixelSize kSize = bench::kFullHd;

// What the engine's outputs do each tick.
class Outputs {
public:
    Outputs(GpuBufferRef a, GpuBufferRef b, int count) : a_(std::move(a)), b_(std::move(b)) {
        for (int i = 0; i < count; ++i) {
            servers_.push_back(
                std::make_unique<FrameServer>("bench-output-" + std::to_string(i + 1), kSize));
        }
        outputBuffers_.resize(static_cast<std::size_t>(count));
    }

    enum class Mode { Crossfading, Still, Held };

    void tick(Mode mode) {
        ShaderScene& mix = ShaderScene::mixScene();
        const bool crossfading = mode == Mode::Crossfading;
        for (std::size_t i = 0; i < servers_.size(); ++i) {
            if (mode == Mode::Held && outputBuffers_[i]) {
                const auto start = Clock::now();
                servers_[i]->publishFrame(*outputBuffers_[i], false);
                publishMs_.push_back(
                    std::chrono::duration<double, std::milli>(Clock::now() - start).count());
                GpuBufferPool::global().housekeeping();
                continue;
            }
            mix.setValue("crossfade", crossfading ? 0.37 : 0.0);
            mix.setValue("inputImage", a_);
            mix.setValue("input2Image", crossfading ? b_ : a_);
            outputBuffers_[i] = mix.allocAndRenderToBufferSized(kSize);
            const auto start = Clock::now();
            servers_[i]->publishFrame(*outputBuffers_[i]);
            publishMs_.push_back(
                std::chrono::duration<double, std::milli>(Clock::now() - start).count());
            GpuBufferPool::global().housekeeping();
        }
    }

    // Time spent in publishFrame (readback, copy to the node) since the last call.
    double takePublishMedianMs() {
        const double value = median(publishMs_);
        publishMs_.clear();
        return value;
    }

    std::uint64_t published() const {
        std::uint64_t total = 0;
        for (const auto& server : servers_) {
            total += server->framesPublished();
        }
        return total;
    }
    std::uint64_t dropped() const {
        std::uint64_t total = 0;
        for (const auto& server : servers_) {
            total += server->framesDropped();
        }
        return total;
    }

private:
    GpuBufferRef a_;
    GpuBufferRef b_;
    std::vector<std::unique_ptr<FrameServer>> servers_;
    std::vector<GpuBufferRef> outputBuffers_;
    std::vector<double> publishMs_;
};

}  // namespace

int main(int argc, char** argv) {
    int ticks = 12;
    std::vector<int> outputCounts = {1, 2, 4, 8};
    bool wantConsumers = true;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--no-consumers") == 0) {
            wantConsumers = false;
        }
    }
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--ticks") == 0) {
            ticks = std::max(3, std::atoi(argv[i + 1]));
        } else if (std::strcmp(argv[i], "--outputs") == 0) {
            outputCounts.clear();
            std::stringstream list(argv[i + 1]);
            for (std::string item; std::getline(list, item, ',');) {
                outputCounts.push_back(std::max(1, std::atoi(item.c_str())));
            }
        }
    }

    test::PipeWireDaemon daemon;
    const bool haveDaemon = test::programOnPath("pipewire") && daemon.start();
    const bool haveConsumers = wantConsumers && haveDaemon && test::havePipeWireSource();

    RenderContext& context = RenderContext::shared();
    if (!context.makeCurrent()) {
        std::fprintf(stderr, "cannot make the GL context current\n");
        return 1;
    }
    GpuBufferPool::createGlobal(context);
    std::printf("GL_RENDERER: %s (%s, %s)\n", context.renderer().c_str(), context.version().c_str(),
                context.platform().c_str());
    std::printf("publishing: %s\n", haveConsumers
                                        ? "private PipeWire daemon, one consumer per output"
                                        : "no consumers (frames are dropped)");
    std::printf("%d ticks per case, medians in ms\n\n", ticks);
    std::printf("%8s %-12s %10s %10s %7s %10s %10s\n", "outputs", "case", "floor", "engine",
                "ratio", "publish/1", "published");

    const std::vector<std::uint8_t> pixelsA = pattern(1);
    const std::vector<std::uint8_t> pixelsB = pattern(2);
    GpuBufferPool& pool = GpuBufferPool::global();
    GpuBufferRef a = pool.allocBufferWithPixels(pixelsA.data(), kSize, kSize.width * 4u);
    GpuBufferRef b = pool.allocBufferWithPixels(pixelsB.data(), kSize, kSize.width * 4u);

    for (int count : outputCounts) {
        BareGl floor(a->name(), b->name(), count);
        Outputs outputs(a, b, count);
        std::vector<std::unique_ptr<test::ChildProcess>> consumers;
        if (haveConsumers) {
            for (int i = 0; i < count; ++i) {
                consumers.push_back(
                    bench::startConsumer("bench-output-" + std::to_string(i + 1), kSize));
            }
        }
        double crossfadingMedian = 0;
        for (const Outputs::Mode mode :
             {Outputs::Mode::Crossfading, Outputs::Mode::Still, Outputs::Mode::Held}) {
            const bool crossfading = mode == Outputs::Mode::Crossfading;
            for (int warmUp = 0; warmUp < 5; ++warmUp) {
                floor.tick(crossfading);
                outputs.tick(mode);
            }
            outputs.takePublishMedianMs();
            const std::uint64_t publishedBefore = outputs.published();
            const std::uint64_t droppedBefore = outputs.dropped();
            std::vector<double> floorMs;
            std::vector<double> engineMs;
            for (int t = 0; t < ticks; ++t) {
                auto start = Clock::now();
                floor.tick(crossfading);
                floorMs.push_back(
                    std::chrono::duration<double, std::milli>(Clock::now() - start).count());
                start = Clock::now();
                outputs.tick(mode);
                engineMs.push_back(
                    std::chrono::duration<double, std::milli>(Clock::now() - start).count());
            }
            const double floorMedian = median(floorMs);
            const double engineMedian = median(engineMs);
            const std::uint64_t published = outputs.published() - publishedBefore;
            const std::uint64_t dropped = outputs.dropped() - droppedBefore;
            const char* name = crossfading                    ? "crossfading"
                               : mode == Outputs::Mode::Still ? "still"
                                                              : "held";
            std::printf("%8d %-12s %10.2f %10.2f %6.2fx %10.2f %5llu/%llu\n", count, name,
                        floorMedian, engineMedian, engineMedian / floorMedian,
                        outputs.takePublishMedianMs(), static_cast<unsigned long long>(published),
                        static_cast<unsigned long long>(published + dropped));
            if (crossfading) crossfadingMedian = engineMedian;
            if (mode == Outputs::Mode::Held)
                std::printf("%8d held/crossfading %.3f (aim: under 0.05)\n", count,
                            engineMedian / crossfadingMedian);
        }
    }
    std::printf("\naim: engine/floor at most 1.20x crossfading and still\n");
    return 0;
}
