// Resident memory of a long-running looped movie.
//
// A VideoPlayer plays the 10-second test movie looped, with a frame asked for
// every 16 ms as a 60 Hz display would, for --minutes N (default 10). VmRSS is
// read after the first minute (the baseline, once everything is allocated) and
// at the end; the ratio end/baseline should stay near 1.0. With fewer than two
// minutes the baseline is taken halfway.
//
// Usage: bench_movie_memory [--minutes N]   (N may be fractional)

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "BenchSupport.h"
#include "media/VideoPlayer.h"
#include "render/GpuBufferPool.h"
#include "render/RenderContext.h"

namespace {

using Clock = std::chrono::steady_clock;

long residentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::atol(line.c_str() + 6);
        }
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    double minutes = 10;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--minutes") == 0 && i + 1 < argc) {
            minutes = std::max(0.05, std::atof(argv[++i]));
        } else {
            std::fprintf(stderr, "usage: %s [--minutes N]\n", argv[0]);
            return 2;
        }
    }
    const std::optional<std::string> mediaFolder = bw::bench::makeTestMedia(false);
    if (!mediaFolder) {
        return 1;
    }
    const std::string& media = *mediaFolder;
    const std::string path = media + "/movie-long.mkv";
    if (!std::filesystem::exists(path)) {
        std::fprintf(stderr, "no %s (x264enc missing?)\n", path.c_str());
        return 1;
    }
    ::setenv("BEAMWRIGHT_AUDIO_SINK", "fakesink", 0);
    bw::RenderContext& context = bw::RenderContext::shared();
    if (!context.makeCurrent()) {
        std::fprintf(stderr, "no GL context\n");
        return 1;
    }
    bw::GpuBufferPool::createGlobal(context);
    auto& pool = bw::GpuBufferPool::global();

    const double totalSeconds = minutes * 60;
    const double baselineSeconds = totalSeconds >= 120 ? 60 : totalSeconds / 2;
    bw::VideoPlayer player(bw::MediaURL::fileURL(path), false, true);
    player.play();
    const auto start = Clock::now();
    auto next = start;
    long baseline = -1;
    int tick = 0;
    while (true) {
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        if (elapsed >= totalSeconds) {
            break;
        }
        if (baseline < 0 && elapsed >= baselineSeconds) {
            baseline = residentKiB();
        }
        player.frameForTime({});
        if (++tick % 60 == 0) {
            pool.housekeeping();
        }
        next += std::chrono::microseconds(16667);
        std::this_thread::sleep_until(next);
    }
    const long end = residentKiB();
    std::printf("looped 10 s movie for %.1f min (%llu loops, %llu pictures)\n", minutes,
                static_cast<unsigned long long>(player.loopCount()),
                static_cast<unsigned long long>(player.framesDecoded()));
    std::printf("  VmRSS after %.1f min: %ld KiB\n", baselineSeconds / 60, baseline);
    std::printf("  VmRSS at the end:    %ld KiB\n", end);
    std::printf("  ratio end/baseline:  %.3f\n",
                static_cast<double>(end) / static_cast<double>(baseline));
    return 0;
}
