// Video outputs published through a private PipeWire daemon and read back by
// an outside consumer (GStreamer's pipewiresrc), byte for byte.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/SystemLog.h"
#include "sharing/PipeWireConnection.h"
#include "sharing/VideoSourceStream.h"
#include "sharing/support/PipeWireDaemon.h"
#include "support/Deadline.h"
#include "support/OutsidePeer.h"
#include "support/TempDir.h"

namespace bw {
namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

// Waits end on their condition; the deadline only ends a test gone wrong.
const std::chrono::milliseconds kDeadline = test::scaled(10s);

// An odd width, so that a row is no multiple of 8 or 16 bytes.
constexpr std::uint32_t kWidth = 33;
constexpr std::uint32_t kHeight = 17;

// Byte `channel` (RGBA order) of pixel (x, y) in frame `k` of the pattern:
// different per pixel, per row, per channel and per frame.
std::uint8_t patternByte(std::uint32_t x, std::uint32_t y, std::uint32_t channel, std::uint32_t k) {
    return static_cast<std::uint8_t>(x * 7 + y * 31 + channel * 67 + k * 13);
}

std::vector<std::uint8_t> patternRgba(std::uint32_t width, std::uint32_t height, std::uint32_t k,
                                      std::size_t stride) {
    std::vector<std::uint8_t> frame(stride * height, 0xee);
    for (std::uint32_t y = 0; y < height; ++y) {
        for (std::uint32_t x = 0; x < width; ++x) {
            for (std::uint32_t c = 0; c < 4; ++c)
                frame[y * stride + x * 4 + c] = patternByte(x, y, c, k);
        }
    }
    return frame;
}

std::vector<std::uint8_t> patternBgra(std::uint32_t width, std::uint32_t height, std::uint32_t k) {
    static constexpr std::uint32_t kRgbaChannelOf[4] = {2, 1, 0, 3};  // B, G, R, A
    std::vector<std::uint8_t> frame(std::size_t{width} * height * 4);
    for (std::uint32_t y = 0; y < height; ++y) {
        for (std::uint32_t x = 0; x < width; ++x) {
            for (std::uint32_t c = 0; c < 4; ++c) {
                frame[(y * width + x) * 4 + c] = patternByte(x, y, kRgbaChannelOf[c], k);
            }
        }
    }
    return frame;
}

// Checks that every received frame is exactly one pushed pattern frame, in the
// order pushed. The frame number (mod 256) is read from the red byte of the
// first pixel: 13 * 197 = 1 (mod 256).
void expectPatternFrames(const std::vector<std::vector<std::uint8_t>>& frames, std::uint32_t width,
                         std::uint32_t height) {
    int previous = -1;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        ASSERT_EQ(frames[i].size(), std::size_t{width} * height * 4);
        const std::uint32_t k = (frames[i][2] * 197u) & 0xffu;
        EXPECT_TRUE(frames[i] == patternBgra(width, height, k))
            << "frame " << i << " is not pattern frame " << k;
        if (previous >= 0) {
            EXPECT_NE(static_cast<int>(k), previous) << "frame " << i << " was received twice";
            EXPECT_LT((k - static_cast<std::uint32_t>(previous)) & 0xffu, 128u)
                << "frame " << i << " arrived out of order";
        }
        previous = static_cast<int>(k);
    }
}

// A render-like thread: pushes pattern frames at about 60 Hz, at the stream's
// current size, and notes the longest pushFrame() call.
class FramePusher {
public:
    FramePusher(VideoSourceStream& stream, std::size_t extraStride)
        : thread_([this, &stream, extraStride] { run(stream, extraStride); }) {}
    ~FramePusher() { stop(); }
    FramePusher(const FramePusher&) = delete;
    FramePusher& operator=(const FramePusher&) = delete;

    void stop() {
        stopping_ = true;
        if (thread_.joinable()) thread_.join();
    }
    std::uint64_t accepted() const { return accepted_; }
    std::uint64_t refused() const { return refused_; }

private:
    void run(VideoSourceStream& stream, std::size_t extraStride) {
        auto next = SteadyClock::now();
        for (std::uint32_t k = 0; !stopping_; ++k) {
            const std::uint32_t width = stream.width();
            const std::uint32_t height = stream.height();
            const std::size_t stride = width * 4 + extraStride;
            const std::vector<std::uint8_t> frame = patternRgba(width, height, k, stride);
            const bool pushed = stream.pushFrame(frame.data(), stride, width, height);
            ++(pushed ? accepted_ : refused_);
            next += 16667us;
            std::this_thread::sleep_until(next);
        }
    }

