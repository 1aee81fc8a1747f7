// What OSC feedback costs the show: GO latency and the render thread's tick
// with 64 live UDP subscribers, against the same with none, in one run.
//
// The show runs as go_latency's does: a /go datagram on loopback reaches the
// OSC server on the main queue, the network manager, the engine's GO, the
// display link's next tick, the mix and the hand-over to PipeWire (a private
// daemon with a consumer linked). ShowFeedback is attached to the network
// manager, so each GO, fade end and next cue is one bundle to every
// subscriber, and the crossfades (half a second by default) keep its 10 Hz
// ticks going. The subscribers are 64 UDP sockets on 127.0.0.1 that send
// /updates 1 and are drained by a thread of their own, counting bundles.
//
// GO latency: from the /go datagram leaving its socket to the end of the
// first tick whose fade progress is above 0. Tick: per tick during the
// crossfades, from the tick's deadline to the end of renderFrame (wake-up
// and any time the thread was kept off the CPU included), and the render
// thread's CPU time for the tick. The two conditions alternate in rounds
// (0, 64, then 64, 0, ...) so that drift on a busy machine falls on both;
// figures are medians over all rounds.
//
// bench_osc_feedback [--rounds R] [--gos N] [--fade SECONDS]
//                    [--width W --height H]
// N GOs per condition per round.

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>
#include <optional>
#include <random>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "engine/MediaEngine.h"
#include "engine/MediaOutput.h"
#include "engine/ShowFeedback.h"
#include "platform/Clock.h"
#include "platform/FileDescriptor.h"
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

constexpr int kSubscribers = 64;
constexpr std::array<int, 2> kConditions{0, kSubscribers};

double threadCpuMs() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) * 1e-6;
}

// What the render thread reports after each tick; the ticks of a crossfade
// are kept for the condition being measured (none: not kept).
class TickLog {
public:
    struct Times {
        std::vector<double> wallMs;
        std::vector<double> cpuMs;
    };

    // Render thread.
    void record(const DisplayTimeStamp& stamp, std::optional<double> progress) {
        const auto end = SteadyClock::now();
        const double cpu = threadCpuMs();
        std::lock_guard lock(mutex_);
        ++ticks_;
        const double cpuSpent = cpu - lastCpuMs_;
        lastCpuMs_ = cpu;
        if (progress && *progress > 0.0 && !firstFadeFrame_) {
            firstFadeFrame_ = end;
        }
        fading_ = progress.has_value();
        if (progress && condition_) {
            // The tick began at its deadline, one period before the host time
            // of the frame it rendered.
            const SteadyClock::time_point deadline(
                std::chrono::nanoseconds(stamp.hostTime - stamp.refreshPeriod));
            Times& times = times_[*condition_];
            times.wallMs.push_back(
                std::chrono::duration<double, std::milli>(end - deadline).count());
            times.cpuMs.push_back(cpuSpent);
        }
    }

    void setCondition(std::optional<std::size_t> condition) {
        std::lock_guard lock(mutex_);
        condition_ = condition;
    }
    void resetFade() {
        std::lock_guard lock(mutex_);
        firstFadeFrame_.reset();
    }
    std::optional<SteadyClock::time_point> firstFadeFrame() const {
        std::lock_guard lock(mutex_);
        return firstFadeFrame_;
    }
    bool fading() const {
        std::lock_guard lock(mutex_);
        return fading_;
    }
    std::uint64_t ticks() const {
        std::lock_guard lock(mutex_);
        return ticks_;
    }
    Times times(std::size_t condition) const {
        std::lock_guard lock(mutex_);
        return times_[condition];
    }

private:
    // Everything below is guarded by mutex_.
    mutable std::mutex mutex_;
    std::optional<SteadyClock::time_point> firstFadeFrame_;
    bool fading_ = false;
    std::uint64_t ticks_ = 0;
    double lastCpuMs_ = 0.0;
    std::optional<std::size_t> condition_;
    std::array<Times, kConditions.size()> times_;
};

