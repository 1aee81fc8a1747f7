// Still images on a 1920x1080 output, in two parts, each against a baseline
// measured in the same run.
//
// Ken Burns: one output tick (the crop, the "Mix" scene, publishing) showing a
// 6000x4000 photo with Ken Burns, against the same tick showing a 1920x1080
// photo with the same motion (same random numbers). Ticks of both sides
// alternate. For reference, the crop rendered at the photo's own size, as
// it was before, is timed too.
//
// A cut to a still: the 6000x4000 photo decoded at the size the output needs
// against decoded whole (the player given no output size), timed from the
// player's construction to the end of its decode; then the delay from GO to
// the first refresh that shows it, on the engine ticking on 60 Hz deadlines,
// for a cue armed a second before GO and for a cue loaded at GO (as
// "/cue N" does; fade 0). Delays are in milliseconds and in refresh slots.
//
// The photos are made once into a temporary folder (a smooth gradient with
// fine noise, saved as JPEG at quality 90). Figures are medians.
//
// bench_still_image [--ticks N] [--runs N]

#include <gdk-pixbuf/gdk-pixbuf.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "engine/MediaEngine.h"
#include "engine/MediaOutput.h"
#include "media/ImagePlayer.h"
#include "media/KenBurnsMotion.h"
#include "platform/Clock.h"
#include "platform/GLibHandle.h"
#include "platform/MainQueue.h"
#include "platform/NotificationCenter.h"
#include "render/GpuBufferPool.h"
#include "render/RenderContext.h"
#include "render/ShaderScene.h"
#include "show/CueStack.h"
#include "show/ShowStatus.h"
#include "support/TempDir.h"

namespace {

using namespace bw;
using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

double millisecondsSince(SteadyClock::time_point start) {
    return std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count();
}

// A photo-like JPEG: a diagonal gradient with per-pixel noise, so that the
// decoder has real detail to work through.
bool makePhoto(const std::filesystem::path& path, PixelSize size) {
    GObjectPtr<GdkPixbuf> picture(
        gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, size.width, size.height));
    if (!picture) return false;
    std::minstd_rand noise(1);
    guint8* pixels = gdk_pixbuf_get_pixels(picture.get());
    const int stride = gdk_pixbuf_get_rowstride(picture.get());
    for (int y = 0; y < size.height; ++y) {
        guint8* row = pixels + static_cast<std::ptrdiff_t>(y) * stride;
        for (int x = 0; x < size.width; ++x) {
            const int n = static_cast<int>(noise() % 24);
            row[x * 3] = static_cast<guint8>(x * 200 / size.width + n);
            row[x * 3 + 1] = static_cast<guint8>(y * 200 / size.height + n);
            row[x * 3 + 2] = static_cast<guint8>((x + y) * 100 / (size.width + size.height) + n);
        }
    }
    return gdk_pixbuf_save(picture.get(), path.c_str(), "jpeg", nullptr, "quality", "90", nullptr);
}

MediaOutputState stillState(const std::filesystem::path& path, bool kenBurns) {
    MediaOutputState state;
    state.mediaURL = MediaURL::fileURL(path.string());
    state.kenBurns = kenBurns;
    return state;
}

// The same random numbers for every motion, so both sides move alike.
KenBurnsMotion::RandomSource sameMotion() {
    return [engine = std::mt19937(42)]() mutable { return static_cast<std::uint32_t>(engine()); };
}

std::shared_ptr<ImagePlayer> decodedPlayer(const std::filesystem::path& path, PixelSize output) {
    auto player =
        std::make_shared<ImagePlayer>(MediaURL::fileURL(path.string()), true, output, sameMotion());
    player->waitUntilDecoded(120s);
    player->warmUp();
    return player;
}