    std::atomic<bool> stopping_ = false;
    std::atomic<std::uint64_t> accepted_ = 0;
    std::atomic<std::uint64_t> refused_ = 0;
    std::thread thread_;  // last: started once the counters exist
};

std::size_t countContaining(const std::vector<std::string>& lines, const std::string& text) {
    return static_cast<std::size_t>(
        std::count_if(lines.begin(), lines.end(),
                      [&](const auto& line) { return line.find(text) != std::string::npos; }));
}

class VideoSourceStreamTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test::programOnPath("pipewire")) {
            BW_OUTSIDE_PEER_MISSING() << "the pipewire daemon is not installed";
        }
        if (!test::havePipeWireSource()) {
            BW_OUTSIDE_PEER_MISSING() << "GStreamer's pipewiresrc element is not installed";
        }
    }

    void startDaemon() { ASSERT_TRUE(daemon_.start()) << daemon_.log(); }

    test::PipeWireDaemon daemon_;  // first: it sets the runtime folder
};

TEST_F(VideoSourceStreamTest, ConsumerReceivesExactBgraPixelsOfAPaddedRgbaFrame) {
    startDaemon();
    PipeWireConnection connection;
    VideoSourceStream stream(connection, "Pattern Output", kWidth, kHeight);
    FramePusher pusher(stream, 12);

    const auto frames = test::receiveFrames("Pattern Output", kWidth, kHeight, 8);
    pusher.stop();
    ASSERT_EQ(frames.size(), 8u);
    expectPatternFrames(frames, kWidth, kHeight);
    EXPECT_GE(stream.framesPublished(), 8u);

    const auto node = test::findNode("Pattern Output");
    ASSERT_TRUE(node);
    EXPECT_EQ(node->mediaClass, "Video/Source");
    EXPECT_EQ(node->applicationName, "Beamwright");
}

TEST_F(VideoSourceStreamTest, ConsumerThatLeavesAndComesBackGetsFramesAgain) {
    startDaemon();
    PipeWireConnection connection;
    VideoSourceStream stream(connection, "Revisited", kWidth, kHeight);
    EXPECT_FALSE(stream.isStreaming());
    FramePusher pusher(stream, 0);

    expectPatternFrames(test::receiveFrames("Revisited", kWidth, kHeight, 3), kWidth, kHeight);
    EXPECT_TRUE(test::waitFor([&] { return !stream.isStreaming(); }, kDeadline));
    const auto droppedWhileAlone = stream.framesDropped();
    EXPECT_TRUE(
        test::waitFor([&] { return stream.framesDropped() > droppedWhileAlone; }, kDeadline));

    const auto frames = test::receiveFrames("Revisited", kWidth, kHeight, 3);
    ASSERT_EQ(frames.size(), 3u);
    expectPatternFrames(frames, kWidth, kHeight);
}

TEST_F(VideoSourceStreamTest, RenamedOutputIsFoundOnlyUnderItsNewName) {
    startDaemon();
    PipeWireConnection connection;
    VideoSourceStream stream(connection, "Before", kWidth, kHeight);
    FramePusher pusher(stream, 0);
    ASSERT_EQ(test::receiveFrames("Before", kWidth, kHeight, 2).size(), 2u);

    stream.rename("After Rename");
    EXPECT_EQ(stream.publishedName(), "After Rename");
    EXPECT_EQ(stream.requestedName(), "After Rename");
    const auto frames = test::receiveFrames("After Rename", kWidth, kHeight, 3);
    ASSERT_EQ(frames.size(), 3u);
    expectPatternFrames(frames, kWidth, kHeight);
    EXPECT_FALSE(test::findNode("Before"));

    // The old name was given back.
    VideoSourceStream another(connection, "Before", kWidth, kHeight);
    EXPECT_EQ(another.publishedName(), "Before");
}

TEST_F(VideoSourceStreamTest, ResizedOutputPublishesAtTheNewSize) {
    startDaemon();
    PipeWireConnection connection;
    VideoSourceStream stream(connection, "Growing", kWidth, kHeight);
    FramePusher pusher(stream, 4);
    ASSERT_EQ(test::receiveFrames("Growing", kWidth, kHeight, 2).size(), 2u);

    stream.resize(20, 45);
    const auto frames = test::receiveFrames("Growing", 20, 45, 3);
    ASSERT_EQ(frames.size(), 3u);
    expectPatternFrames(frames, 20, 45);

    // A frame still at the old size is not read.
    EXPECT_FALSE(stream.pushFrame(nullptr, kWidth * 4, kWidth, kHeight));
}

