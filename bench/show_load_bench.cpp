// Loading a large show: from load() to "ShowDidLoad" for a show of 1,000
// cues on 4 outputs over 200 distinct media files (100 stills, 100 movies),
// with a fresh thumbnail cache each time. The thumbnail prefill runs on one
// worker per core against a single worker, alternating, in the same run.
//
// Then real movies: a show over N distinct 1080p movies (links to
// bench-1080p30.mp4 under other names), loaded with a fresh thumbnail cache
// over an empty disk folder (cold), then again over the folder that load
// filled (warm, as when a show is reopened): the process's CPU time per movie
// thumbnail, and warm against cold. And the CPU time of one thumbnail of a
// 6000x4000 JPEG still.
//
// bench_show_load [--rounds N] [--workers N] [--movies N]

#include <algorithm>
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

// "median M (min A, max B)" of values in milliseconds.
std::string spread(const std::vector<double>& values) {
    char text[96];
    std::snprintf(text, sizeof text, "median %.1f ms (min %.1f, max %.1f)", bench::median(values),
                  *std::min_element(values.begin(), values.end()),
                  *std::max_element(values.begin(), values.end()));
    return text;
}

// A show of one cue per movie, each on one output.
std::string encodeShow(const test::TempDir& dir, const std::string& name,
                       const std::vector<fs::path>& files, std::vector<OutputConfig> outputs,
                       int cues) {
    const std::string showPath = (dir / name).string();
    std::vector<Cue> list;
    for (int i = 0; i < cues; ++i) {
        Cue cue{static_cast<double>(i + 1), "Cue " + std::to_string(i + 1), 1.0, {}};
        for (std::size_t j = 0; j < outputs.size(); ++j) {
            MediaOutputState state;
            state.mediaURL = MediaURL::fileURL(
                files[(static_cast<std::size_t>(i) * outputs.size() + j) % files.size()].string());
            cue.outputStates.push_back(state);
        }
        list.push_back(std::move(cue));
    }
    const EncodedShow encoded = ShowFile::encode(outputs, list, showPath);
    if (!encoded.ok) {
        std::fprintf(stderr, "cannot encode the show: %s\n", encoded.failure.c_str());
        std::exit(1);
    }
    dir.write(name, encoded.json);
    return showPath;
}

// `count` distinct names for the 1080p bench movie: hard links where the
// folder allows, else copies.
std::vector<fs::path> linkMovies(const test::TempDir& dir, const fs::path& movie, int count) {
    fs::create_directories(dir / "movies");
    std::vector<fs::path> files;
    for (int k = 0; k < count; ++k) {
        const fs::path file = dir / ("movies/movie-" + std::to_string(k) + ".mp4");
        std::error_code error;
        fs::create_hard_link(movie, file, error);
        if (error) fs::copy_file(movie, file);
        files.push_back(file);
    }
    return files;
}