void kenBurnsPart(const std::filesystem::path& large, const std::filesystem::path& fullHd,
                  int ticks) {
    MediaOutput largeOutput("still-large", bench::kFullHd.width, bench::kFullHd.height);
    MediaOutput fullHdOutput("still-fullhd", bench::kFullHd.width, bench::kFullHd.height);
    const auto largePlayer = decodedPlayer(large, bench::kFullHd);
    const auto fullHdPlayer = decodedPlayer(fullHd, bench::kFullHd);
    largeOutput.replaceRunningPlayer(largePlayer);
    fullHdOutput.replaceRunningPlayer(fullHdPlayer);

    DisplayTimeStamp stamp;
    stamp.refreshPeriod = 16'666'667;
    std::vector<double> largeMs;
    std::vector<double> fullHdMs;
    for (int t = -4; t < ticks; ++t) {
        ++stamp.frameNumber;
        auto start = SteadyClock::now();
        fullHdOutput.render(stamp, std::nullopt);
        const double fullHdTick = millisecondsSince(start);
        start = SteadyClock::now();
        largeOutput.render(stamp, std::nullopt);
        const double largeTick = millisecondsSince(start);
        if (t >= 0) {
            fullHdMs.push_back(fullHdTick);
            largeMs.push_back(largeTick);
        }
    }

    // The crop at the photo's own size, as every frame was rendered before.
    ShaderScene& crop = ShaderScene::cropScene();
    const auto whole =
        std::make_shared<ImagePlayer>(MediaURL::fileURL(large.string()), false, PixelSize{});
    whole->waitUntilDecoded(120s);
    whole->warmUp();
    std::vector<double> wholeMs;
    KenBurnsMotion motion(sameMotion());
    for (int t = 0; t < 5 && whole->buffer(); ++t) {
        const CropRect rect = motion.advance();
        const auto start = SteadyClock::now();
        crop.setValue("inputImage", whole->buffer());
        crop.setValue("left", static_cast<double>(rect.left));
        crop.setValue("right", static_cast<double>(rect.right));
        crop.setValue("top", static_cast<double>(rect.top));
        crop.setValue("bottom", static_cast<double>(rect.bottom));
        GpuBufferRef rendered = crop.allocAndRenderToBufferSized(whole->buffer()->size());
        glFinish();
        wholeMs.push_back(millisecondsSince(start));
        crop.setValue("inputImage", GpuBufferRef());
    }

    const double largeMedian = bench::median(largeMs);
    const double fullHdMedian = bench::median(fullHdMs);
    std::printf("Ken Burns on a 1920x1080 output, %d ticks each, alternating\n", ticks);
    std::printf("  1920x1080 photo (texture %dx%d)  tick median %8.2f ms\n",
                fullHdPlayer->buffer()->size().width, fullHdPlayer->buffer()->size().height,
                fullHdMedian);
    std::printf("  6000x4000 photo (texture %dx%d)  tick median %8.2f ms\n",
                largePlayer->buffer()->size().width, largePlayer->buffer()->size().height,
                largeMedian);
    std::printf("  ratio 6000x4000/1920x1080: %.2fx (aim: at most 1.20x)\n",
                largeMedian / fullHdMedian);
    if (!wholeMs.empty()) {
        std::printf("  for reference, the crop alone at 6000x4000 (as before): median %.2f ms\n",
                    bench::median(wholeMs));
    }
}

// The engine on 60 Hz deadlines, on this thread (it is main and render thread
// at once, as in the other engine benchmarks).
class StillCut {
public:
    StillCut() {
        engine_ = std::make_unique<MediaEngine>(
            MediaEngine::Parts{stack_, status_, clock_, nullptr, nullptr});
        output_ =
            std::make_shared<MediaOutput>("still-cut", bench::kFullHd.width, bench::kFullHd.height);
        engine_->addOutput(output_);
    }
    ~StillCut() {
        engine_.reset();
        MainQueue::shared().drain();
    }

    // Shows black, arms `state` (made at the output's size, or whole with
    // `whole`), ticks for `armedFor`, runs GO and ticks until the still is on
    // the output. Returns the delay from GO in milliseconds.
    double run(const MediaOutputState& state, bool whole, std::chrono::milliseconds armedFor,
               int& slots) {
        Cue black{1, "", 0.0, {MediaOutputState{}}};
        Cue still{2, "", 0.0, {state}};
        stack_.replaceCues({black, still});
        engine_->loadNextCue(black);
        engine_->go();
        tickFor(100ms);
        const auto arm = [&] {
            engine_->loadNextCue(still);
            if (whole) {
                output_->setNextPlayer(
                    std::make_shared<ImagePlayer>(state.mediaURL, state.kenBurns, PixelSize{}));
            }
        };
        if (armedFor > 0ms) {
            arm();
            tickFor(armedFor);
        }
        const auto go = SteadyClock::now();
        if (armedFor == 0ms) arm();
        engine_->go();
        for (;;) {
            tick();
            auto* running = dynamic_cast<ImagePlayer*>(output_->runningPlayer().get());
            if (running && running->buffer() && output_->players().size() == 1) break;
        }
        const double delay = millisecondsSince(go);
        slots = static_cast<int>((nextDeadline_ - go) / kPeriod);
        return delay;
    }

private:
    static constexpr std::chrono::nanoseconds kPeriod{16'666'667};

    // One tick at the next 60 Hz deadline; a late tick skips the slots it
    // missed, as the display link does.
    void tick() {
        const auto now = SteadyClock::now();
        if (nextDeadline_ < now) {
            nextDeadline_ += ((now - nextDeadline_) / kPeriod + 1) * kPeriod;
        }
        std::this_thread::sleep_until(nextDeadline_);
        DisplayTimeStamp stamp;
        stamp.hostTime = static_cast<std::uint64_t>(clock_.hostTimeNanoseconds());
        stamp.refreshPeriod = kPeriod.count();
        engine_->renderFrame(stamp);
        MainQueue::shared().drain();
        nextDeadline_ += kPeriod;
    }
    void tickFor(std::chrono::milliseconds length) {
        const auto end = SteadyClock::now() + length;
        while (SteadyClock::now() < end)
            tick();
    }

