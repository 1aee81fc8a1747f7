// The render thread as the engine will run it (display link, shared context,
// "Mix" scene, frame server) publishing to an outside consumer through a
// private PipeWire daemon, while the daemon and the consumers come and go.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "render/DisplayLink.h"
#include "render/GpuBufferPool.h"
#include "render/RenderContext.h"
#include "render/RenderTestSupport.h"
#include "render/ShaderScene.h"
#include "sharing/FrameServer.h"
#include "sharing/PipeWireConnection.h"
#include "sharing/support/PipeWireDaemon.h"
#include "support/Deadline.h"
#include "support/OutsidePeer.h"

namespace bw {
namespace {

using namespace std::chrono_literals;

constexpr PixelSize kSize{31, 13};

std::vector<std::uint8_t> asBgra(const test::Image& image) {
    std::vector<std::uint8_t> bgra = image.rgba;
    for (std::size_t i = 0; i < bgra.size(); i += 4) {
        std::swap(bgra[i], bgra[i + 2]);
    }
    return bgra;
}

// Renders one picture through the mixer and publishes it, once per refresh.
class RenderLoop {
public:
    RenderLoop(FrameServer& server, test::Image picture)
        : server_(server), picture_(std::move(picture)) {
        link_.setOutputCallback([this](const DisplayTimeStamp&) { tick(); });
        link_.start();
    }
    ~RenderLoop() { link_.stop(); }

    std::uint64_t ticks() const { return ticks_.load(); }

private:
    void tick() {
        RenderContext& context = RenderContext::shared();
        if (!context.isCurrent()) {
            context.makeCurrent();
            GpuBufferPool::createGlobal(context);
            input_ = test::upload(picture_);
        }
        ShaderScene& mix = ShaderScene::mixScene();
        mix.setValue("crossfade", 0.0);
        mix.setValue("inputImage", input_);
        mix.setValue("input2Image", input_);
        output_ = mix.allocAndRenderToBufferSized(kSize);
        server_.publishFrame(*output_);
        GpuBufferPool::global().housekeeping();
        ++ticks_;
    }

    FrameServer& server_;
    test::Image picture_;
    GpuBufferRef input_;
    GpuBufferRef output_;
    std::atomic<std::uint64_t> ticks_ = 0;
    DisplayLink link_;  // last: stopped before the rest goes
};

TEST(FrameServerPublishingTest, RenderedFramesReachConsumersWhileDaemonAndConsumersComeAndGo) {
    if (!test::programOnPath("pipewire") || !test::havePipeWireSource()) {
        BW_OUTSIDE_PEER_MISSING() << "needs the pipewire daemon and GStreamer's pipewiresrc";
    }
    test::PipeWireDaemon daemon;
    ASSERT_TRUE(daemon.start()) << daemon.log();
    PipeWireConnection connection;
    FrameServer server("Stage Left", kSize, connection);
    const test::Image picture = test::testPattern(kSize);
    const std::vector<std::uint8_t> expected = asBgra(picture);
    RenderLoop loop(server, picture);

    auto receiveExact = [&](const std::string& name) {
        const auto frames = test::receiveFrames(name, kSize.width, kSize.height, 3);
        ASSERT_EQ(frames.size(), 3u) << "no frames under \"" << name << "\"";
        for (const auto& frame : frames) {
            EXPECT_TRUE(frame == expected) << "a frame under \"" << name << "\" differs";
        }
    };

    receiveExact("Stage Left");
    // A consumer that leaves and another that comes.
    receiveExact("Stage Left");

    // The daemon dies while the render thread goes on; no tick waits for it.
    ASSERT_TRUE(test::waitFor([&] { return loop.ticks() > 10; }, test::scaled(10s)));
    daemon.kill();
    ASSERT_TRUE(test::waitFor([&] { return !connection.isConnected(); }, test::scaled(10s)));
    const std::uint64_t ticksAtLoss = loop.ticks();
    std::this_thread::sleep_for(700ms);  // over a retry
    EXPECT_TRUE(test::waitFor([&] { return loop.ticks() > ticksAtLoss + 10; }, test::scaled(10s)))
        << "the render thread stalled without a daemon";
    ASSERT_TRUE(daemon.start()) << daemon.log();
    ASSERT_TRUE(test::waitFor([&] { return connection.isConnected(); }, test::scaled(10s)));
    receiveExact("Stage Left");

    // A daemon that hangs with its socket open answers nothing; the ticks go
    // on all the same, as many as it takes to show that none waits for it.
    daemon.freeze();
    const std::uint64_t ticksAtHang = loop.ticks();
    EXPECT_TRUE(test::waitFor([&] { return loop.ticks() > ticksAtHang + 60; }, test::scaled(20s)))
        << "the render thread stalled behind a hung daemon";
    daemon.thaw();
    ASSERT_TRUE(test::waitFor([&] { return connection.isConnected(); }, test::scaled(10s)));

    server.setName("Stage Right");
    receiveExact("Stage Right");
    EXPECT_FALSE(test::findNode("Stage Left").has_value());
}

}  // namespace
}  // namespace bw
