// GO to the picture on a projector: from engine.go() to the completed swap
// of the first frame of the fade in a full-screen output window, against GO
// to the hand-over of that same frame to PipeWire (a private daemon with a
// consumer linked), measured on the same GOs. The window path adds the copy
// into the window's feed, the wake-up of its presenting thread, the upload
// into its own GL context, the blit and the swap.
//
// Needs an X display for the window: run it under `xvfb-run -a` where there
// is none (on Xvfb a swap does not wait for a vertical blank, so the figure is
// the cost of the path, not a display's latency).
//
// bench_output_window_latency [--gos N] [--width W --height H]

#include <QGuiApplication>
#include <QScreen>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <random>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "engine/MediaEngine.h"
#include "engine/MediaOutput.h"
#include "platform/Clock.h"
#include "platform/MainQueue.h"
#include "platform/NotificationCenter.h"
#include "render/RenderContext.h"
#include "sharing/FrameFeed.h"
#include "sharing/FrameServer.h"
#include "show/CueStack.h"
#include "show/ShowStatus.h"
#include "ui/outputs/OutputWindow.h"

namespace {

using namespace bw;
using namespace std::chrono_literals;

std::uint64_t monotonicNow() {
    return static_cast<std::uint64_t>(MonotonicClock().hostTimeNanoseconds());
}

// What one GO's first fade frame did, in CLOCK_MONOTONIC nanoseconds.
class GoLog {
public:
    // Render thread, after each tick: the first tick with fade progress
    // published the first fade frame, as feed sequence `sequence`.
    void ticked(std::optional<double> progress, std::uint64_t sequence) {
        std::lock_guard lock(mutex_);
        fading_ = progress.has_value();
        if (progress && *progress > 0.0 && !published_) {
            published_ = monotonicNow();
            sequence_ = sequence;
        }
    }
    // Presenting thread, after each swap.
    void presented(std::uint64_t sequence, std::uint64_t swappedAt) {
        std::lock_guard lock(mutex_);
        if (published_ && !swapped_ && sequence >= sequence_) swapped_ = swappedAt;
    }
    void reset() {
        std::lock_guard lock(mutex_);
        published_.reset();
        swapped_.reset();
    }
    std::optional<std::uint64_t> published() const {
        std::lock_guard lock(mutex_);
        return published_;
    }
    std::optional<std::uint64_t> swapped() const {
        std::lock_guard lock(mutex_);
        return swapped_;
    }
    bool fading() const {
        std::lock_guard lock(mutex_);
        return fading_;
    }

private:
    mutable std::mutex mutex_;
    std::optional<std::uint64_t> published_;
    std::optional<std::uint64_t> swapped_;
    std::uint64_t sequence_ = 0;
    bool fading_ = false;
};

Cue cueShowing(double id, const char* url) {
    MediaOutputState state;
    state.mediaURL = *MediaURL::fromString(url);
    return Cue{id, "", 0.05, {state}};
}

}  // namespace