// 100 copies of a small still and 100 of a small movie (distinct files, so
// each is decoded), and a show naming them in turn.
std::string makeShow(const test::TempDir& dir, const fs::path& media) {
    fs::create_directories(dir / "media");
    for (int k = 0; k < kStills; ++k) {
        fs::copy_file(media / "image.jpg", dir / ("media/still-" + std::to_string(k) + ".jpg"));
    }
    for (int k = 0; k < kMovies; ++k) {
        fs::copy_file(media / "movie-h264.mp4",
                      dir / ("media/movie-" + std::to_string(k) + ".mp4"));
    }
    std::vector<OutputConfig> outputs;
    for (int j = 0; j < kOutputs; ++j) {
        outputs.push_back({"Output " + std::to_string(j + 1), 64, 36});
    }
    std::vector<fs::path> files;
    for (int k = 0; k < kStills; ++k) {
        files.push_back(dir / ("media/still-" + std::to_string(k) + ".jpg"));
    }
    for (int k = 0; k < kMovies; ++k) {
        files.push_back(dir / ("media/movie-" + std::to_string(k) + ".mp4"));
    }
    return encodeShow(dir, "large.bwshow", files, std::move(outputs), kCues);
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = 3;
    int movies = 20;
    std::size_t workers = Show::defaultThumbnailWorkers();
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
            rounds = std::max(1, std::atoi(argv[++i]));
        } else if (std::strcmp(argv[i], "--workers") == 0 && i + 1 < argc) {
            workers = static_cast<std::size_t>(std::max(1, std::atoi(argv[++i])));
        } else if (std::strcmp(argv[i], "--movies") == 0 && i + 1 < argc) {
            movies = std::max(1, std::atoi(argv[++i]));
        } else {
            std::fprintf(stderr, "usage: %s [--rounds N] [--workers N] [--movies N]\n", argv[0]);
            return 2;
        }
    }
    const auto media = bench::makeTestMedia(true);
    if (!media) return 1;
    const fs::path benchMovie = fs::path(*media) / "bench-1080p30.mp4";
    if (!fs::exists(benchMovie)) {
        std::fprintf(stderr, "%s was not made (no H.264 encoder)\n", benchMovie.c_str());
        return 1;
    }

    MainQueue& mainQueue = MainQueue::shared();
    NotificationCenter center(mainQueue);
    ShowStatus status(center);
    CueStack stack(status);
    MediaEngine engine(MediaEngine::Parts{stack, status, systemClock(), nullptr, nullptr});
    test::TempDir dir;
    const std::string showPath = makeShow(dir, *media);
    const std::vector<fs::path> movieFiles = linkMovies(dir, benchMovie, movies);
    const std::string movieShowPath =
        encodeShow(dir, "movies.bwshow", movieFiles, {{"Output 1", 1920, 1080}}, movies);

    bool loaded = false;
    center.addObserver("ShowDidLoad", [&](const Notification&) { loaded = true; });

    // One load of `path` with `threads` prefill workers into `cache`, which
    // must then have made `made` thumbnails; seconds.
    auto load = [&](const std::string& path, std::size_t threads, Thumbnail& cache,
                    std::size_t cues, std::size_t made) {
        Show show(Show::Parts{engine, stack, status, mainQueue,
                              [&cache](const MediaURL& url) { cache.thumbnailForURL(url); },
                              nullptr, threads});
        loaded = false;
        const auto start = SteadyClock::now();
        show.load(path);
        mainQueue.pumpUntil([&] { return loaded; }, 600s);
        const double seconds = std::chrono::duration<double>(SteadyClock::now() - start).count();
        if (!loaded || stack.cues().size() != cues ||
            cache.madeCount() + cache.diskHitCount() != made) {
            std::fprintf(stderr, "the load did not complete: %zu cues, %zu thumbnails made\n",
                         stack.cues().size(), cache.madeCount() + cache.diskHitCount());
            std::exit(1);
        }
        show.reset();
        return seconds;
    };
    // The large show with an empty cache.
    auto loadOnce = [&](std::size_t threads) {
        Thumbnail cache;
        return load(showPath, threads, cache, kCues, kStills + kMovies);
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

    // Real movies: CPU time of the whole load, per movie thumbnail.
    std::printf(
        "\nshow: %d cues over %d distinct 1920x1080 movies (bench-1080p30.mp4), %zu workers\n",
        movies, movies, workers);
    const auto count = static_cast<std::size_t>(movies);
    std::vector<double> cold;
    std::vector<double> warm;
    for (int round = 0; round < rounds; ++round) {
        test::TempDir diskCache;
        auto cpuPerMovie = [&](std::size_t expectDecoded) {
            Thumbnail cache(diskCache.path());
            const double cpuBefore = bench::processCpuSeconds();
            const double seconds = load(movieShowPath, workers, cache, count, count);
            if (cache.madeCount() != expectDecoded) {
                std::fprintf(stderr, "%zu movies decoded, expected %zu\n", cache.madeCount(),
                             expectDecoded);
                std::exit(1);
            }
            return std::pair{(bench::processCpuSeconds() - cpuBefore) * 1000.0 / movies, seconds};
        };
        const auto [coldMs, coldSeconds] = cpuPerMovie(count);
        const auto [warmMs, warmSeconds] = cpuPerMovie(0);
        cold.push_back(coldMs);
        warm.push_back(warmMs);
        std::printf(
            "round %d: CPU per movie thumbnail cold %.1f ms (load %.2f s), warm %.2f ms "
            "(load %.2f s)\n",
            round + 1, coldMs, coldSeconds, warmMs, warmSeconds);
    }
    std::printf("CPU per movie thumbnail, cold disk cache: %s\n", spread(cold).c_str());
    std::printf("CPU per movie thumbnail, warm disk cache: %s\n", spread(warm).c_str());
    std::printf("ratio warm/cold: %.3f (%.0fx less)\n", bench::median(warm) / bench::median(cold),
                bench::median(cold) / bench::median(warm));

    // One thumbnail of a 6000x4000 JPEG, without the cache.
    const std::string largeStill = (fs::path(*media) / "image-large.jpg").string();
    std::vector<double> still;
    for (int round = 0; round < rounds; ++round) {
        const double cpuBefore = bench::processCpuSeconds();
        if (!Thumbnail::makeImageThumbnail(largeStill)) {
            std::fprintf(stderr, "cannot make the thumbnail of %s\n", largeStill.c_str());
            return 1;
        }
        still.push_back((bench::processCpuSeconds() - cpuBefore) * 1000.0);
    }
    std::printf("CPU per 6000x4000 still thumbnail: %s\n", spread(still).c_str());
    return 0;
}
