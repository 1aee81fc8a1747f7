#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

#include "engine/EngineTestSupport.h"
#include "engine/ShowSync.h"
#include "platform/Clock.h"
#include "platform/FileDescriptor.h"
#include "render/DisplayLink.h"
#include "render/RenderContext.h"
#include "show/ShowHealth.h"
#include "support/Deadline.h"

namespace bw {
namespace {

using namespace std::chrono_literals;
using Kind = ShowHealth::Kind;

// A UDP port on loopback whose next port is free as well (a leader's clock
// and sync ports).
std::uint16_t freePortPair() {
    const auto bindUdp = [](std::uint16_t port, FileDescriptor& socket) {
        socket.reset(::socket(AF_INET, SOCK_DGRAM, 0));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        socklen_t length = sizeof address;
        if (::bind(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::getsockname(socket.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            return std::uint16_t{0};
        }
        return ntohs(address.sin_port);
    };
    for (int attempt = 0; attempt < 50; ++attempt) {
        FileDescriptor first;
        FileDescriptor second;
        const std::uint16_t port = bindUdp(0, first);
        if (port != 0 && port < 65534 && bindUdp(static_cast<std::uint16_t>(port + 1), second) != 0)
            return port;
    }
    throw std::runtime_error("no free pair of ports");
}

using ShowHealthSourcesTest = test::EngineTest;

// Verifies that a render thread held up past its refreshes shows as dropped
// refreshes, as the display link counts them, and that the warning clears
// once 10 s pass without another. The stall comes from the tick observer,
// which runs on the render thread after each tick.
TEST_F(ShowHealthSourcesTest, AStalledRenderThreadWarnsOfDropsUntilTenSecondsPass) {
    RenderContext::shared().releaseCurrent();  // the render thread takes it
    auto link = std::make_unique<DisplayLink>(60.0);
    DisplayLink* display = link.get();
    MediaEngine engine(MediaEngine::Parts{stack_, status_, clock_, nullptr, std::move(link)});
    std::atomic<int> ticks = 0;
    std::atomic<bool> stall = false;
    display->stop();
    engine.setTickObserver([&](const DisplayTimeStamp&, std::optional<double>) {
        ++ticks;
        // Six refreshes and more: the link skips the slots it missed.
        if (stall.exchange(false)) std::this_thread::sleep_for(100ms);
    });
    display->start();
    engine.addOutput(std::make_shared<MediaOutput>("Stage", 8, 6));
    ASSERT_TRUE(MainQueue::shared().pumpUntil([&] { return ticks >= 2; }, test::scaled(10s)));

    ShowHealth health;
    health.update(engine.healthSample());
    const std::uint64_t before = engine.framesDropped();
    stall = true;
    ASSERT_TRUE(MainQueue::shared().pumpUntil([&] { return engine.framesDropped() > before; },
                                              test::scaled(10s)));
    // No more ticks, so no drop after this one.
    display->stop();
    engine.setTickObserver(nullptr);
    const ShowHealth::Sample sample = engine.healthSample();
    health.update(sample);
    const ShowHealth::Warning* warning = health.warning(Kind::DroppedFrames);
    ASSERT_NE(warning, nullptr);
    EXPECT_EQ(warning->text.rfind(std::to_string(sample.framesDropped) + " dropped, ", 0), 0u)
        << warning->text;

    advance(9.9);
    health.update(engine.healthSample());
    EXPECT_NE(health.warning(Kind::DroppedFrames), nullptr);
    advance(0.1);
    health.update(engine.healthSample());
    EXPECT_EQ(health.warning(Kind::DroppedFrames), nullptr);
    MainQueue::shared().drain();
}

// Verifies that a render thread held up for good (no frame at all, so no
// rate to read) warns at once that the outputs stand still, and that the
// warning clears with the first frame after it.
TEST_F(ShowHealthSourcesTest, ARenderThreadThatStandsStillWarnsUntilItRendersAgain) {
    RenderContext::shared().releaseCurrent();  // the render thread takes it
    auto link = std::make_unique<DisplayLink>(60.0);
    DisplayLink* display = link.get();
    MediaEngine engine(
        MediaEngine::Parts{stack_, status_, systemClock(), nullptr, std::move(link)});
    std::atomic<int> ticks = 0;
    std::atomic<bool> hold = false;
    display->stop();
    engine.setTickObserver([&](const DisplayTimeStamp&, std::optional<double>) {
        ++ticks;
        // Held until the test lets go; never longer than a test may last.
        const auto giveUp = std::chrono::steady_clock::now() + test::scaled(60s);
        while (hold && std::chrono::steady_clock::now() < giveUp)
            std::this_thread::sleep_for(1ms);
    });
    display->start();
    ASSERT_TRUE(MainQueue::shared().pumpUntil([&] { return ticks >= 2; }, test::scaled(10s)));

    ShowHealth health;
    health.update(engine.healthSample());
    EXPECT_EQ(health.warning(Kind::FrameRate), nullptr);
    hold = true;
    const bool warned = MainQueue::shared().pumpUntil(
        [&] {
            health.update(engine.healthSample());
            const ShowHealth::Warning* warning = health.warning(Kind::FrameRate);
            return warning != nullptr && warning->text.rfind("no frames for ", 0) == 0;
        },
        test::scaled(10s));
    const int heldAt = ticks;
    hold = false;
    EXPECT_TRUE(warned) << "a render thread standing still did not warn";
    ASSERT_TRUE(
        MainQueue::shared().pumpUntil([&] { return ticks > heldAt + 1; }, test::scaled(10s)));
    health.update(engine.healthSample());
    EXPECT_EQ(health.warning(Kind::FrameRate), nullptr) << "the warning stayed after frames came";
    display->stop();
    engine.setTickObserver(nullptr);
    MainQueue::shared().drain();
}

// Verifies that a follower whose leader stops providing the clock reports
// the clock lost, a warning that clears when the leader provides it again.
// Two show syncs in one process, over loopback.
TEST_F(ShowHealthSourcesTest, AFollowerThatLosesTheLeadersClockWarnsUntilItLocksAgain) {
    const std::uint16_t port = freePortPair();
    std::string error;
    std::unique_ptr<ShowSync> leader =
        ShowSync::create(*engine_, *ShowSync::parseProvide(std::to_string(port)), nullptr, &error);
    ASSERT_NE(leader, nullptr) << error;
    NotificationCenter center{MainQueue::shared()};
    ShowStatus status{center};
    CueStack stack{status};
    MediaEngine followerEngine(MediaEngine::Parts{stack, status, clock_, nullptr, nullptr});
    std::unique_ptr<ShowSync> follower = ShowSync::create(
        followerEngine, *ShowSync::parseFollow("127.0.0.1:" + std::to_string(port)), nullptr,
        &error);
    ASSERT_NE(follower, nullptr) << error;

    ShowHealth health;
    const auto clockWarning = [&] {
        ShowHealth::Sample sample;
        sample.clock = follower->clockStatus();
        health.update(sample);
        return health.warning(Kind::Clock);
    };
    const auto locked = [&] { return follower->clock().state() == SharedClock::State::Locked; };
    ASSERT_TRUE(MainQueue::shared().pumpUntil(locked, test::scaled(30s))) << follower->statusText();
    EXPECT_EQ(clockWarning(), nullptr);

    leader->stopProviding();
    ASSERT_TRUE(
        MainQueue::shared().pumpUntil([&] { return clockWarning() != nullptr; }, test::scaled(30s)))
        << follower->statusText();
    EXPECT_EQ(clockWarning()->text, "clock lost, playing on its own");
    EXPECT_EQ(leader->clockStatus().lost, false) << "a leader has no clock to lose";

    leader->startProviding();
    ASSERT_TRUE(
        MainQueue::shared().pumpUntil([&] { return clockWarning() == nullptr; }, test::scaled(30s)))
        << follower->statusText();
    EXPECT_TRUE(locked());
    follower.reset();
    leader.reset();
    MainQueue::shared().drain();
}

}  // namespace
}  // namespace bw
