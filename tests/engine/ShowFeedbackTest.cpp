// The show's feedback source: one report per piece of work, named after its
// weightiest change, with the state a controller needs; ticks only while
// something moves.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "engine/EngineTestSupport.h"
#include "engine/MediaEngine.h"
#include "engine/ShowFeedback.h"
#include "platform/MainQueue.h"

namespace bw {
namespace {

using Change = ShowState::Change;
using Mode = ShowState::Mode;

class RecordingListener : public ShowStateListener {
public:
    void showStateChanged(const ShowState& state, Change change) override {
        if (change == Change::Tick) {
            ++ticks;
            return;
        }
        reports.emplace_back(change, state);
    }
    std::vector<std::pair<Change, ShowState>> reports;
    int ticks = 0;
};

class ShowFeedbackTest : public test::EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        addOutputs(1);
        stack_.replaceCues({makeCue(1, 1.0, {"black://"}), makeCue(2, 2.0, {"clear://"})});
        feedback_ = std::make_unique<ShowFeedback>(*engine_, center_, MainQueue::shared());
        feedback_->addListener(&listener_);
    }
    void TearDown() override {
        feedback_.reset();
        EngineTest::TearDown();
    }
    // Runs `action`, then the main queue's work; the reports it made.
    std::vector<std::pair<Change, ShowState>> after(const std::function<void()>& action) {
        listener_.reports.clear();
        action();
        MainQueue::shared().drain();
        return listener_.reports;
    }

    RecordingListener listener_;
    std::unique_ptr<ShowFeedback> feedback_;
};

TEST_F(ShowFeedbackTest, EachPieceOfWorkIsOneReportWithTheStateAfterIt) {
    struct Step {
        const char* what;
        std::function<void()> action;
        Change change;
        Mode mode;
        const char* current;
        const char* next;
    };
    const std::vector<Step> steps = {
        {"GO", [&] { engine_->go(); }, Change::Go, Mode::Fading, "1.0", "2.0"},
        {"fade end", [&] { advance(1.01), tick(); }, Change::FadeEnd, Mode::Standby, "1.0", "2.0"},
        {"lock", [&] { status_.setLocked(true); }, Change::Lock, Mode::Locked, "1.0", "2.0"},
        {"edit", [&] { stack_.setDescription(1, "Dawn"), engine_->reloadCues(); }, Change::Edit,
         Mode::Locked, "1.0", "2.0"},
        {"panic", [&] { engine_->panic(); }, Change::Panic, Mode::Panic, "", "2.0"},
        {"GO after panic", [&] { engine_->go(); }, Change::Go, Mode::Fading, "2.0", "1.0"},
    };
    for (const Step& step : steps) {
        const auto reports = after(step.action);
        ASSERT_EQ(reports.size(), 1u) << step.what;
        const auto& [change, state] = reports.front();
        EXPECT_EQ(change, step.change) << step.what;
        EXPECT_EQ(state.mode, step.mode) << step.what;
        EXPECT_EQ(state.current.id, step.current) << step.what;
        EXPECT_EQ(state.next.id, step.next) << step.what;
    }
    const ShowState state = feedback_->showState();
    EXPECT_TRUE(state.locked);
    EXPECT_EQ(state.current.description, "Dawn");
    EXPECT_TRUE(state.nextWraps);
}

TEST_F(ShowFeedbackTest, FadeTimesMoveAndTicksRunOnlyWhileTheFadeDoes) {
    EXPECT_FALSE(feedback_->isTicking());
    EXPECT_EQ(feedback_->showState().fadeProgress, -1.0);
    after([&] { engine_->go(); });
    EXPECT_TRUE(feedback_->isTicking());
    advance(0.25);
    tick();
    const ShowState midway = feedback_->showState();
    EXPECT_NEAR(midway.fadeProgress, 0.25, 0.05);
    EXPECT_NEAR(midway.fadeElapsed + midway.fadeRemaining, 1.0, 0.05);
    // A tick is reported while the fade runs.
    ASSERT_TRUE(MainQueue::shared().pumpUntil([&] { return listener_.ticks > 0; },
                                              std::chrono::seconds(10)));
    after([&] { advance(1.0), tick(); });
    EXPECT_FALSE(feedback_->isTicking());
    EXPECT_EQ(feedback_->showState().fadeProgress, -1.0);
}

// Verifies that a cue's own wait is reported when it begins and ends, with
// the seconds left in autoIn, and keeps the ticks running while it counts.
TEST_F(ShowFeedbackTest, AWaitingChainedGoReportsItsSecondsLeft) {
    Cue first = makeCue(1, 0.0, {"black://"});
    first.continueMode = CueContinue::AutoContinue;
    first.postWait = 2.0;
    Cue second = makeCue(2, 1.0, {"clear://"});
    second.preWait = 0.5;
    stack_.replaceCues({first, second});
    engine_->reloadCues();
    after([&] { engine_->go(), advance(0.01), tick(); });
    ShowState state = feedback_->showState();
    EXPECT_EQ(state.next.id, "2.0");
    EXPECT_NEAR(state.autoIn, 2.49, 1e-6) << "post-wait and the next cue's pre-wait";
    EXPECT_TRUE(feedback_->isTicking());
    const auto reports = after([&] { engine_->panic(); });
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports.front().second.autoIn, -1.0);
}

TEST_F(ShowFeedbackTest, TheEndOfAShowThatStopsThereReadsEnded) {
    engine_->setStopsAtEnd(true);
    after([&] { engine_->go(), advance(1.01), tick(); });
    after([&] { engine_->go(), advance(2.01), tick(); });
    const ShowState state = feedback_->showState();
    EXPECT_EQ(state.mode, Mode::Ended);
    EXPECT_EQ(state.current.id, "2.0");
    EXPECT_EQ(state.next, ShowState::CueLine{});
}

TEST_F(ShowFeedbackTest, GuardDropsHealthAndClockAreReportedWhenTheyChange) {
    engine_->setGoGuardSeconds(5.0);
    after([&] { engine_->go(); });
    auto reports = after([&] { engine_->go(); });
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].first, Change::GoIgnored);
    EXPECT_NE(reports[0].second.detail.find("GO ignored"), std::string::npos);

    const std::vector<ShowHealth::Warning> warnings = {
        {ShowHealth::Kind::DroppedFrames, "3 dropped, 3 in 10 s", ""}};
    reports = after([&] { feedback_->healthChecked(warnings); });
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].first, Change::Health);
    EXPECT_EQ(reports[0].second.warnings,
              std::vector<std::string>{"dropped frames: 3 dropped, 3 in 10 s"});
    EXPECT_TRUE(after([&] { feedback_->healthChecked(warnings); }).empty());

    ShowHealth::ClockStatus clock{"clock locked", false};
    feedback_->setClockStatusSource([&] { return std::optional(clock); });
    EXPECT_TRUE(after([&] { feedback_->healthChecked(warnings); }).empty());
    clock = {"clock lost, playing on its own", true};
    reports = after([&] { feedback_->healthChecked(warnings); });
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].first, Change::Clock);
    EXPECT_TRUE(reports[0].second.clockLost);
    EXPECT_EQ(reports[0].second.clock, "clock lost, playing on its own");
}

TEST_F(ShowFeedbackTest, ARemovedListenerHearsNothingMore) {
    feedback_->removeListener(&listener_);
    EXPECT_TRUE(after([&] { engine_->go(); }).empty());
}

}  // namespace
}  // namespace bw