int main(int argc, char** argv) {
    int gos = 100;
    PixelSize size{0, 0};
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--gos") == 0) {
            gos = std::max(10, std::atoi(argv[i + 1]));
        } else if (std::strcmp(argv[i], "--width") == 0) {
            size.width = std::max(1, std::atoi(argv[i + 1]));
        } else if (std::strcmp(argv[i], "--height") == 0) {
            size.height = std::max(1, std::atoi(argv[i + 1]));
        }
    }
    if (std::getenv("DISPLAY") == nullptr && std::getenv("WAYLAND_DISPLAY") == nullptr) {
        std::fprintf(stderr, "no display: run under xvfb-run -a\n");
        return 1;
    }
    QGuiApplication application(argc, argv);
    QScreen* screen = QGuiApplication::primaryScreen();
    // By default the output matches the screen, as a projector's would.
    if (size.isEmpty()) size = PixelSize{screen->size().width(), screen->size().height()};

    MainQueue& mainQueue = MainQueue::shared();
    test::PipeWireDaemon daemon;
    const bool haveConsumer =
        test::programOnPath("pipewire") && daemon.start() && test::havePipeWireSource();
    NotificationCenter center(mainQueue);
    ShowStatus status(center);
    CueStack stack(status);
    auto link = std::make_unique<DisplayLink>(60.0);
    const double period = static_cast<double>(link->refreshPeriodNs());
    MediaEngine engine(MediaEngine::Parts{stack, status, systemClock(), nullptr, std::move(link)});
    engine.loadOutputs({std::make_shared<MediaOutput>("Projector", size.width, size.height)});
    stack.replaceCues({cueShowing(1, "grid://"), cueShowing(2, "black://")});
    std::unique_ptr<test::ChildProcess> consumer;
    if (haveConsumer) consumer = bench::startConsumer("Projector", size);

    OutputWindow window(screen, QStringLiteral("Projector"), {}, {});
    GoLog log;
    window.setPresentedCallback([&log](std::uint64_t sequence, std::uint64_t, std::uint64_t swapped) {
        log.presented(sequence, swapped);
    });
    const std::shared_ptr<FrameFeed> feed = window.feed();
    engine.displayLink()->stop();
    engine.setTickObserver([&log, &feed](const DisplayTimeStamp&, std::optional<double> progress) {
        log.ticked(progress, feed->framesPut());
    });
    engine.displayLink()->start();
    engine.outputs()[0]->frameServer().addFeed(feed);
    window.start();
    mainQueue.pumpUntil([&] { return window.framesPresented() > 30; }, 10s);

    std::mt19937 random(11);
    std::uniform_int_distribution<int> phaseMicroseconds(0, 16'667);
    std::vector<double> toPublished;
    std::vector<double> toSwapped;
    std::vector<double> extra;
    for (int i = 0; i < gos + 5; ++i) {
        mainQueue.pumpUntil([&] { return !log.fading() && engine.nextCue().has_value(); }, 5s);
        std::this_thread::sleep_for(std::chrono::microseconds(phaseMicroseconds(random)));
        log.reset();
        const std::uint64_t sent = monotonicNow();
        engine.go();
        mainQueue.pumpUntil([&] { return log.swapped().has_value(); }, 5s);
        const std::optional<std::uint64_t> published = log.published();
        const std::optional<std::uint64_t> swapped = log.swapped();
        if (i < 5 || !published || !swapped) continue;  // warm-up
        toPublished.push_back(static_cast<double>(*published - sent) / period);
        toSwapped.push_back(static_cast<double>(*swapped - sent) / period);
        extra.push_back(static_cast<double>(*swapped - *published) / period);
    }
    engine.outputs()[0]->frameServer().removeFeed(feed.get());

    std::printf("GL_RENDERER (render core): %s; window platform: %s\n",
                RenderContext::shared().renderer().c_str(),
                QGuiApplication::platformName().toUtf8().constData());
    std::printf("%zu GOs, one %dx%d output on a %dx%d screen, 60 Hz, %s\n", toSwapped.size(),
                size.width, size.height, screen->size().width(), screen->size().height(),
                haveConsumer ? "a PipeWire consumer linked" : "no PipeWire consumer");
    std::printf("GO -> frame handed to PipeWire (baseline)  median %5.2f  p99 %5.2f refreshes\n",
                bench::median(toPublished), bench::percentile(toPublished, 0.99));
    std::printf("GO -> swap done in the output window       median %5.2f  p99 %5.2f refreshes\n",
                bench::median(toSwapped), bench::percentile(toSwapped, 0.99));
    std::printf("  the window's part (hand-over to swap)    median %5.2f  p99 %5.2f refreshes\n",
                bench::median(extra), bench::percentile(extra, 0.99));
    std::printf("ratio of medians: %.2fx; aim: the window at most 1 refresh behind PipeWire\n",
                bench::median(toSwapped) / bench::median(toPublished));
    return 0;
}
