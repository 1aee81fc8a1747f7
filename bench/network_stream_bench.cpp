// One 1080p60 network stream: glass-to-glass latency in frames and CPU time
// per second, against a plain gst-launch-1.0 of the same encoder on the same
// frames (the floor), in the same run.
//
// Frames: a fixed picture with the frame's number (8 bits, as eight black or
// white blocks) across its top, made and handed to the stream 60 times a
// second, as an output's frame server would.
//
// Latency: a receiver in this process (srtsrc or rtspsrc, decoded to RGBA)
// reads the number back; frames behind = frames handed over by then less the
// number read. CPU: this process's time while an outside receiver
// (gst-launch-1.0 ... ! fakesink, no decoding) takes the stream, against
// gst-launch-1.0's own time encoding the same frames from a file at 60 a
// second into a fakesink. Runs alternate the two. First, what a stream
// nobody watches costs.
//
// bench_network_stream [--seconds S] [--runs N] [--transport srt|rtsp]

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "platform/GstHandle.h"
#include "sharing/FrameFeed.h"
#include "sharing/NetworkStream.h"
#include "sharing/support/PipeWireDaemon.h"
#include "support/FreePort.h"
#include "support/TempDir.h"

namespace {

using namespace bw;
using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

constexpr PixelSize kSize{1920, 1080};
constexpr int kRate = 60;
constexpr int kBits = 8;
constexpr int kBandHeight = 120;
// Frames in the floor's file: the numbers it shows go round in 16.
constexpr int kFileFrames = 16;

// Frame `number`: the fixed picture, its number across the top.
void paint(std::vector<std::uint8_t>& rgba, std::uint32_t number) {
    const int blockWidth = kSize.width / kBits;
    for (int y = 0; y < kSize.height; ++y) {
        std::uint8_t* row = rgba.data() + static_cast<std::size_t>(y) * kSize.width * 4;
        for (int x = 0; x < kSize.width; ++x) {
            std::uint8_t* pixel = row + static_cast<std::size_t>(x) * 4;
            if (y < kBandHeight) {
                const bool one = ((number >> (kBits - 1 - x / blockWidth)) & 1U) != 0;
                std::memset(pixel, one ? 255 : 0, 3);
            } else {
                pixel[0] = static_cast<std::uint8_t>(x * 255 / kSize.width);
                pixel[1] = static_cast<std::uint8_t>(y * 255 / kSize.height);
                pixel[2] = static_cast<std::uint8_t>((x ^ y) & 0xff);
            }
            pixel[3] = 255;
        }
    }
}

// The number in a decoded RGBA picture of `stride` bytes a row.
std::uint32_t numberIn(const std::uint8_t* rgba, std::size_t stride) {
    const int blockWidth = kSize.width / kBits;
    std::uint32_t number = 0;
    for (int bit = 0; bit < kBits; ++bit) {
        const std::uint8_t* pixel = rgba + (kBandHeight / 2) * stride +
                                    static_cast<std::size_t>(bit * blockWidth + blockWidth / 2) * 4;
        number = (number << 1) | (pixel[0] > 127 ? 1U : 0U);
    }
    return number;
}

// Hands frames to whichever feed the stream has attached, 60 a second.
class Producer {
public:
    Producer() : frame_(static_cast<std::size_t>(kSize.width) * kSize.height * 4) {
        paint(frame_, 0);
        thread_ = std::thread([this] {
            auto next = SteadyClock::now();
            while (!stopping_.load()) {
                next += std::chrono::nanoseconds(1'000'000'000 / kRate);
                std::this_thread::sleep_until(next);
                const std::uint32_t number = handed_.load() + 1;
                // Only the band changes from one frame to the next.
                const int blockWidth = kSize.width / kBits;
                for (int y = 0; y < kBandHeight; ++y) {
                    std::uint8_t* row =
                        frame_.data() + static_cast<std::size_t>(y) * kSize.width * 4;
                    for (int bit = 0; bit < kBits; ++bit) {
                        const bool one = ((number >> (kBits - 1 - bit)) & 1U) != 0;
                        for (int x = bit * blockWidth; x < (bit + 1) * blockWidth; ++x)
                            std::memset(row + static_cast<std::size_t>(x) * 4, one ? 255 : 0, 3);
                    }
                }
                std::lock_guard lock(mutex_);
                if (feed_)
                    feed_->put(frame_.data(), static_cast<std::size_t>(kSize.width) * 4, kSize);
                handed_.store(number);
            }
        });
    }
    ~Producer() {
        stopping_.store(true);
        thread_.join();
    }
    NetworkStream::AttachFeed attach() {
        return [this](std::shared_ptr<FrameFeed> feed) {
            std::lock_guard lock(mutex_);
            feed_ = std::move(feed);
        };
    }
    NetworkStream::DetachFeed detach() {
        return [this](const FrameFeed* feed) {
            std::lock_guard lock(mutex_);
            if (feed_.get() == feed) feed_.reset();
        };
    }
    std::uint32_t handed() const { return handed_.load(); }

private:
    std::vector<std::uint8_t> frame_;
    std::mutex mutex_;
    std::shared_ptr<FrameFeed> feed_;  // guarded by mutex_
    std::atomic<std::uint32_t> handed_ = 0;
    std::atomic<bool> stopping_ = false;
    std::thread thread_;
};

// The receivers ask for the least latency the listener allows.
std::string sourceFor(const std::string& url) {
    return url.starts_with("srt://") ? "srtsrc uri=" + url + " latency=20 ! tsdemux"
                                     : "rtspsrc location=" + url + " latency=0 ! rtph264depay";
}

// Frames behind, read by a receiver in this process over `seconds`.
std::vector<double> latencies(const std::string& url, const Producer& producer, double seconds) {
    const std::string description =
        sourceFor(url) +
        " ! h264parse ! avdec_h264 ! videoconvert ! video/x-raw,format=RGBA ! appsink name=out "
        "sync=false";
    GstObjectPtr<GstElement> pipeline(gst_parse_launch(description.c_str(), nullptr));
    std::vector<double> behind;
    if (!pipeline) return behind;
    GstObjectPtr<GstElement> sink(gst_bin_get_by_name(GST_BIN(pipeline.get()), "out"));
    gst_element_set_state(pipeline.get(), GST_STATE_PLAYING);
    const auto end =
        SteadyClock::now() + std::chrono::milliseconds(static_cast<int>(seconds * 1e3));
    const auto warmUp = SteadyClock::now() + 3s;
    while (SteadyClock::now() < end) {
        GstSamplePtr sample(gst_app_sink_try_pull_sample(GST_APP_SINK(sink.get()), GST_SECOND));
        if (!sample) continue;
        const std::uint32_t handed = producer.handed();
        GstBuffer* buffer = gst_sample_get_buffer(sample.get());
        GstMapInfo map;
        if (buffer == nullptr || !gst_buffer_map(buffer, &map, GST_MAP_READ)) continue;
        const std::uint32_t number = numberIn(map.data, static_cast<std::size_t>(kSize.width) * 4);
        gst_buffer_unmap(buffer, &map);
        if (SteadyClock::now() < warmUp) continue;
        behind.push_back(static_cast<double>((handed - number) & ((1U << kBits) - 1)));
    }
    gst_element_set_state(pipeline.get(), GST_STATE_NULL);
    return behind;
}

double cpuSecondsOf(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    double ticks = 0;
    for (int k = 3; fields >> field; ++k) {
        if (k == 14 || k == 15) ticks += std::atof(field.c_str());
        if (k == 15) break;
    }
    return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

struct Sample {
    double cpuPerSecond = 0;
    std::uint64_t dropped = 0;
};

// This process's CPU per second while an outside receiver takes the stream.
Sample streamCpu(const std::string& url, double seconds, const test::TempDir& folder) {
    Producer producer;
    NetworkStream stream(NetworkStream::Settings{"Bench", url, kRate, 0, kSize}, producer.attach(),
                         producer.detach());
    Sample sample;
    if (stream.failure()) {
        std::fprintf(stderr, "the stream does not listen: %s\n", stream.failure()->c_str());
        return sample;
    }
    const std::string source = sourceFor(url);
    std::vector<std::string> argv{"gst-launch-1.0", "-q"};
    std::string word;
    std::istringstream words(source + " ! fakesink sync=false");
    while (words >> word)
        argv.push_back(word);
    test::ChildProcess receiver(argv, -1, folder.path() / "receiver.log");
    const auto deadline = SteadyClock::now() + 30s;
    while (stream.framesSent() < 60 && SteadyClock::now() < deadline)
        std::this_thread::sleep_for(50ms);
    if (stream.framesSent() < 60) {
        std::fprintf(stderr, "the receiver took no frames (see %s)\n",
                     (folder.path() / "receiver.log").c_str());
        return sample;
    }
    const double before = bench::processCpuSeconds();
    const std::uint64_t droppedBefore = stream.framesDropped();
    const auto start = SteadyClock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<int>(seconds * 1e3)));
    const double elapsed = std::chrono::duration<double>(SteadyClock::now() - start).count();
    sample.cpuPerSecond = (bench::processCpuSeconds() - before) / elapsed;
    sample.dropped = stream.framesDropped() - droppedBefore;
    receiver.stop(SIGINT, 5s);
    return sample;
}

// gst-launch-1.0 encoding the same frames with the same encoder, paced at
// 60 a second: its CPU per second.
Sample floorCpu(const std::string& frames, bool rtsp, double seconds, const test::TempDir& folder) {
    const int bitrate = NetworkStream::fittedBitrateKbps(kSize, kRate);
    std::string line =
        "multifilesrc location=" + frames +
        " loop=true ! rawvideoparse format=rgba width=" + std::to_string(kSize.width) +
        " height=" + std::to_string(kSize.height) +
        " framerate=60/1 ! videoconvert ! video/x-raw,format=I420 ! " +
        StreamEncoder::description(StreamEncoder::chosen().factory, bitrate, kRate) +
        " ! h264parse config-interval=-1 ! " +
        (rtsp ? std::string("rtph264pay config-interval=-1")
              : std::string("mpegtsmux alignment=7")) +
        " ! fakesink sync=true";
    std::vector<std::string> argv{"gst-launch-1.0", "-q"};
    std::istringstream words(line);
    std::string word;
    while (words >> word)
        argv.push_back(word);
    test::ChildProcess launch(argv, -1, folder.path() / "floor.log");
    std::this_thread::sleep_for(3s);  // past its start-up
    Sample sample;
    if (!launch.running()) {
        std::fprintf(stderr, "the floor's gst-launch-1.0 ended (see %s)\n",
                     (folder.path() / "floor.log").c_str());
        return sample;
    }
    const double before = cpuSecondsOf(launch.pid());
    const auto start = SteadyClock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<int>(seconds * 1e3)));
    const double elapsed = std::chrono::duration<double>(SteadyClock::now() - start).count();
    sample.cpuPerSecond = (cpuSecondsOf(launch.pid()) - before) / elapsed;
    launch.stop(SIGINT, 5s);
    return sample;
}