    NotificationCenter center_{MainQueue::shared()};
    ShowStatus status_{center_};
    CueStack stack_{status_};
    MonotonicClock clock_;
    std::unique_ptr<MediaEngine> engine_;
    std::shared_ptr<MediaOutput> output_;
    SteadyClock::time_point nextDeadline_ = SteadyClock::now();
};

void cutPart(const std::filesystem::path& large, int runs) {
    // Decode alone: construction to the end of the decode.
    std::vector<double> neededMs;
    std::vector<double> neededKenBurnsMs;
    std::vector<double> wholeMs;
    const MediaURL url = MediaURL::fileURL(large.string());
    for (int r = 0; r < runs; ++r) {
        auto start = SteadyClock::now();
        ImagePlayer(url, false, PixelSize{}).waitUntilDecoded(120s);
        wholeMs.push_back(millisecondsSince(start));
        start = SteadyClock::now();
        ImagePlayer(url, false, bench::kFullHd).waitUntilDecoded(120s);
        neededMs.push_back(millisecondsSince(start));
        start = SteadyClock::now();
        ImagePlayer(url, true, bench::kFullHd).waitUntilDecoded(120s);
        neededKenBurnsMs.push_back(millisecondsSince(start));
    }
    const double whole = bench::median(wholeMs);
    std::printf("Decoding the 6000x4000 photo for a 1920x1080 output, %d runs each\n", runs);
    std::printf("  whole (6000x4000)                    median %8.1f ms\n", whole);
    std::printf("  at the needed size, plain            median %8.1f ms  ratio %.2fx\n",
                bench::median(neededMs), bench::median(neededMs) / whole);
    std::printf("  at the needed size, Ken Burns        median %8.1f ms  ratio %.2fx\n",
                bench::median(neededKenBurnsMs), bench::median(neededKenBurnsMs) / whole);

    StillCut cut;
    struct Case {
        const char* name;
        bool kenBurns;
        bool whole;
        std::chrono::milliseconds armedFor;
    };
    const Case cases[] = {
        {"armed 1 s before GO, plain, needed size", false, false, 1000ms},
        {"armed 1 s before GO, plain, whole      ", false, true, 1000ms},
        {"armed 1 s before GO, Ken Burns, needed ", true, false, 1000ms},
        {"armed 1 s before GO, Ken Burns, whole  ", true, true, 1000ms},
        {"loaded at GO, plain, needed size       ", false, false, 0ms},
        {"loaded at GO, plain, whole             ", false, true, 0ms},
        {"loaded at GO, Ken Burns, needed size   ", true, false, 0ms},
        {"loaded at GO, Ken Burns, whole         ", true, true, 0ms},
    };
    std::printf("From GO to the first refresh showing it (60 Hz deadlines, fade 0), %d runs\n",
                runs);
    for (const Case& c : cases) {
        std::vector<double> delays;
        std::vector<double> slots;
        for (int r = 0; r < runs; ++r) {
            int slotCount = 0;
            delays.push_back(
                cut.run(stillState(large, c.kenBurns), c.whole, c.armedFor, slotCount));
            slots.push_back(slotCount);
        }
        std::printf("  %s  median %8.1f ms  %5.0f refreshes\n", c.name, bench::median(delays),
                    bench::median(slots));
    }
}

}  // namespace

int main(int argc, char** argv) {
    int ticks = 30;
    int runs = 5;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--ticks") == 0) {
            ticks = std::max(3, std::atoi(argv[i + 1]));
        } else if (std::strcmp(argv[i], "--runs") == 0) {
            runs = std::max(1, std::atoi(argv[i + 1]));
        }
    }
    MainQueue::shared();
    test::PipeWireDaemon daemon;
    if (test::programOnPath("pipewire")) daemon.start();
    RenderContext& context = RenderContext::shared();
    if (!context.makeCurrent()) {
        std::fprintf(stderr, "cannot make the GL context current\n");
        return 1;
    }
    GpuBufferPool::createGlobal(context);
    test::TempDir dir;
    const auto large = dir / "large.jpg";
    const auto fullHd = dir / "fullhd.jpg";
    if (!makePhoto(large, {6000, 4000}) || !makePhoto(fullHd, bench::kFullHd)) {
        std::fprintf(stderr, "cannot make the photos\n");
        return 1;
    }
    std::printf("GL_RENDERER: %s\n", context.renderer().c_str());
    kenBurnsPart(large, fullHd, ticks);
    cutPart(large, runs);
    return 0;
}
