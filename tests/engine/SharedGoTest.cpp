#include <gtest/gtest.h>

#include <vector>

#include "engine/EngineTestSupport.h"
#include "engine/GoCoordinator.h"
#include "engine/ShowSync.h"
#include "media/ShowClock.h"

namespace bw {
namespace {

// The show clock runs `offset` ahead of the test's host clock.
class OffsetShowClock final : public ShowClock {
public:
    std::int64_t showTimeAt(std::int64_t host) const override { return host + offset; }
    GstClock* gstClock() const override { return nullptr; }
    std::int64_t offset = 7'000'000'000;
};

class FakeCoordinator final : public GoCoordinator {
public:
    std::optional<std::int64_t> startTimeForGo() override { return start; }
    void goStarted(const Cue& cue, std::int64_t startTime) override {
        started.emplace_back(cue.id, startTime);
    }
    std::optional<std::int64_t> start;
    std::vector<std::pair<double, std::int64_t>> started;
};

class SharedGoTest : public test::EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        addOutputs(1);
        stack_.replaceCues({makeCue(1.0, 2.0, {"black://"}), makeCue(2.0, 2.0, {"clear://"})});
        engine_->setShowClock(&showClock_);
    }
    void TearDown() override {
        engine_->setShowClock(nullptr);
        engine_->setGoCoordinator(nullptr);
        EngineTest::TearDown();
    }
    // The show time of the test's host clock now.
    std::int64_t showNow() const { return clock_.hostTimeNanoseconds() + showClock_.offset; }

    OffsetShowClock showClock_;
};

TEST_F(SharedGoTest, ProgressComesFromTheShowClockAtTheDisplayTime) {
    // Verifies that the fade goes by the show clock against the shared start,
    // whatever the local clock says: 0 before the start, then linear.
    const std::int64_t start = showNow() + 500'000'000;
    ASSERT_TRUE(engine_->goAt(start));
    const struct {
        double secondsFromNow;
        double progress;
    } ticks[] = {{0.0, 0.0}, {0.4, 0.0}, {0.5, 0.0}, {1.0, 0.25}, {1.5, 0.5}, {2.0, 0.75}};
    double now = 0.0;
    for (const auto& t : ticks) {
        advance(t.secondsFromNow - now);
        now = t.secondsFromNow;
        tick();
        ASSERT_TRUE(engine_->fadeTransitionProgress());
        EXPECT_NEAR(*engine_->fadeTransitionProgress(), t.progress, 1e-9) << t.secondsFromNow;
    }
    EXPECT_EQ(engine_->fadeStartTime(), start);
    advance(0.6);
    tick();
    EXPECT_FALSE(engine_->fadeTransitionProgress());
    EXPECT_FALSE(engine_->previousCue());
}

TEST_F(SharedGoTest, AStartLongPastEndsTheFadeOnTheFirstTick) {
    // A follower catching up on a GO it missed: the leader's fade is over.
    ASSERT_TRUE(engine_->goAt(showNow() - 10'000'000'000));
    tick();
    EXPECT_FALSE(engine_->previousCue());
    EXPECT_EQ(engine_->currentCue()->id, 1.0);
}

TEST_F(SharedGoTest, TheCoordinatorTimesEveryGoOrRefusesItWhole) {
    FakeCoordinator coordinator;
    engine_->setGoCoordinator(&coordinator);
    // Refused: neither GO nor go-to-cue changes anything, not even the next cue.
    engine_->goToCue(2.0);
    engine_->go();
    EXPECT_TRUE(engine_->showsAlignmentGrid());
    EXPECT_FALSE(engine_->nextCue());
    EXPECT_TRUE(coordinator.started.empty());

    coordinator.start = showNow() + 1'000'000'000;
    engine_->goToCue(2.0);
    ASSERT_EQ(coordinator.started.size(), 1U);
    EXPECT_EQ(coordinator.started[0], std::pair(2.0, *coordinator.start));
    EXPECT_EQ(engine_->fadeStartTime(), coordinator.start);
    tick();
    EXPECT_EQ(*engine_->fadeTransitionProgress(), 0.0);
}

TEST(ShowSyncSettingTest, ClockSettingsParseOrAreRefused) {
    const struct {
        const char* text;
        bool provide;
        std::optional<std::string> host;
        std::uint16_t port;
    } cases[] = {
        {"9000", true, "", 9000},
        {"65534", true, "", 65534},
        {"65535", true, std::nullopt, 0},  // no room for the sync port
        {"0", true, std::nullopt, 0},
        {"90a", true, std::nullopt, 0},
        {"10.0.0.1:9000", false, "10.0.0.1", 9000},
        {"stage.local:17000", false, "stage.local", 17000},
        {"[fe80::1]:9000", false, "fe80::1", 9000},
        {"fe80::1:9000", false, std::nullopt, 0},
        {":9000", false, std::nullopt, 0},
        {"host:", false, std::nullopt, 0},
        {"host", false, std::nullopt, 0},
    };
    for (const auto& c : cases) {
        const auto options = c.provide ? ShowSync::parseProvide(c.text) : ShowSync::parseFollow(c.text);
        ASSERT_EQ(options.has_value(), c.host.has_value()) << c.text;
        if (!options) continue;
        EXPECT_EQ(options->host, *c.host) << c.text;
        EXPECT_EQ(options->port, c.port) << c.text;
    }
    EXPECT_EQ(ShowSync::parsePtpDomain("0"), 0U);
    EXPECT_EQ(ShowSync::parsePtpDomain("255"), 255U);
    EXPECT_FALSE(ShowSync::parsePtpDomain("256"));
}

}  // namespace
}  // namespace bw
