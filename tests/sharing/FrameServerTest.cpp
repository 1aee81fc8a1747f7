#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <optional>
#include <set>
#include <thread>
#include <vector>

#include "platform/SystemLog.h"
#include "render/RenderContext.h"
#include "render/RenderTestSupport.h"
#include "sharing/FrameFeed.h"
#include "sharing/FrameServer.h"
#include "sharing/PipeWireConnection.h"
#include "sharing/PixelReadback.h"

namespace bw {
namespace {

using namespace std::chrono_literals;
using test::Image;

// These run without a PipeWire daemon (the test's runtime folder is empty):
// rendering and in-process capture go on regardless.
class FrameServerTest : public test::RenderTest {};

Image toImage(const FramePixels& frame) {
    return Image{frame.size, frame.rgba};
}

// Frames go out in order, each once, at most one refresh after their render
// (at once where the GPU has finished copying, as a software renderer has).
TEST_F(FrameServerTest, CapturesExactlyThePublishedPixelsInOrder) {
    FrameServer server("Capture", {9, 5});
    const Image first = test::testPattern({9, 5});
    Image second = first;
    std::reverse(second.rgba.begin(), second.rgba.end());
    const GpuBufferRef firstFrame = test::upload(first);
    const GpuBufferRef secondFrame = test::upload(second);

    std::future<FramePixels> capture = server.captureFrame();
    server.publishFrame(*firstFrame);
    if (capture.wait_for(0s) != std::future_status::ready) {
        server.publishFrame(*secondFrame);
    }
    ASSERT_EQ(capture.wait_for(0s), std::future_status::ready);
    EXPECT_EQ(toImage(capture.get()).rgba, first.rgba);

    std::future<FramePixels> next = server.captureFrame();
    server.publishFrame(*secondFrame);
    server.publishFrame(*secondFrame);
    ASSERT_EQ(next.wait_for(0s), std::future_status::ready);
    EXPECT_EQ(toImage(next.get()).rgba, second.rgba);
}

// Each call hands out the frame it read where the copy is done at once, and
// a renderer whose copies always are (a software one) reads every frame into
// one buffer, not two in turn.
TEST_F(FrameServerTest, AReadbackDoneAtOnceKeepsToOneBuffer) {
    const Image first = test::testPattern({6, 3});
    Image second = first;
    std::reverse(second.rgba.begin(), second.rgba.end());
    const GpuBufferRef frames[] = {test::upload(first), test::upload(second)};
    PixelReadback readback;
    std::set<const std::uint8_t*> mapped;
    for (int i = 0; i < 6; ++i) {
        const std::optional<PixelReadback::Mapped> pixels =
            readback.readAndMap(frames[i % 2]->framebuffer(), {6, 3});
        if (!pixels || !pixels->newest) continue;  // a GPU still copying
        const Image& expected = i % 2 == 0 ? first : second;
        EXPECT_TRUE(std::equal(expected.rgba.begin(), expected.rgba.end(), pixels->rgba))
            << "call " << i;
        mapped.insert(pixels->rgba);
    }
    readback.unmap();
    if (RenderContext::shared().isSoftware()) {
        EXPECT_EQ(mapped.size(), 1U);
    }
}

TEST_F(FrameServerTest, FramesThatAreFlippedOrPartialArePublishedUprightAtTheServersSize) {
    FrameServer server("Upright", {4, 2});
    const Image picture = test::testPattern({4, 2});

    // Stored bottom-up, in the middle of a larger texture.
    Image stored = test::testPattern({8, 6}, 255);
    for (int y = 0; y < 2; ++y) {
        std::copy_n(picture.at(0, y), 16, stored.at(2, 3 - y));
    }
    GpuBufferRef frame = test::upload(stored);
    frame->setFlipped(true);
    frame->setSrcRect({2, 2, 4, 2});

    std::future<FramePixels> capture = server.captureFrame();
    server.publishFrame(*frame);
    server.publishFrame(*frame);
    ASSERT_EQ(capture.wait_for(0s), std::future_status::ready);
    const FramePixels published = capture.get();
    EXPECT_EQ(published.size, (PixelSize{4, 2}));
    EXPECT_EQ(published.rgba, picture.rgba);
}

TEST_F(FrameServerTest, AResizeTakesEffectForTheFollowingFrames) {
    FrameServer server("Resized", {4, 4});
    server.setSize({6, 3});
    EXPECT_EQ(server.size(), (PixelSize{6, 3}));
    const Image picture = test::testPattern({6, 3});
    std::future<FramePixels> capture = server.captureFrame();
    server.publishFrame(*test::upload(picture));
    server.publishFrame(*test::upload(picture));
    ASSERT_EQ(capture.wait_for(0s), std::future_status::ready);
    EXPECT_EQ(capture.get().rgba, picture.rgba);
}

TEST_F(FrameServerTest, WithoutADaemonNothingIsPublishedAndItIsLoggedOnce) {
    SystemLog::ScopedCapture log;
    PipeWireConnection connection;
    FrameServer server("Alone", {3, 3}, connection);
    const GpuBufferRef frame = test::upload(test::testPattern({3, 3}));
    for (int i = 0; i < 5; ++i) {
        server.publishFrame(*frame);
    }
    EXPECT_EQ(server.framesPublished(), 0u);

    // The warning comes from the connection's own thread.
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (log.lines().empty() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    std::size_t warnings = 0;
    for (const std::string& line : log.lines()) {
        warnings += line.find("PipeWire") != std::string::npos;
    }
    EXPECT_EQ(warnings, 1u);
}

TEST_F(FrameServerTest, ACaptureStillWaitingWhenTheServerGoesIsBroken) {
    std::future<FramePixels> capture;
    {
        FrameServer server("Gone", {2, 2});
        capture = server.captureFrame();
    }
    EXPECT_THROW(capture.get(), std::future_error);
}

// The preview: scaled to fit its bounds with the frame's proportions, the
// frame's own colours, no more often than asked, none once stopped.
TEST_F(FrameServerTest, PreviewIsASmallCopyOfThePublishedFrame) {
    struct Fit {
        PixelSize frame;
        PixelSize bounds;
        PixelSize expected;
    };
    for (const Fit& fit :
         {Fit{{1920, 1080}, {240, 240}, {240, 135}}, Fit{{100, 400}, {240, 135}, {34, 135}},
          Fit{{33, 17}, {240, 135}, {33, 17}}, Fit{{4000, 1}, {240, 135}, {240, 1}}}) {
        EXPECT_EQ(FrameServer::fitting(fit.frame, fit.bounds), fit.expected)
            << fit.frame.width << "x" << fit.frame.height;
    }

    FrameServer server("Preview", {64, 32});
    Image solid = test::testPattern({64, 32});
    for (std::size_t i = 0; i < solid.rgba.size(); i += 4) {
        solid.rgba[i] = 200;
        solid.rgba[i + 1] = 40;
        solid.rgba[i + 2] = 90;
        solid.rgba[i + 3] = 255;
    }
    const GpuBufferRef frame = test::upload(solid);
    server.publishFrame(*frame);
    EXPECT_EQ(server.previewsMade(), 0u) << "none before it is asked for";

    server.startPreview({16, 16}, 1.0);
    for (int i = 0; i < 5; ++i)
        server.publishFrame(*frame);
    EXPECT_EQ(server.previewsMade(), 1u) << "once a second at most";
    const std::shared_ptr<const FramePixels> preview = server.preview();
    ASSERT_NE(preview, nullptr);
    EXPECT_EQ(preview->size, (PixelSize{16, 8}));
    ASSERT_EQ(preview->rgba.size(), 16u * 8u * 4u);
    EXPECT_EQ(std::vector<std::uint8_t>(preview->rgba.begin(), preview->rgba.begin() + 4),
              (std::vector<std::uint8_t>{200, 40, 90, 255}));

    server.stopPreview();
    EXPECT_EQ(server.preview(), nullptr);
    server.publishFrame(*frame);
    EXPECT_EQ(server.previewsMade(), 1u);
}

// A frame published again unchanged goes nowhere, beyond the frame that
// follows each change (two where the readback handed out the one before) and
// a repeat each keep-alive interval; a new feed gets the frame standing.
// Without a feed, consumer or capture nothing is read back at all.
TEST_F(FrameServerTest, AnUnchangedFrameIsNotSentAgain) {
    FrameServer server("Held", {8, 4});
    const GpuBufferRef frame = test::upload(test::testPattern({8, 4}));
    const auto start = std::chrono::steady_clock::now();
    server.publishFrame(*frame);
    auto feed = std::make_shared<FrameFeed>();
    server.addFeed(feed);
    for (int i = 0; i < 20; ++i)
        server.publishFrame(*frame, false);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    const auto keepAlives = static_cast<std::uint64_t>(elapsed / FrameServer::kKeepAliveInterval);
    // A renderer on the CPU always has this tick's pixels ready: once each.
    const std::uint64_t perChange = RenderContext::shared().isSoftware() ? 1 : 2;
    EXPECT_GE(feed->framesPut(), 1u) << "the new feed's frame";
    EXPECT_LE(feed->framesPut(), perChange + keepAlives);

    const std::uint64_t beforeChange = feed->framesPut();
    server.publishFrame(*frame, true);
    server.publishFrame(*frame, false);
    const std::uint64_t afterChange = feed->framesPut();
    EXPECT_GE(afterChange, beforeChange + 1);
    EXPECT_LE(afterChange, beforeChange + perChange + 1) << "at most one keep-alive between";

    server.removeFeed(feed.get());
    const std::uint64_t notReady = server.framesDropped();
    for (int i = 0; i < 5; ++i)
        server.publishFrame(*frame, true);
    EXPECT_EQ(server.framesDropped(), notReady) << "nothing read back for nobody";
    EXPECT_EQ(feed->framesPut(), afterChange);
}

// A feed gets every published frame while it is attached; a reader slower
// than the render thread gets the newest and sees the gap.
TEST_F(FrameServerTest, AFeedHandsTheNewestPublishedFrameToItsReader) {
    FrameServer server("Feed", {8, 4});
    Image first = test::testPattern({8, 4});
    Image second = first;
    std::reverse(second.rgba.begin(), second.rgba.end());
    const GpuBufferRef firstFrame = test::upload(first);
    const GpuBufferRef secondFrame = test::upload(second);
    auto feed = std::make_shared<FrameFeed>();
    FrameFeed::Frame taken;

    server.publishFrame(*firstFrame);
    EXPECT_EQ(feed->waitAndTake(taken, 0ms), FrameFeed::Wait::TimedOut) << "not attached yet";

    server.addFeed(feed);
    server.addFeed(feed);  // once only
    server.publishFrame(*firstFrame, true, 1000);
    server.publishFrame(*secondFrame, true, 2000);
    ASSERT_EQ(feed->waitAndTake(taken, 1s), FrameFeed::Wait::Frame);
    EXPECT_EQ(taken.sequence, 2u) << "the first was overwritten, and put in once";
    EXPECT_EQ(taken.pixels.size, (PixelSize{8, 4}));
    EXPECT_EQ(taken.pixels.rgba, second.rgba);
    EXPECT_EQ(taken.displayTime, 2000u) << "the display time of the pixels handed over";
    EXPECT_EQ(feed->waitAndTake(taken, 0ms), FrameFeed::Wait::TimedOut) << "nothing newer";

    feed->wake();
    EXPECT_EQ(feed->waitAndTake(taken, 1s), FrameFeed::Wait::Woken);
    server.removeFeed(feed.get());
    server.publishFrame(*firstFrame);
    EXPECT_EQ(feed->framesPut(), 2u);

    // A reader waiting on another thread is released by a frame and by close().
    std::thread reader([&feed] {
        FrameFeed::Frame frame;
        while (feed->waitAndTake(frame, 5s) != FrameFeed::Wait::Closed) {
        }
    });
    server.addFeed(feed);
    for (int i = 0; i < 20; ++i)
        server.publishFrame(i % 2 == 0 ? *firstFrame : *secondFrame);
    feed->close();
    reader.join();
    EXPECT_EQ(feed->waitAndTake(taken, 1s), FrameFeed::Wait::Closed);
}

// Whatever the order of puts and takes, a feed and its reader share two
// buffers between them, and every frame taken holds the pixels put last.
TEST(FrameFeedTest, TwoBuffersCarryEveryFrame) {
    FrameFeed feed;
    FrameFeed::Frame taken;
    std::set<const std::uint8_t*> storage;
    std::vector<std::uint8_t> pixels(8 * 4 * 4);
    // How many frames are put before each take.
    for (const int puts : {1, 1, 2, 3, 1, 5, 1, 2}) {
        for (int i = 0; i < puts; ++i) {
            std::fill(pixels.begin(), pixels.end(), static_cast<std::uint8_t>(feed.framesPut()));
            feed.put(pixels.data(), 8 * 4, {8, 4});
        }
        ASSERT_EQ(feed.waitAndTake(taken, 0ms), FrameFeed::Wait::Frame);
        EXPECT_EQ(taken.sequence, feed.framesPut());
        EXPECT_EQ(taken.pixels.rgba, pixels) << "after frame " << taken.sequence;
        storage.insert(taken.pixels.rgba.data());
    }
    EXPECT_EQ(storage.size(), 2U);
}

}  // namespace
}  // namespace bw
