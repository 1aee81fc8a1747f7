// Loading a large show: from load() to "ShowDidLoad" for a show of 1,000
// cues on 4 outputs over 200 distinct media files (100 stills, 100 movies),
// with a fresh thumbnail cache each time. The thumbnail prefill runs on one
// worker per core against a single worker, alternating, in the same run.
//
// bench_show_load [--rounds N] [--workers N]

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "document/Show.h"
#include "engine/MediaEngine.h"
#include "media/Thumbnail.h"
#include "platform/Clock.h"
#include "platform/MainQueue.h"
#include "platform/NotificationCenter.h"
#include "render/RenderContext.h"
#include "show/CueStack.h"
#include "show/ShowFile.h"
#include "show/ShowStatus.h"
#include "support/TempDir.h"

namespace {

using namespace bw;
using namespace std::chrono_literals;
namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;

constexpr int kCues = 1000;
constexpr int kOutputs = 4;
constexpr int kStills = 100;
constexpr int kMovies = 100;

// 100 copies of a small still and 100 of a small movie (distinct files, so
// each is decoded), and a show naming them in turn.
std::string makeShow(const test::TempDir& dir, const fs::path& media) {
    fs::create_directories(dir / "media");
    for (int k = 0; k < kStills; ++k) {
        fs::copy_file(media / "image.jpg", dir / ("media/still-" + std::to_string(k) + ".jpg"));
    }
    for (int k = 0; k < kMovies; ++k) {
        fs::copy_file(media / "movie-h264.mp4", dir / ("media/movie-" + std::to_string(k) + ".mp4"));
    }
    std::vector<OutputConfig> outputs;
    for (int j = 0; j < kOutputs; ++j) {
        outputs.push_back({"Output " + std::to_string(j + 1), 64, 36});
    }
    const std::string showPath = (dir / "large.bwshow").string();
    std::vector<Cue> cues;
    for (int i = 0; i < kCues; ++i) {
        Cue cue{static_cast<double>(i + 1), "Cue " + std::to_string(i + 1), 1.0, {}};
        for (int j = 0; j < kOutputs; ++j) {
            const int k = (i * kOutputs + j) % (kStills + kMovies);
            const std::string name = k < kStills ? "media/still-" + std::to_string(k) + ".jpg"
                                                 : "media/movie-" + std::to_string(k - kStills) + ".mp4";
            MediaOutputState state;
            state.mediaURL = MediaURL::fileURL((dir / name).string());
            cue.outputStates.push_back(state);
        }
        cues.push_back(std::move(cue));
    }
    const EncodedShow encoded = ShowFile::encode(outputs, cues, showPath);
    if (!encoded.ok) {
        std::fprintf(stderr, "cannot encode the show: %s\n", encoded.failure.c_str());
        std::exit(1);
    }
    dir.write("large.bwshow", encoded.json);
    return showPath;
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = 3;
    std::size_t workers = Show::defaultThumbnailWorkers();
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
            rounds = std::max(1, std::atoi(argv[++i]));
        } else if (std::strcmp(argv[i], "--workers") == 0 && i + 1 < argc) {
            workers = static_cast<std::size_t>(std::max(1, std::atoi(argv[++i])));
        } else {
            std::fprintf(stderr, "usage: %s [--rounds N] [--workers N]\n", argv[0]);
            return 2;
        }
    }
    const auto media = bench::makeTestMedia(false);
    if (!media) return 1;

    MainQueue& mainQueue = MainQueue::shared();
    NotificationCenter center(mainQueue);
    ShowStatus status(center);
    CueStack stack(status);
    MediaEngine engine(MediaEngine::Parts{stack, status, systemClock(), nullptr, nullptr});
    test::TempDir dir;
    const std::string showPath = makeShow(dir, *media);

    bool loaded = false;
    center.addObserver("ShowDidLoad", [&](const Notification&) { loaded = true; });

    // One load with `threads` prefill workers and an empty cache; seconds.
    auto loadOnce = [&](std::size_t threads) {
        Thumbnail cache;
        Show show(Show::Parts{engine, stack, status, mainQueue,
                              [&cache](const MediaURL& url) { cache.thumbnailForURL(url); },
                              nullptr, threads});
        loaded = false;
        const auto start = SteadyClock::now();
        show.load(showPath);
        mainQueue.pumpUntil([&] { return loaded; }, 600s);
        const double seconds = std::chrono::duration<double>(SteadyClock::now() - start).count();
        if (!loaded || stack.cues().size() != kCues || cache.madeCount() != kStills + kMovies) {
            std::fprintf(stderr, "the load did not complete: %zu cues, %zu thumbnails made\n",
                         stack.cues().size(), cache.madeCount());
            std::exit(1);
        }
        show.reset();
        return seconds;
    };

    std::printf("show: %d cues x %d outputs over %d files (%d stills, %d movies); %u cores\n",
                kCues, kOutputs, kStills + kMovies, kStills, kMovies,
                std::thread::hardware_concurrency());
    std::vector<double> single;
    std::vector<double> parallel;
    for (int round = 0; round < rounds; ++round) {
        single.push_back(loadOnce(1));
        parallel.push_back(loadOnce(workers));
        std::printf("round %d: 1 worker %.2f s, %zu workers %.2f s\n", round + 1, single.back(),
                    workers, parallel.back());
    }
    const double singleMedian = bench::median(single);
    const double parallelMedian = bench::median(parallel);
    std::printf("median load to ShowDidLoad: 1 worker %.2f s, %zu workers %.2f s\n", singleMedian,
                workers, parallelMedian);
    std::printf("ratio parallel/single: %.2f (%.2fx faster)\n", parallelMedian / singleMedian,
                singleMedian / parallelMedian);
    return 0;
}