TEST_F(VideoSourceStreamTest, DaemonKilledWhilePushingIsRejoinedUnderTheSameName) {
    SystemLog::ScopedCapture capture;
    startDaemon();
    PipeWireConnection connection;
    VideoSourceStream stream(connection, "Survivor", kWidth, kHeight);
    FramePusher pusher(stream, 0);
    ASSERT_EQ(test::receiveFrames("Survivor", kWidth, kHeight, 2).size(), 2u);

    daemon_.kill();
    EXPECT_TRUE(test::waitFor([&] { return !connection.isConnected(); }, kDeadline));
    const auto droppedAtLoss = stream.framesDropped();
    std::this_thread::sleep_for(700ms);  // pushes go on, with no daemon, over a retry
    EXPECT_TRUE(test::waitFor([&] { return stream.framesDropped() > droppedAtLoss; }, kDeadline));
    startDaemon();

    const auto frames = test::receiveFrames("Survivor", kWidth, kHeight, 3);
    pusher.stop();
    ASSERT_EQ(frames.size(), 3u);
    expectPatternFrames(frames, kWidth, kHeight);
    EXPECT_EQ(stream.publishedName(), "Survivor");

    const auto lines = capture.lines();
    EXPECT_EQ(countContaining(lines, "no PipeWire daemon reachable (connection lost)"), 1u);
    EXPECT_EQ(countContaining(lines, "PipeWire daemon reachable again"), 1u) << daemon_.log();
}

TEST_F(VideoSourceStreamTest, PushesGoOnWhileTheDaemonHangs) {
    startDaemon();
    PipeWireConnection connection;
    VideoSourceStream stream(connection, "Patient", kWidth, kHeight);
    FramePusher pusher(stream, 0);
    ASSERT_EQ(test::receiveFrames("Patient", kWidth, kHeight, 2).size(), 2u);

    // Its socket stays open and nothing answers: a push that waited on it
    // would hold the pusher for good.
    daemon_.freeze();
    const auto pushedAtHang = pusher.accepted() + pusher.refused();
    EXPECT_TRUE(test::waitFor(
        [&] { return pusher.accepted() + pusher.refused() > pushedAtHang + 60; }, kDeadline))
        << "a push waited for the hung daemon";
    daemon_.thaw();

    const auto frames = test::receiveFrames("Patient", kWidth, kHeight, 3);
    pusher.stop();
    ASSERT_EQ(frames.size(), 3u);
    expectPatternFrames(frames, kWidth, kHeight);
}

TEST(VideoSourceStreamWithoutDaemonTest, LogsOnceAndDropsEveryFramePromptly) {
    test::PipeWireDaemon daemon;  // never started: its runtime folder stays empty
    SystemLog::ScopedCapture capture;
    PipeWireConnection connection;
    VideoSourceStream stream(connection, "Lonely", kWidth, kHeight);
    EXPECT_FALSE(connection.isConnected());

    FramePusher pusher(stream, 0);
    std::this_thread::sleep_for(1300ms);  // over two retries
    EXPECT_TRUE(test::waitFor([&] { return pusher.refused() > 30; }, kDeadline));
    pusher.stop();
    EXPECT_EQ(pusher.accepted(), 0u);
    EXPECT_GT(pusher.refused(), 30u);
    EXPECT_EQ(stream.framesDropped(), pusher.refused());

    const auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("Warning: no PipeWire daemon reachable"), std::string::npos);
}

TEST_F(VideoSourceStreamTest, DaemonThatAppearsLaterIsUsed) {
    SystemLog::ScopedCapture capture;
    PipeWireConnection connection;
    VideoSourceStream stream(connection, "Early", kWidth, kHeight);
    FramePusher pusher(stream, 0);
    startDaemon();
    EXPECT_TRUE(test::waitFor([&] { return connection.isConnected(); }, kDeadline));

    const auto frames = test::receiveFrames("Early", kWidth, kHeight, 3);
    ASSERT_EQ(frames.size(), 3u);
    expectPatternFrames(frames, kWidth, kHeight);
    const auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("no PipeWire daemon reachable"), std::string::npos);
    EXPECT_NE(lines[1].find("PipeWire daemon reachable again"), std::string::npos);
}