// UDP controllers on 127.0.0.1, each with a socket of its own, drained by one
// thread that counts the bundles each receives. Subscribing and
// unsubscribing happen on the calling thread; the counts may be read from
// any.
class Subscribers {
public:
    Subscribers(int count, std::uint16_t serverPort) : counts_(static_cast<std::size_t>(count)) {
        server_.sin_family = AF_INET;
        server_.sin_port = htons(serverPort);
        server_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        for (int i = 0; i < count; ++i) {
            FileDescriptor socket(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
            sockaddr_in local{};
            local.sin_family = AF_INET;
            local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (!socket.valid() || ::bind(socket.get(), reinterpret_cast<const sockaddr*>(&local),
                                          sizeof local) != 0) {
                std::perror("subscriber socket");
                std::exit(1);
            }
            sockets_.push_back(std::move(socket));
        }
        int wake[2];
        if (::pipe2(wake, O_NONBLOCK | O_CLOEXEC) != 0) {
            std::perror("pipe2");
            std::exit(1);
        }
        wakeRead_.reset(wake[0]);
        wakeWrite_.reset(wake[1]);
        thread_ = std::thread([this] { drain(); });
    }
    ~Subscribers() {
        const char byte = 0;
        [[maybe_unused]] const ssize_t written = ::write(wakeWrite_.get(), &byte, 1);
        thread_.join();
    }
    Subscribers(const Subscribers&) = delete;
    Subscribers& operator=(const Subscribers&) = delete;

    // Every socket sends /updates `value`.
    void sendUpdates(std::int32_t value) {
        std::vector<std::uint8_t> message;
        OscEncoder::appendString(message, "/updates");
        OscEncoder::appendString(message, ",i");
        OscEncoder::appendInt32(message, value);
        for (const FileDescriptor& socket : sockets_) {
            ::sendto(socket.get(), message.data(), message.size(), 0,
                     reinterpret_cast<const sockaddr*>(&server_), sizeof server_);
        }
    }

    std::vector<std::uint64_t> counts() const {
        std::vector<std::uint64_t> counts;
        for (const auto& count : counts_)
            counts.push_back(count.load(std::memory_order_relaxed));
        return counts;
    }
    std::uint64_t total() const {
        std::uint64_t sum = 0;
        for (const auto& count : counts_)
            sum += count.load(std::memory_order_relaxed);
        return sum;
    }

private:
    void drain() {
        std::vector<pollfd> fds;
        for (const FileDescriptor& socket : sockets_)
            fds.push_back({socket.get(), POLLIN, 0});
        fds.push_back({wakeRead_.get(), POLLIN, 0});
        std::array<std::uint8_t, 65536> buffer{};
        static constexpr char kBundle[] = "#bundle";
        for (;;) {
            if (::poll(fds.data(), fds.size(), -1) < 0) continue;
            if (fds.back().revents != 0) return;
            for (std::size_t i = 0; i + 1 < fds.size(); ++i) {
                if (fds[i].revents == 0) continue;
                for (;;) {
                    const ssize_t n = ::recv(fds[i].fd, buffer.data(), buffer.size(), 0);
                    if (n < 0) break;
                    if (n >= static_cast<ssize_t>(sizeof kBundle) &&
                        std::memcmp(buffer.data(), kBundle, sizeof kBundle) == 0) {
                        counts_[i].fetch_add(1, std::memory_order_relaxed);
                    }
                }
            }
        }
    }

    sockaddr_in server_{};
    std::vector<FileDescriptor> sockets_;
    std::vector<std::atomic<std::uint64_t>> counts_;
    FileDescriptor wakeRead_;
    FileDescriptor wakeWrite_;
    std::thread thread_;
};

Cue cueShowing(double id, double fadeLength, const char* url) {
    MediaOutputState state;
    state.mediaURL = *MediaURL::fromString(url);
    return Cue{id, "", fadeLength, {state}};
}

// Iterates the main queue for `duration`.
void pumpFor(MainQueue& queue, std::chrono::milliseconds duration) {
    const auto until = SteadyClock::now() + duration;
    queue.pumpUntil([&] { return SteadyClock::now() >= until; }, duration + 1s);
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = 5;
    int gos = 20;
    double fadeSeconds = 0.5;
    PixelSize size{1280, 720};
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--rounds") == 0) {
            rounds = std::max(1, std::atoi(argv[i + 1]));
        } else if (std::strcmp(argv[i], "--gos") == 0) {
            gos = std::max(3, std::atoi(argv[i + 1]));
        } else if (std::strcmp(argv[i], "--fade") == 0) {
            fadeSeconds = std::max(0.05, std::atof(argv[i + 1]));
        } else if (std::strcmp(argv[i], "--width") == 0) {
            size.width = std::max(1, std::atoi(argv[i + 1]));
        } else if (std::strcmp(argv[i], "--height") == 0) {
            size.height = std::max(1, std::atoi(argv[i + 1]));
        }
    }
    MainQueue& mainQueue = MainQueue::shared();
    test::PipeWireDaemon daemon;
    const bool haveConsumer =
        test::programOnPath("pipewire") && daemon.start() && test::havePipeWireSource();

    NotificationCenter center(mainQueue);
    ShowStatus status(center);
    CueStack stack(status);
    MediaEngine engine(MediaEngine::Parts{stack, status, systemClock(), nullptr,
                                          std::make_unique<DisplayLink>(60.0)});
    TickLog log;
    engine.displayLink()->stop();
    engine.setTickObserver([&log](const DisplayTimeStamp& stamp, std::optional<double> progress) {
        log.record(stamp, progress);
    });
    engine.displayLink()->start();
    engine.loadOutputs({std::make_shared<MediaOutput>("Feedback", size.width, size.height)});
    stack.replaceCues(
        {cueShowing(1, fadeSeconds, "grid://"), cueShowing(2, fadeSeconds, "black://")});
    std::unique_ptr<test::ChildProcess> consumer;
    if (haveConsumer) {
        consumer = bench::startConsumer("Feedback", size);
    }
    CREP crep(0, mainQueue, std::cerr);
    NetworkManager network(0, crep, [&engine]() -> MediaEngine& { return engine; });
    ShowFeedback feedback(engine, center, mainQueue);
    feedback.attach(network);
    Subscribers subscribers(kSubscribers, network.oscPort());

    FileDescriptor sender(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(network.oscPort());
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::vector<std::uint8_t> go;
    OscEncoder::appendString(go, "/go");
    OscEncoder::appendString(go, ",");

    std::mt19937 random(7);
    std::uniform_int_distribution<int> phaseMicroseconds(0, 16'667);
    std::array<std::vector<double>, kConditions.size()> latencyMs;
    std::array<std::uint64_t, kConditions.size()> bundles{};
    std::array<std::uint64_t, kConditions.size()> missed{};
    std::uint64_t leastPerSubscriber = ~std::uint64_t{0};

    // One GO as a controller sends it, once the last fade has ended and the
    // next cue is loaded, at a random phase of the refresh; the latency in
    // ms, none when no fade frame came.
    auto timedGo = [&]() -> std::optional<double> {
        mainQueue.pumpUntil([&] { return !log.fading() && engine.nextCue().has_value(); }, 5s);
        std::this_thread::sleep_for(std::chrono::microseconds(phaseMicroseconds(random)));
        log.resetFade();
        const auto sent = SteadyClock::now();
        ::sendto(sender.get(), go.data(), go.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                 sizeof to);
        mainQueue.pumpUntil([&] { return log.firstFadeFrame().has_value(); }, 5s);
        const auto shown = log.firstFadeFrame();
        if (!shown) return std::nullopt;
        return std::chrono::duration<double, std::milli>(*shown - sent).count();
    };
    // Lets the last fade end and its bundles arrive.
    auto settle = [&] {
        mainQueue.pumpUntil([&] { return !log.fading() && !feedback.isTicking(); }, 5s);
        pumpFor(mainQueue, 100ms);
    };

    mainQueue.pumpUntil([&] { return log.ticks() > 30; }, 10s);
    for (int warmUp = 0; warmUp < 5; ++warmUp)
        timedGo();

    std::printf("round  subscribers  GO latency median ms  tick median ms  bundles\n");
    for (int round = 0; round < rounds; ++round) {
        for (std::size_t k = 0; k < kConditions.size(); ++k) {
            const std::size_t c = round % 2 == 0 ? k : kConditions.size() - 1 - k;
            const bool subscribed = kConditions[c] > 0;
            settle();
            const std::vector<std::uint64_t> before = subscribers.counts();
            subscribers.sendUpdates(subscribed ? 1 : 0);
            bool ready = mainQueue.pumpUntil(
                [&] {
                    if (network.feedback().subscriberCount() !=
                        static_cast<std::size_t>(kConditions[c]))
                        return false;
                    if (!subscribed) return true;
                    // Every /updates 1 is answered with the state.
                    const std::vector<std::uint64_t> now = subscribers.counts();
                    for (std::size_t i = 0; i < now.size(); ++i) {
                        if (now[i] == before[i]) return false;
                    }
                    return true;
                },
                10s);
            if (!ready) {
                std::fprintf(stderr, "round %d: %zu subscribers instead of %d\n", round,
                             network.feedback().subscriberCount(), kConditions[c]);
                return 1;
            }
            pumpFor(mainQueue, 50ms);
            timedGo();  // settles the ticks after the change of subscribers
            settle();

            const std::vector<std::uint64_t> start = subscribers.counts();
            const std::size_t ticksBefore = log.times(c).wallMs.size();
            std::vector<double> roundLatencyMs;
            log.setCondition(c);
            auto renewed = SteadyClock::now();
            for (int i = 0; i < gos; ++i) {
                // The subscriptions lapse unless renewed (a long phase).
                if (subscribed && SteadyClock::now() - renewed > OscFeedback::kUdpLease / 2) {
                    subscribers.sendUpdates(1);
                    renewed = SteadyClock::now();
                }
                if (const std::optional<double> latency = timedGo()) {
                    roundLatencyMs.push_back(*latency);
                } else {
                    ++missed[c];
                }
            }
            settle();
            log.setCondition(std::nullopt);
            const std::vector<std::uint64_t> end = subscribers.counts();
            std::uint64_t received = 0;
            for (std::size_t i = 0; i < end.size(); ++i) {
                received += end[i] - start[i];
                if (subscribed)
                    leastPerSubscriber = std::min(leastPerSubscriber, end[i] - start[i]);
            }
            bundles[c] += received;
            latencyMs[c].insert(latencyMs[c].end(), roundLatencyMs.begin(), roundLatencyMs.end());
            const std::vector<double> wall = log.times(c).wallMs;
            const std::vector<double> roundTicks(
                wall.begin() + static_cast<std::ptrdiff_t>(ticksBefore), wall.end());
            std::printf("%5d  %11d  %20.2f  %14.3f  %7llu\n", round + 1, kConditions[c],
                        roundLatencyMs.empty() ? 0.0 : bench::median(roundLatencyMs),
                        roundTicks.empty() ? 0.0 : bench::median(roundTicks),
                        static_cast<unsigned long long>(received));
        }
    }
    subscribers.sendUpdates(0);

    const TickLog::Times without = log.times(0);
    const TickLog::Times with = log.times(1);
    if (latencyMs[0].empty() || latencyMs[1].empty() || without.wallMs.empty() ||
        with.wallMs.empty()) {
        std::fprintf(stderr, "no GO reached the outputs\n");
        return 1;
    }
    const double goWithout = bench::median(latencyMs[0]);
    const double goWith = bench::median(latencyMs[1]);
    const double tickWithout = bench::median(without.wallMs);
    const double tickWith = bench::median(with.wallMs);
    const double cpuWithout = bench::median(without.cpuMs);
    const double cpuWith = bench::median(with.cpuMs);
    std::printf("GL_RENDERER: %s\n", RenderContext::shared().renderer().c_str());
    std::printf(
        "%d rounds x %d GOs per condition over OSC/UDP, %.2f s crossfades, one %dx%d output, "
        "60 Hz, %s; GOs with no fade frame: %llu / %llu\n",
        rounds, gos, fadeSeconds, size.width, size.height,
        haveConsumer ? "a consumer linked" : "no consumer (frames dropped)",
        static_cast<unsigned long long>(missed[0]), static_cast<unsigned long long>(missed[1]));
    std::printf(
        "GO latency median 0 subscribers %.2f ms, %d subscribers %.2f ms, ratio %.2f "
        "(p99 %.2f ms, %.2f ms)\n",
        goWithout, kSubscribers, goWith, goWith / goWithout, bench::percentile(latencyMs[0], 0.99),
        bench::percentile(latencyMs[1], 0.99));
    std::printf(
        "tick (deadline to end) median 0 subscribers %.3f ms, %d subscribers %.3f ms, "
        "ratio %.2f (p99 %.3f ms, %.3f ms; %zu and %zu ticks)\n",
        tickWithout, kSubscribers, tickWith, tickWith / tickWithout,
        bench::percentile(without.wallMs, 0.99), bench::percentile(with.wallMs, 0.99),
        without.wallMs.size(), with.wallMs.size());
    std::printf(
        "tick render-thread CPU median 0 subscribers %.3f ms, %d subscribers %.3f ms, "
        "ratio %.2f\n",
        cpuWithout, kSubscribers, cpuWith, cpuWith / cpuWithout);
    std::printf(
        "bundles received: %llu with %d subscribers (at least %llu per subscriber per "
        "round), %llu with none\n",
        static_cast<unsigned long long>(bundles[1]), kSubscribers,
        static_cast<unsigned long long>(leastPerSubscriber),
        static_cast<unsigned long long>(bundles[0]));
    return 0;
}
