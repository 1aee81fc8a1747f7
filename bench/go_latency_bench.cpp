// GO latency: from a /go datagram leaving a UDP socket on loopback to the
// first published frame whose fade progress is above 0, in refresh
// intervals at 60 Hz. The whole path runs as in a show: the OSC server on the
// main queue, the network manager, the engine's GO, the display link's next
// tick, the mix and the hand-over of the frame to PipeWire (a private daemon
// with a consumer linked). GOs are sent at random phases of the refresh.
//
// Baseline, measured in the same run: the wait from a random moment to the
// end of the next tick of the same display link, the least any command
// reaching the render thread can take.
//
// At 640x360, 1280x720, 1920x1080 and 3840x2160 in turn, or at the one size
// given. Each GO is also split at the start of the tick that drew its first
// frame: what comes before is the wait for the tick (and the path to it), what
// comes after the tick's own mix and hand-over, which grows with the size.
//
// bench_go_latency [--gos N] [--width W --height H]

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "engine/MediaEngine.h"
#include "engine/MediaOutput.h"
#include "platform/Clock.h"
#include "platform/MainQueue.h"
#include "platform/NotificationCenter.h"
#include "remote/CREP.h"
#include "remote/NetworkManager.h"
#include "remote/osc/OscEncoder.h"
#include "render/RenderContext.h"
#include "show/CueStack.h"
#include "show/ShowStatus.h"

