// Network streams taken by real receivers on loopback: GStreamer's srtsrc
// in this process, and ffmpeg as an outside program.
#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/GstHandle.h"
#include "sharing/FrameFeed.h"
#include "sharing/NetworkStream.h"
#include "support/Deadline.h"
#include "support/FreePort.h"
#include "support/OutsidePeer.h"

namespace bw {
namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;
using Colour = std::array<int, 3>;

// Waits end on their condition; the deadline only ends a test gone wrong.
const std::chrono::milliseconds kDeadline = test::scaled(30s);
constexpr PixelSize kSize{320, 240};
constexpr Colour kRed{200, 40, 40};
constexpr Colour kBlue{30, 60, 220};
// H.264 in 4:2:0 and two colour conversions on a flat colour.
constexpr int kLevels = 12;

template <typename Condition>
bool waitFor(Condition condition, std::chrono::milliseconds deadline = kDeadline) {
    const auto end = SteadyClock::now() + deadline;
    while (!condition()) {
        if (SteadyClock::now() > end) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

bool near(const Colour& seen, const Colour& wanted) {
    for (int c = 0; c < 3; ++c)
        if (std::abs(seen[c] - wanted[c]) > kLevels) return false;
    return true;
}

// Stands in for an output's frame server: frames of one colour, 30 a
// second, into whichever feed the stream has attached.
class FakeOutput {
public:
    FakeOutput() {
        thread_ = std::thread([this] {
            std::vector<std::uint8_t> rgba(static_cast<std::size_t>(kSize.width) * kSize.height *
                                           4);
            while (!stopping_.load()) {
                Colour colour;
                {
                    std::lock_guard lock(mutex_);
                    colour = colour_;
                }
                for (std::size_t i = 0; i < rgba.size(); i += 4) {
                    rgba[i] = static_cast<std::uint8_t>(colour[0]);
                    rgba[i + 1] = static_cast<std::uint8_t>(colour[1]);
                    rgba[i + 2] = static_cast<std::uint8_t>(colour[2]);
                    rgba[i + 3] = 255;
                }
                {
                    std::lock_guard lock(mutex_);
                    if (feed_)
                        feed_->put(rgba.data(), static_cast<std::size_t>(kSize.width) * 4, kSize);
                }
                std::this_thread::sleep_for(33ms);
            }
        });
    }
    ~FakeOutput() {
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
    bool attached() {
        std::lock_guard lock(mutex_);
        return feed_ != nullptr;
    }
    void show(Colour colour) {
        std::lock_guard lock(mutex_);
        colour_ = colour;
    }

private:
    std::mutex mutex_;
    std::shared_ptr<FrameFeed> feed_;  // guarded by mutex_
    Colour colour_ = kRed;             // guarded by mutex_
    std::atomic<bool> stopping_ = false;
    std::thread thread_;
};

// An SRT receiver in this process: srtsrc, demuxed and decoded to RGBA.
class Receiver {
public:
    // A receiver of `url`: srtsrc for srt://, rtspsrc for rtsp://.
    explicit Receiver(const std::string& url) {
        const std::string source = url.starts_with("srt://")
                                       ? "srtsrc uri=" + url + " ! tsdemux"
                                       : "rtspsrc location=" + url + " latency=0 ! rtph264depay";
        const std::string description = source +
                                        " ! h264parse ! avdec_h264 ! videoconvert ! "
                                        "video/x-raw,format=RGBA ! appsink name=out sync=false";
        GError* error = nullptr;
        pipeline_.reset(gst_parse_launch(description.c_str(), &error));
        if (error != nullptr) g_error_free(error);
        if (!pipeline_) return;
        sink_.reset(gst_bin_get_by_name(GST_BIN(pipeline_.get()), "out"));
        gst_element_set_state(pipeline_.get(), GST_STATE_PLAYING);
    }
    ~Receiver() {
        if (pipeline_) gst_element_set_state(pipeline_.get(), GST_STATE_NULL);
    }
    // The centre pixel of the next picture, or none within a second.
    std::optional<Colour> nextCentre() {
        if (!sink_) return std::nullopt;
        GstSamplePtr sample(gst_app_sink_try_pull_sample(GST_APP_SINK(sink_.get()), GST_SECOND));
        if (!sample) return std::nullopt;
        GstMapInfo map;
        GstBuffer* buffer = gst_sample_get_buffer(sample.get());
        if (buffer == nullptr || !gst_buffer_map(buffer, &map, GST_MAP_READ)) return std::nullopt;
        const std::size_t stride = ((static_cast<std::size_t>(kSize.width) * 4) + 3) / 4 * 4;
        const std::size_t at = (kSize.height / 2) * stride + (kSize.width / 2) * 4;
        std::optional<Colour> colour;
        if (map.size >= at + 4) colour = Colour{map.data[at], map.data[at + 1], map.data[at + 2]};
        gst_buffer_unmap(buffer, &map);
        return colour;
    }
    bool sees(const Colour& wanted) {
        return waitFor([&] {
            const std::optional<Colour> seen = nextCentre();
            return seen && near(*seen, wanted);
        });
    }

private:
    GstObjectPtr<GstElement> pipeline_;
    GstObjectPtr<GstElement> sink_;
};

// Each transport's URL on a port that is free.
struct Transport {
    const char* name;
    std::string (*url)();
};
const Transport kTransports[] = {
    {"SRT", [] { return "srt://127.0.0.1:" + std::to_string(test::freeUdpPort()); }},
    {"RTSP", [] { return "rtsp://127.0.0.1:" + std::to_string(test::freeTcpPort()) + "/stage"; }},
};

class NetworkStreamTest : public ::testing::Test {
protected:
    void SetUp() override {
        gst_init(nullptr, nullptr);
        for (const char* element : {"srtsink", "srtsrc", "x264enc", "avdec_h264", "tsdemux",
                                    "rtspsrc", "rtph264depay", "rtph264pay"}) {
            GstObjectPtr<GstElementFactory> factory(gst_element_factory_find(element));
            if (!factory) BW_OUTSIDE_PEER_MISSING() << "GStreamer's " << element << " is missing";
        }
    }
    static std::unique_ptr<NetworkStream> makeStream(FakeOutput& output, const std::string& url) {
        return std::make_unique<NetworkStream>(
            NetworkStream::Settings{"Projector", url, 30, 0, kSize}, output.attach(),
            output.detach());
    }
};

TEST(StreamAddressTest, ReadsListenerAddresses) {
    struct Case {
        const char* url;
        bool valid;
        const char* host;
        int port;
    };
    for (const Case& c : {
             Case{"srt://:9000", true, "", 9000},
             Case{"srt://0.0.0.0:9000", true, "0.0.0.0", 9000},
             Case{"srt://127.0.0.1:1", true, "127.0.0.1", 1},
             Case{"srt://[::1]:65535", true, "::1", 65535},
             Case{"srt://studio.local:7001", true, "studio.local", 7001},
             Case{"rtmp://host:9000", false, "", 0},
             Case{"srt://host", false, "", 0},
             Case{"srt://host:", false, "", 0},
             Case{"srt://host:0", false, "", 0},
             Case{"srt://host:65536", false, "", 0},
             Case{"srt://host:90a0", false, "", 0},
             Case{"srt://[::1:9000", false, "", 0},
             Case{"srt://host:9000/stage", false, "", 0},
             Case{"rtsp://:8554/stage", true, "", 8554},
             Case{"rtsp://10.0.0.2:8554/shows/main-1", true, "10.0.0.2", 8554},
             Case{"rtsp://host:8554", false, "", 0},
             Case{"rtsp://host:8554/", false, "", 0},
             Case{"rtsp://host:8554/a b", false, "", 0},
             Case{"rtsp://host/stage", false, "", 0},
             Case{"srt://user@host:9000", false, "", 0},
         }) {
        std::string why;
        const std::optional<StreamAddress> address = StreamAddress::parse(c.url, why);
        EXPECT_EQ(address.has_value(), c.valid) << c.url;
        if (address) {
            EXPECT_EQ(address->host, c.host) << c.url;
            EXPECT_EQ(address->port, c.port) << c.url;
        } else {
            EXPECT_FALSE(why.empty()) << c.url;
        }
    }
}

TEST(StreamEncoderTest, FallsBackToX264PastEncodersThatAreNotHere) {
    const StreamEncoder choice = StreamEncoder::choose({"bw-no-such-encoder"});
    EXPECT_EQ(choice.factory, "x264enc");
    EXPECT_FALSE(choice.hardware);
    EXPECT_NE(choice.tried.find("bw-no-such-encoder not installed"), std::string::npos)
        << choice.tried;
}

TEST(NetworkStreamFittingTest, BitrateFollowsSizeAndRate) {
    EXPECT_EQ(NetworkStream::fittedBitrateKbps({1920, 1080}, 60), 8709);
    EXPECT_EQ(NetworkStream::fittedBitrateKbps({1920, 1080}, 30), 4355);
    EXPECT_EQ(NetworkStream::fittedBitrateKbps({64, 64}, 30), 500);  // the floor
}

// One receiver, then a second, see the output's colour and its change, over
// each transport; the output's frames are taken, and encoded, only while one
// watches.
TEST_F(NetworkStreamTest, ReceiversSeeTheOutputAndTheEncoderRunsOnlyWhileWatched) {
    for (const Transport& transport : kTransports) {
        SCOPED_TRACE(transport.name);
        FakeOutput output;
        const std::string url = transport.url();
        auto stream = makeStream(output, url);
        ASSERT_FALSE(stream->failure()) << *stream->failure();
        EXPECT_FALSE(stream->encoding());
        EXPECT_FALSE(output.attached());
        {
            Receiver first(url);
            ASSERT_TRUE(first.sees(kRed));
            EXPECT_EQ(stream->receivers(), 1);
            EXPECT_TRUE(stream->encoding());
            output.show(kBlue);
            EXPECT_TRUE(first.sees(kBlue));
            // A receiver that joins later starts at a key frame of its own.
            Receiver second(url);
            EXPECT_TRUE(second.sees(kBlue));
            EXPECT_EQ(stream->receivers(), 2);
        }
        ASSERT_TRUE(waitFor([&] { return stream->receivers() == 0; }));
        EXPECT_TRUE(waitFor([&] { return !stream->encoding() && !output.attached(); }));
        EXPECT_GT(stream->framesSent(), 0U);
        // Watched again: the frames flow again.
        Receiver again(url);
        EXPECT_TRUE(again.sees(kBlue));
        output.show(kRed);
    }
}

TEST_F(NetworkStreamTest, FfmpegReadsTheStream) {
    if (std::system("command -v ffmpeg > /dev/null 2>&1") != 0)
        BW_OUTSIDE_PEER_MISSING() << "ffmpeg is not installed";
    for (const Transport& transport : kTransports) {
        SCOPED_TRACE(transport.name);
        FakeOutput output;
        const std::string url = transport.url();
        auto stream = makeStream(output, url);
        ASSERT_FALSE(stream->failure()) << *stream->failure();
        const std::string command = "timeout 60 ffmpeg -nostdin -loglevel error -i " + url +
                                    " -frames:v 1 -vf scale=1:1 -f rawvideo -pix_fmt rgb24 -";
        FILE* pipe = ::popen(command.c_str(), "r");
        ASSERT_NE(pipe, nullptr);
        std::array<unsigned char, 3> pixel{};
        const std::size_t read = std::fread(pixel.data(), 1, pixel.size(), pipe);
        EXPECT_EQ(::pclose(pipe), 0);
        ASSERT_EQ(read, pixel.size());
        EXPECT_TRUE(near(Colour{pixel[0], pixel[1], pixel[2]}, kRed))
            << int(pixel[0]) << " " << int(pixel[1]) << " " << int(pixel[2]);
    }
}

TEST_F(NetworkStreamTest, APortInUseIsReportedNotListenedOn) {
    FakeOutput output;
    for (const Transport& transport : kTransports) {
        SCOPED_TRACE(transport.name);
        const std::string url = transport.url();
        auto first = makeStream(output, url);
        ASSERT_FALSE(first->failure()) << *first->failure();
        auto second = makeStream(output, url);
        ASSERT_TRUE(second->failure());
        EXPECT_FALSE(second->failure()->empty());
    }
    const auto malformed = makeStream(output, "srt://127.0.0.1");
    ASSERT_TRUE(malformed->failure());
    EXPECT_NE(malformed->failure()->find("port"), std::string::npos) << *malformed->failure();
}

}  // namespace
}  // namespace bw
