// What the patch view's live preview costs the render loop: one 1920x1080
// output's tick (the "Mix" scene into a pooled buffer, then publishing: the
// readback and the copy to the PipeWire node) with the preview on, at 15
// pictures a second fitted into 240x135, against the same tick without it.
//
// Two frame servers publish the same frame each tick, one with the preview
// and one without, in alternating order; ticks are paced at 60 Hz so that
// the preview is made at its real share of ticks. Figures are means over
// all ticks (a preview lands on one tick in four, so a median would hide
// it), and the added time is also given as a share of the 16.7 ms refresh.
//
// bench_preview_cost [--ticks N]

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "render/GpuBufferPool.h"
#include "render/RenderContext.h"
#include "render/ShaderScene.h"
#include "sharing/FrameServer.h"

namespace {

using namespace bw;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr PixelSize kSize = bench::kFullHd;
constexpr auto kRefresh = std::chrono::nanoseconds(16'666'667);

double mean(const std::vector<double>& values) {
    return values.empty() ? 0.0
                          : std::accumulate(values.begin(), values.end(), 0.0) /
                                static_cast<double>(values.size());
}

// One output tick: mixes `picture` and publishes it on `server`; returns ms.
double tick(FrameServer& server, const GpuBufferRef& picture) {
    const auto start = Clock::now();
    ShaderScene& mix = ShaderScene::mixScene();
    mix.setValue("crossfade", 0.0);
    mix.setValue("inputImage", picture);
    mix.setValue("input2Image", picture);
    GpuBufferRef frame = mix.allocAndRenderToBufferSized(kSize);
    server.publishFrame(*frame);
    GpuBufferPool::global().housekeeping();
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    int ticks = 240;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--ticks") == 0) ticks = std::max(8, std::atoi(argv[i + 1]));
    }
    RenderContext& context = RenderContext::shared();
    if (!context.makeCurrent()) {
        std::fprintf(stderr, "cannot make the GL context current\n");
        return 1;
    }
    GpuBufferPool::createGlobal(context);
    std::printf("GL_RENDERER: %s\n", context.renderer().c_str());

    const std::vector<std::uint8_t> pixels = bench::pattern(1);
    GpuBufferRef picture =
        GpuBufferPool::global().allocBufferWithPixels(pixels.data(), kSize, kSize.width * 4u);
    FrameServer plain("bench-preview-off", kSize);
    FrameServer previewed("bench-preview-on", kSize);
    previewed.startPreview({240, 135}, 15.0);
    for (int i = 0; i < 10; ++i) {
        tick(plain, picture);
        tick(previewed, picture);
    }
    const std::uint64_t madeBefore = previewed.previewsMade();

    std::vector<double> withoutMs;
    std::vector<double> withMs;
    const auto began = Clock::now();
    auto next = began;
    for (int t = 0; t < ticks; ++t) {
        // Alternate which goes first, so that neither always meets a warm cache.
        if (t % 2 == 0) {
            withoutMs.push_back(tick(plain, picture));
            withMs.push_back(tick(previewed, picture));
        } else {
            withMs.push_back(tick(previewed, picture));
            withoutMs.push_back(tick(plain, picture));
        }
        next += kRefresh;
        std::this_thread::sleep_until(next);
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - began).count();
    const double without = mean(withoutMs);
    const double with = mean(withMs);
    const double refreshMs = std::chrono::duration<double, std::milli>(kRefresh).count();
    std::printf("%d ticks in %.2f s (paced at 60 Hz where they fit), %llu previews made "
                "(%.1f a second)\n",
                ticks, seconds,
                static_cast<unsigned long long>(previewed.previewsMade() - madeBefore),
                static_cast<double>(previewed.previewsMade() - madeBefore) / seconds);
    std::printf("tick without preview %.3f ms, with preview %.3f ms (mean): ratio %.3fx\n",
                without, with, with / without);
    std::printf("added %.3f ms a tick: %.2f%% of the tick, %.2f%% of the refresh\n",
                with - without, 100.0 * (with - without) / without,
                100.0 * (with - without) / refreshMs);
    std::printf("aim: under 5%% of the render loop\n");
    return 0;
}
