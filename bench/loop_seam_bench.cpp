// Gaps at the loop seam of looped movies, one per codec the machine can make.
//
// A VideoPlayer plays each movie (2 s, 25 fps) looped for --loops passes
// (default 3) plus a little; the render loop asks for a frame every
// millisecond and notes when a new picture arrives. For the frames around each
// seam (within a quarter second of the moment a pass ends) it reports the
// largest gap between new pictures in frame durations (1.0 is a seamless
// loop); the largest gap inside the passes, away from the seams, is the
// baseline measured in the same run.
//
// Usage: bench_loop_seam [--loops N]

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "media/VideoPlayer.h"
#include "render/GpuBufferPool.h"
#include "render/RenderContext.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr double kFrameSeconds = 1.0 / 25.0;
constexpr double kMovieSeconds = 2.0;

}  // namespace

int main(int argc, char** argv) {
    int loops = 3;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--loops") == 0 && i + 1 < argc) {
            loops = std::max(1, std::atoi(argv[++i]));
        } else {
            std::fprintf(stderr, "usage: %s [--loops N]\n", argv[0]);
            return 2;
        }
    }
    const std::optional<std::string> mediaFolder = bw::bench::makeTestMedia(false);
    if (!mediaFolder) {
        return 1;
    }
    const std::string& media = *mediaFolder;
    ::setenv("BEAMWRIGHT_AUDIO_SINK", "fakesink", 0);
    bw::RenderContext& context = bw::RenderContext::shared();
    if (!context.makeCurrent()) {
        std::fprintf(stderr, "no GL context\n");
        return 1;
    }
    bw::GpuBufferPool::createGlobal(context);

    std::printf("%-18s %6s %12s %12s %12s\n", "movie", "loops", "seam max", "seam median",
                "inside max");
    for (const char* name :
         {"movie-h264.mp4", "movie-hevc.mkv", "movie-prores.mov", "movie-vp8.webm",
          "movie-vp9.webm", "movie-mjpeg.avi", "movie-hap.mov", "movie-sound.mkv"}) {
        const std::string path = media + "/" + std::string(name);
        if (!std::filesystem::exists(path)) {
            std::printf("%-18s not made on this machine\n", name);
            continue;
        }
        bw::VideoPlayer player(bw::MediaURL::fileURL(path), false, true);
        // Wait for the prerolled picture, then play.
        const auto prerollDeadline = Clock::now() + std::chrono::seconds(10);
        while (!player.frameForTime({}) && Clock::now() < prerollDeadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        player.play();
        const auto start = Clock::now();
        const double runSeconds = kMovieSeconds * loops + 0.5;
        std::vector<double> arrivals;
        bw::GpuBufferRef last = player.frameForTime({});
        while (std::chrono::duration<double>(Clock::now() - start).count() < runSeconds) {
            bw::GpuBufferRef frame = player.frameForTime({});
            if (frame != last) {
                arrivals.push_back(std::chrono::duration<double>(Clock::now() - start).count());
                last = frame;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (arrivals.size() < 2) {
            std::printf("%-18s no pictures\n", name);
            continue;
        }
        // A gap belongs to the seam when it ends within a quarter second of a
        // pass boundary (k * 2 s after the first new picture's pass began).
        const double origin = arrivals.front() - kFrameSeconds;
        std::vector<double> seamGaps;
        std::vector<double> insideGaps;
        for (std::size_t i = 1; i < arrivals.size(); ++i) {
            const double gap = (arrivals[i] - arrivals[i - 1]) / kFrameSeconds;
            const double intoPass = std::fmod(arrivals[i] - origin, kMovieSeconds);
            const bool nearSeam = intoPass < 0.25 || intoPass > kMovieSeconds - 0.25;
            (nearSeam && arrivals[i] > kMovieSeconds - 0.25 ? seamGaps : insideGaps).push_back(gap);
        }
        const double seamMax =
            seamGaps.empty() ? 0 : *std::max_element(seamGaps.begin(), seamGaps.end());
        const double insideMax =
            insideGaps.empty() ? 0 : *std::max_element(insideGaps.begin(), insideGaps.end());
        std::printf("%-18s %6llu %12.2f %12.2f %12.2f\n", name,
                    static_cast<unsigned long long>(player.loopCount()), seamMax,
                    seamGaps.empty() ? 0 : bw::bench::median(seamGaps), insideMax);
    }
    std::printf("gaps in frame durations (40 ms); 1.00 is every frame on time\n");
    bw::VideoPlayer::waitForStoppedPipelines();
    return 0;
}
