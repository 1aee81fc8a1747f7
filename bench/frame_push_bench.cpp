// The render thread's cost of publishing one 1920x1080 frame through
// VideoSourceStream::pushFrame (dequeue a shared-memory buffer, convert RGBA
// to BGRA into it, queue it, start a graph cycle), against the floor: a plain
// memcpy of the same number of bytes, measured in the same run.
//
// A private PipeWire daemon runs for the benchmark, with one outside consumer
// (GStreamer's pipewiresrc into fakesink) linked to the output, so every push
// really goes out. Frames are pushed at 60 Hz, as the display link would;
// after each push the same source is memcpy'd into one of eight rotating
// destinations (as many as the stream has buffers, so neither copy finds its
// destination in the cache more than the other). Figures are medians over
// kTicks ticks after kWarmUp; pushes that were dropped are left out.
//
// Needs `pipewire`, pw-dump, pw-link and gst-launch-1.0 with pipewiresrc.

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "sharing/PipeWireConnection.h"
#include "sharing/VideoSourceStream.h"
#include "sharing/support/PipeWireDaemon.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::uint32_t kWidth = 1920;
constexpr std::uint32_t kHeight = 1080;
constexpr std::size_t kBytes = std::size_t{kWidth} * kHeight * 4;
constexpr int kWarmUp = 30;
constexpr int kTicks = 600;
constexpr int kDestinations = 8;

double threadCpuMilliseconds() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) * 1e-6;
}

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main() {
    using namespace bw;
    test::PipeWireDaemon daemon;
    if (!test::programOnPath("pipewire") || !test::havePipeWireSource() || !daemon.start()) {
        std::fprintf(stderr, "needs the pipewire daemon and GStreamer's pipewiresrc\n");
        return 1;
    }
    PipeWireConnection connection;
    VideoSourceStream stream(connection, "bench-push", kWidth, kHeight);
    test::ChildProcess consumer(
        {"gst-launch-1.0", "-q", "pipewiresrc", "target-object=bench-push",
         "stream-properties=props,node.name=bench-push-consumer", "!",
         "video/x-raw,format=BGRA,width=1920,height=1080", "!", "fakesink", "sync=false"},
        -1, "");

    std::vector<std::uint8_t> source(kBytes);
    for (std::size_t i = 0; i < kBytes; ++i)
        source[i] = static_cast<std::uint8_t>(i * 7 + i / 4093);
    std::vector<std::vector<std::uint8_t>> destinations(kDestinations,
                                                        std::vector<std::uint8_t>(kBytes, 1));

    if (!test::linkNodes("bench-push", "bench-push-consumer", 10s)) {
        std::fprintf(stderr, "could not link the consumer\n");
        return 1;
    }
    // The first pushes start the graph; the consumer then takes frames.
    auto next = Clock::now();
    const auto streamingDeadline = Clock::now() + 10s;
    while (stream.framesPublished() < 3 && Clock::now() < streamingDeadline) {
        stream.pushFrame(source.data(), kWidth * 4);
        next += 16667us;
        std::this_thread::sleep_until(next);
    }

    std::vector<double> pushWall;
    std::vector<double> pushCpu;
    std::vector<double> copyWall;
    int dropped = 0;
    for (int tick = 0; tick < kWarmUp + kTicks; ++tick) {
        const double cpuBefore = threadCpuMilliseconds();
        auto start = Clock::now();
        const bool pushed = stream.pushFrame(source.data(), kWidth * 4);
        const double wall = millisecondsSince(start);
        const double cpu = threadCpuMilliseconds() - cpuBefore;

        std::uint8_t* destination = destinations[tick % kDestinations].data();
        start = Clock::now();
        std::memcpy(destination, source.data(), kBytes);
        const double copy = millisecondsSince(start);

        if (tick >= kWarmUp) {
            copyWall.push_back(copy);
            if (pushed) {
                pushWall.push_back(wall);
                pushCpu.push_back(cpu);
            } else {
                ++dropped;
            }
        }
        next += 16667us;
        std::this_thread::sleep_until(next);
    }

    const double push = median(pushWall);
    const double copy = median(copyWall);
    std::printf("1920x1080 frames, %d ticks at 60 Hz, medians in ms (%zu pushed, %d dropped)\n",
                kTicks, pushWall.size(), dropped);
    std::printf("%-34s %8.3f wall %8.3f CPU\n", "pushFrame (RGBA -> BGRA, queue)", push,
                median(pushCpu));
    std::printf("%-34s %8.3f wall\n", "memcpy of the same 8294400 bytes", copy);
    std::printf("pushFrame / memcpy: %.2fx\n", copy > 0 ? push / copy : 0.0);
    return pushWall.empty() ? 1 : 0;
}