TEST_F(VideoSourceStreamTest, SameNameTwiceGetsANumberUntilGivenBack) {
    startDaemon();
    SystemLog::ScopedCapture capture;
    PipeWireConnection connection;
    auto first = std::make_unique<VideoSourceStream>(connection, "Name", kWidth, kHeight);
    VideoSourceStream second(connection, "Name", kWidth, kHeight);
    EXPECT_EQ(first->publishedName(), "Name");
    EXPECT_EQ(second.publishedName(), "Name 2");
    EXPECT_EQ(second.requestedName(), "Name");
    EXPECT_EQ(capture.lines(),
              std::vector<std::string>{"Warning: an output named \"Name\" is already published; "
                                       "publishing this one as \"Name 2\""});
    EXPECT_TRUE(test::waitFor([] { return test::findNode("Name") && test::findNode("Name 2"); },
                              kDeadline));

    second.rename("Other");
    EXPECT_EQ(second.publishedName(), "Other");
    {
        VideoSourceStream third(connection, "Name", kWidth, kHeight);
        EXPECT_EQ(third.publishedName(), "Name 2");
    }
    first.reset();
    VideoSourceStream fourth(connection, "Name", kWidth, kHeight);
    EXPECT_EQ(fourth.publishedName(), "Name");
}

TEST_F(VideoSourceStreamTest, NamesOtherClientsPublishAreAvoided) {
    startDaemon();
    PipeWireConnection ours;
    PipeWireConnection theirs;
    VideoSourceStream mine(ours, "Mine", kWidth, kHeight);
    VideoSourceStream taken(theirs, "Taken", kWidth, kHeight);
    ASSERT_TRUE(
        test::waitFor([&] { return ours.otherNodeNames().count("Taken") == 1; }, kDeadline));
    ASSERT_TRUE(
        test::waitFor([&] { return theirs.otherNodeNames().count("Mine") == 1; }, kDeadline));
    EXPECT_EQ(ours.otherNodeNames().count("Mine"), 0u);

    VideoSourceStream clash(ours, "Taken", kWidth, kHeight);
    EXPECT_EQ(clash.publishedName(), "Taken 2");
}

#ifdef BW_TAP_TOOL

struct ToolRun {
    int exitCode = -1;
    std::string standardOutput;
    std::string standardError;
};

ToolRun runTap(const std::vector<std::string>& arguments) {
    test::TempDir dir;
    std::vector<std::string> argv{BW_TAP_TOOL};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    const int out = ::open((dir / "out").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    test::ChildProcess child(argv, out, dir / "err");
    ::close(out);
    const auto status = child.wait(60s);
    ToolRun run;
    if (status && WIFEXITED(*status)) run.exitCode = WEXITSTATUS(*status);
    run.standardOutput = test::readFile(dir / "out");
    run.standardError = test::readFile(dir / "err");
    return run;
}

TEST_F(VideoSourceStreamTest, TapToolListsAndCapturesPublishedOutputs) {
    startDaemon();
    PipeWireConnection connection;
    VideoSourceStream stream(connection, "Tap Source", kWidth, kHeight);
    FramePusher pusher(stream, 0);
    // The daemon announces the node a moment after it is made; on a busy
    // machine the listing could otherwise come first.
    ASSERT_TRUE(test::waitFor([] { return test::findNode("Tap Source").has_value(); }, kDeadline));

    const ToolRun list = runTap({"--list"});
    EXPECT_EQ(list.exitCode, 0) << list.standardError;
    EXPECT_NE(list.standardOutput.find("Tap Source\t33x17\tBeamwright"), std::string::npos)
        << list.standardOutput;

    test::TempDir dir;
    const ToolRun capture = runTap({"Tap Source", (dir / "frame.png").string()});
    ASSERT_EQ(capture.exitCode, 0) << capture.standardError;
    // Decoded back to BGRA, the PNG is one of the pushed frames.
    std::string location = "location=";
    location += (dir / "frame.png").string();
    const auto decoded =
        test::runAndCapture({"gst-launch-1.0", "-q", "filesrc", location, "!", "pngdec", "!",
                             "videoconvert", "!", "video/x-raw,format=BGRA", "!", "fdsink"},
                            20s);
    ASSERT_TRUE(decoded);
    expectPatternFrames({std::vector<std::uint8_t>(decoded->begin(), decoded->end())}, kWidth,
                        kHeight);

    const ToolRun unknown = runTap({"Nowhere", (dir / "none.png").string(), "--timeout", "2"});
    EXPECT_NE(unknown.exitCode, 0);
    EXPECT_NE(unknown.standardError.find("no published output named \"Nowhere\""),
              std::string::npos)
        << unknown.standardError;
    EXPECT_NE(unknown.standardError.find("Tap Source"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(dir / "none.png"));
}

#endif

}  // namespace
}  // namespace bw