std::string spread(std::vector<double> values) {
    if (values.empty()) return "-";
    const auto [low, high] = std::minmax_element(values.begin(), values.end());
    char text[64];
    std::snprintf(text, sizeof text, "%.2f-%.2f", *low, *high);
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 10;
    int runs = 3;
    std::string transport = "srt";
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
            seconds = std::max(1.0, std::atof(argv[++i]));
        } else if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) {
            runs = std::max(1, std::atoi(argv[++i]));
        } else if (std::strcmp(argv[i], "--transport") == 0 && i + 1 < argc) {
            transport = argv[++i];
        } else {
            std::fprintf(stderr, "usage: %s [--seconds S] [--runs N] [--transport srt|rtsp]\n",
                         argv[0]);
            return 2;
        }
    }
    gst_init(nullptr, nullptr);
    if (!test::programOnPath("gst-launch-1.0")) {
        std::printf("skipped: gst-launch-1.0 is not installed\n");
        return 0;
    }
    const bool rtsp = transport == "rtsp";
    const auto url = [rtsp] {
        return rtsp ? "rtsp://127.0.0.1:" + std::to_string(test::freeTcpPort()) + "/bench"
                    : "srt://127.0.0.1:" + std::to_string(test::freeUdpPort());
    };
    test::TempDir folder;
    const std::string frames = (folder.path() / "frames-%d.rgba").string();
    {
        std::vector<std::uint8_t> rgba(static_cast<std::size_t>(kSize.width) * kSize.height * 4);
        for (int k = 0; k < kFileFrames; ++k) {
            paint(rgba, static_cast<std::uint32_t>(k));
            char name[64];
            std::snprintf(name, sizeof name, "frames-%d.rgba", k);
            std::ofstream(folder.path() / name, std::ios::binary)
                .write(reinterpret_cast<const char*>(rgba.data()),
                       static_cast<std::streamsize>(rgba.size()));
        }
    }
    std::printf("1920x1080 at 60 frames a second over %s, encoder %s, %.0f s a run, %d runs\n",
                transport.c_str(), StreamEncoder::chosen().factory.c_str(), seconds, runs);

    std::vector<double> behind;
    {
        Producer producer;
        const std::string address = url();
        NetworkStream stream(NetworkStream::Settings{"Bench", address, kRate, 0, kSize},
                             producer.attach(), producer.detach());
        for (int run = 0; run < runs && !stream.failure(); ++run) {
            const std::vector<double> got = latencies(address, producer, seconds);
            std::printf("  latency run %d: median %.1f frames behind over %zu pictures\n", run + 1,
                        got.empty() ? 0.0 : bench::median(got), got.size());
            behind.insert(behind.end(), got.begin(), got.end());
        }
    }
    {
        // Nobody watching: the stream listens, the output keeps making frames.
        Producer producer;
        NetworkStream stream(NetworkStream::Settings{"Bench", url(), kRate, 0, kSize},
                             producer.attach(), producer.detach());
        const double before = bench::processCpuSeconds();
        const auto start = SteadyClock::now();
        std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<int>(seconds * 1e3)));
        const double elapsed = std::chrono::duration<double>(SteadyClock::now() - start).count();
        std::printf("unwatched: %.3f s/s of CPU, %llu frames encoded, encoder %s\n",
                    (bench::processCpuSeconds() - before) / elapsed,
                    static_cast<unsigned long long>(stream.framesSent()),
                    stream.encoding() ? "running" : "not running");
    }
    std::vector<double> ours;
    std::vector<double> floors;
    std::vector<double> dropped;
    for (int run = 0; run < runs; ++run) {
        const Sample stream = streamCpu(url(), seconds, folder);
        const Sample floor = floorCpu(frames, rtsp, seconds, folder);
        std::printf("  cpu run %d: stream %.3f s/s (%llu frames dropped), gst-launch %.3f s/s\n",
                    run + 1, stream.cpuPerSecond, static_cast<unsigned long long>(stream.dropped),
                    floor.cpuPerSecond);
        ours.push_back(stream.cpuPerSecond);
        floors.push_back(floor.cpuPerSecond);
        dropped.push_back(static_cast<double>(stream.dropped));
    }
    const double oursMedian = bench::median(ours);
    const double floorMedian = bench::median(floors);
    std::printf("glass to glass: median %.1f frames behind (p95 %.1f, range %s) at 60 a second\n",
                behind.empty() ? 0.0 : bench::median(behind),
                behind.empty() ? 0.0 : bench::percentile(behind, 0.95), spread(behind).c_str());
    std::printf(
        "CPU per second: stream %.3f (%s), gst-launch floor %.3f (%s); ratio %.2fx "
        "(aim at most 1.2x); frames dropped a run: median %.0f\n",
        oursMedian, spread(ours).c_str(), floorMedian, spread(floors).c_str(),
        floorMedian > 0 ? oursMedian / floorMedian : 0.0, bench::median(dropped));
    return 0;
}