namespace {

using namespace bw;
using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

// What the render thread reports after each tick.
class TickLog {
public:
    void record(const DisplayTimeStamp& stamp, std::optional<double> progress) {
        std::lock_guard lock(mutex_);
        lastTickEnd_ = SteadyClock::now();
        ++ticks_;
        if (progress && *progress > 0.0 && !firstFadeFrame_) {
            firstFadeFrame_ = lastTickEnd_;
            // The tick began at its deadline, one period before the host time
            // of the frame it rendered.
            firstFadeTickStart_ = SteadyClock::time_point(
                std::chrono::nanoseconds(stamp.hostTime - stamp.refreshPeriod));
        }
        fading_ = progress.has_value();
    }
    void resetFade() {
        std::lock_guard lock(mutex_);
        firstFadeFrame_.reset();
    }
    std::optional<SteadyClock::time_point> firstFadeFrame() const {
        std::lock_guard lock(mutex_);
        return firstFadeFrame_;
    }
    SteadyClock::time_point firstFadeTickStart() const {
        std::lock_guard lock(mutex_);
        return firstFadeTickStart_;
    }
    bool fading() const {
        std::lock_guard lock(mutex_);
        return fading_;
    }
    std::uint64_t ticks() const {
        std::lock_guard lock(mutex_);
        return ticks_;
    }

private:
    mutable std::mutex mutex_;
    SteadyClock::time_point lastTickEnd_;
    std::optional<SteadyClock::time_point> firstFadeFrame_;
    SteadyClock::time_point firstFadeTickStart_;
    bool fading_ = false;
    std::uint64_t ticks_ = 0;
};

Cue cueShowing(double id, const char* url) {
    MediaOutputState state;
    state.mediaURL = *MediaURL::fromString(url);
    return Cue{id, "", 0.05, {state}};
}

// Whether a PipeWire consumer takes the frames (a private daemon runs).
bool haveConsumer = false;

// What the GOs at one output size measured, in refresh intervals.
struct Figures {
    std::vector<double> latencies;  // GO to the first published fade frame
    std::vector<double> untilTick;  // GO to the start of the tick that drew it
    std::vector<double> inTick;     // that tick's own work
    std::vector<double> baseline;   // a random moment to the end of the next tick
};

Figures measure(PixelSize size, int gos) {
    MainQueue& mainQueue = MainQueue::shared();
    NotificationCenter center(mainQueue);
    ShowStatus status(center);
    CueStack stack(status);
    auto link = std::make_unique<DisplayLink>(60.0);
    const double period = static_cast<double>(link->refreshPeriodNs()) * 1e-9;
    MediaEngine engine(MediaEngine::Parts{stack, status, systemClock(), nullptr, std::move(link)});
    TickLog log;
    engine.displayLink()->stop();
    engine.setTickObserver([&log](const DisplayTimeStamp& stamp, std::optional<double> progress) {
        log.record(stamp, progress);
    });
    engine.displayLink()->start();
    engine.loadOutputs({std::make_shared<MediaOutput>("Latency", size.width, size.height)});
    stack.replaceCues({cueShowing(1, "grid://"), cueShowing(2, "black://")});
    std::unique_ptr<test::ChildProcess> consumer;
    if (haveConsumer) {
        consumer = bench::startConsumer("Latency", size);
    }
    CREP crep(0, mainQueue, std::cerr);
    NetworkManager network(0, crep, [&engine]() -> MediaEngine& { return engine; });

    const int sender = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(network.oscPort());
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::vector<std::uint8_t> go;
    OscEncoder::appendString(go, "/go");
    OscEncoder::appendString(go, ",");

    std::mt19937 random(7);
    std::uniform_int_distribution<int> phaseMicroseconds(0, 16'667);
    Figures figures;
    mainQueue.pumpUntil([&] { return log.ticks() > 30; }, 10s);
    for (int i = 0; i < gos + 5; ++i) {
        // Let the last fade end and the next cue load, then wait a random
        // part of a refresh.
        mainQueue.pumpUntil([&] { return !log.fading() && engine.nextCue().has_value(); }, 5s);
        std::this_thread::sleep_for(std::chrono::microseconds(phaseMicroseconds(random)));

        // Baseline: from now to the end of the next tick.
        const std::uint64_t ticksBefore = log.ticks();
        const auto waitStart = SteadyClock::now();
        while (log.ticks() == ticksBefore) {
            std::this_thread::sleep_for(50us);
        }
        const auto waited = SteadyClock::now() - waitStart;
        std::this_thread::sleep_for(std::chrono::microseconds(phaseMicroseconds(random)));

        log.resetFade();
        const auto sent = SteadyClock::now();
        ::sendto(sender, go.data(), go.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                 sizeof to);
        mainQueue.pumpUntil([&] { return log.firstFadeFrame().has_value(); }, 5s);
        const auto shown = log.firstFadeFrame();
        if (i < 5 || !shown) {
            continue;  // warm-up
        }
        const auto refreshes = [period](auto duration) {
            return std::chrono::duration<double>(duration).count() / period;
        };
        figures.latencies.push_back(refreshes(*shown - sent));
        figures.untilTick.push_back(refreshes(log.firstFadeTickStart() - sent));
        figures.inTick.push_back(refreshes(*shown - log.firstFadeTickStart()));
        figures.baseline.push_back(refreshes(waited));
    }
    ::close(sender);
    engine.displayLink()->stop();
    return figures;
}

}  // namespace

int main(int argc, char** argv) {
    int gos = 200;
    std::vector<PixelSize> sizes{{640, 360}, {1280, 720}, {1920, 1080}, {3840, 2160}};
    PixelSize chosen{0, 0};
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--gos") == 0) {
            gos = std::max(10, std::atoi(argv[i + 1]));
        } else if (std::strcmp(argv[i], "--width") == 0) {
            chosen.width = std::max(1, std::atoi(argv[i + 1]));
        } else if (std::strcmp(argv[i], "--height") == 0) {
            chosen.height = std::max(1, std::atoi(argv[i + 1]));
        }
    }
    if (!chosen.isEmpty()) sizes = {chosen};
    test::PipeWireDaemon daemon;
    haveConsumer = test::programOnPath("pipewire") && daemon.start() && test::havePipeWireSource();

    std::printf("GL_RENDERER: %s\n", RenderContext::shared().renderer().c_str());
    for (const PixelSize size : sizes) {
        const Figures figures = measure(size, gos);
        std::printf("%zu GOs over OSC/UDP, one %dx%d output, 60 Hz, %s\n", figures.latencies.size(),
                    size.width, size.height,
                    haveConsumer ? "a consumer linked" : "no consumer (frames dropped)");
        std::printf(
            "  GO -> first published fade frame  median %5.2f  p99 %5.2f refresh intervals\n",
            bench::median(figures.latencies), bench::percentile(figures.latencies, 0.99));
        std::printf("  less the tick's own work           median %5.2f  p99 %5.2f (aim: under 1)\n",
                    bench::median(figures.untilTick), bench::percentile(figures.untilTick, 0.99));
        std::printf("  the tick's own work                median %5.2f  p99 %5.2f\n",
                    bench::median(figures.inTick), bench::percentile(figures.inTick, 0.99));
        std::printf("  baseline: wait for the next tick   median %5.2f  p99 %5.2f\n",
                    bench::median(figures.baseline), bench::percentile(figures.baseline, 0.99));
        std::printf("  ratio of medians: %.2fx; aim: median at most 1, p99 at most 2 intervals\n",
                    bench::median(figures.latencies) / bench::median(figures.baseline));
        std::fflush(stdout);
    }
    return 0;
}
