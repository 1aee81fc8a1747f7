#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "engine/EngineTestSupport.h"
#include "engine/GoCoordinator.h"

namespace bw {
namespace {

constexpr double kRefresh = 1.0 / 60.0;

struct Timing {
    double id;
    double fade;
    double preWait = 0.0;
    CueContinue mode = CueContinue::None;
    double postWait = 0.0;
};

// A coordinator that lets every GO start now and, as a follower does, makes
// no chained GO of its own.
class FollowerCoordinator : public GoCoordinator {
public:
    explicit FollowerCoordinator(ManualClock& clock) : clock_(clock) {}
    std::optional<std::int64_t> startTimeForGo() override { return clock_.hostTimeNanoseconds(); }
    void goStarted(const Cue&, std::int64_t) override {}
    std::optional<std::int64_t> chainedGoLead() override { return std::nullopt; }

private:
    ManualClock& clock_;
};

class CueChainTest : public test::EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        start_ = seconds();
    }
    // A fresh engine for the next case of a table.
    void fresh() {
        engine_.reset();
        MainQueue::shared().drain();
        engine_ = std::make_unique<MediaEngine>(
            MediaEngine::Parts{stack_, status_, clock_, nullptr, nullptr});
        starts_.clear();
        shown_.clear();
        start_ = seconds();
    }
    void addCues(const std::vector<Timing>& timings) {
        std::vector<Cue> cues;
        for (const Timing& t : timings) {
            Cue cue = makeCue(t.id, t.fade, {"black://"});
            cue.preWait = t.preWait;
            cue.continueMode = t.mode;
            cue.postWait = t.postWait;
            cues.push_back(cue);
        }
        stack_.replaceCues(cues);
        addOutputs(1);
    }
    double seconds() const { return clock_.mediaTimeSeconds(); }
    // Ticks at 60 Hz for `duration` seconds; the chain's timer comes round
    // only every `pollEvery` ticks (a busy main loop). Writes down where
    // each crossfade that started began and the first tick that showed it
    // under way.
    void run(double duration, int pollEvery = 1) {
        const int ticks = static_cast<int>(std::lround(duration / kRefresh));
        for (int i = 0; i < ticks; ++i) {
            advance(kRefresh);
            if (i % pollEvery == 0) engine_->chain().poll();
            const std::optional<Cue> current = engine_->currentCue();
            const double fadeEnd = engine_->fadeEndTime();
            tick(++frame_);
            if (!current || engine_->showsAlignmentGrid()) continue;
            const double fadeStart = fadeEnd - std::max(current->fadeLength, 0.0);
            if (!starts_.contains(current->id)) starts_[current->id] = fadeStart - start_;
            const std::optional<double> progress = engine_->fadeTransitionProgress();
            // The first tick past the start: under way, or a cut already done.
            if (!shown_.contains(current->id) && seconds() > fadeStart &&
                (!progress || *progress > 0.0)) {
                shown_[current->id] = seconds() - fadeStart;
            }
        }
    }

    double start_ = 0.0;
    std::uint64_t frame_ = 0;
    std::map<double, double> starts_;  // cue ID: crossfade start, seconds after start_
    std::map<double, double> shown_;   // cue ID: first tick under way, seconds after its start
};

// Verifies that each chained crossfade starts at its due time, worked out from
// the cue before it, however late the chain's timer comes round, and that the
// first tick after that time shows it under way.
TEST_F(CueChainTest, ChainedCrossfadesStartAtTheirDueTimes) {
    struct Case {
        const char* name;
        std::vector<Timing> cues;
        int pollEvery;
        std::map<double, double> starts;  // the GO is at 0
    };
    const std::vector<Case> cases = {
        {"pre-wait", {{1, 1.0, 2.0}, {2, 1.0}}, 1, {{1, 2.0}}},
        {"auto-continue with a post-wait",
         {{1, 1.0, 0.0, CueContinue::AutoContinue, 0.5}, {2, 0.5}},
         1,
         {{1, 0.0}, {2, 1.5}}},
        {"a chain of three, the last with a pre-wait, its timer late",
         {{1, 0.5, 0.0, CueContinue::AutoContinue},
          {2, 1.0, 0.0, CueContinue::AutoContinue, 1.0},
          {3, 0.25, 0.5}},
         2,
         {{1, 0.0}, {2, 0.5}, {3, 3.0}}},
        {"auto-follow without a movie waits as auto-continue",
         {{1, 0.0, 0.0, CueContinue::AutoFollow, 0.75}, {2, 1.0}},
         1,
         {{1, 0.0}, {2, 0.75}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fresh();
        addCues(c.cues);
        engine_->go();
        run(5.0, c.pollEvery);
        ASSERT_EQ(starts_.size(), c.starts.size()) << "each cue started once";
        for (const auto& [id, due] : c.starts) {
            EXPECT_NEAR(starts_[id], due, 1e-6) << "cue " << id;
            ASSERT_TRUE(shown_.contains(id)) << "cue " << id;
            EXPECT_GE(shown_[id], 0.0);
            EXPECT_LE(shown_[id], kRefresh + 1e-9) << "cue " << id;
        }
        EXPECT_FALSE(engine_->chain().countdown()) << "nothing waits at the end";
    }
}

// Verifies that the countdown names the cue that will run and the seconds
// left, and that a show that stops after its last cue chains nothing.
TEST_F(CueChainTest, CountdownNamesTheCueAndTheSecondsLeft) {
    addCues({{1, 1.0, 0.0, CueContinue::AutoContinue, 1.5}, {2, 1.0, 0.5}});
    engine_->go();
    ASSERT_TRUE(engine_->chain().countdown());
    EXPECT_EQ(engine_->chain().countdown()->cueID, 2.0);
    EXPECT_EQ(engine_->chain().countdown()->wait, CueChain::Wait::PostWait);
    EXPECT_NEAR(*engine_->chain().secondsLeft(), 3.0, 1e-6);
    run(1.0);
    EXPECT_NEAR(*engine_->chain().secondsLeft(), 2.0, 1e-6);

    fresh();
    addCues({{1, 1.0}, {2, 1.0, 0.0, CueContinue::AutoContinue}});
    engine_->setStopsAtEnd(true);
    engine_->goToCue(2);
    EXPECT_FALSE(engine_->chain().countdown()) << "nothing follows the last cue";
}

// What ends a waiting chained GO, and what a GO during the wait does.
TEST_F(CueChainTest, PanicLockAndGoEndTheWait) {
    const std::vector<Timing> cues = {{1, 0.5, 0.0, CueContinue::AutoContinue, 1.0},
                                      {2, 0.5, 0.0, CueContinue::AutoContinue, 1.0},
                                      {3, 0.5, 1.0},
                                      {4, 0.5}};
    struct Case {
        const char* name;
        // After 1 s (cue 1's post-wait running)...
        void (*act)(MediaEngine&);
        double onStage;  // ...the cue on stage 5 s later
        std::optional<double> waiting;
    };
    const std::vector<Case> cases = {
        {"nothing: the chain runs to cue 3, which has a pre-wait but was chained into",
         [](MediaEngine&) {}, 3, std::nullopt},
        {"Panic", [](MediaEngine& e) { e.panic(); }, MediaEngine::kPanicCueID, std::nullopt},
        {"the lock", [](MediaEngine& e) { e.stopChain(); }, 1, std::nullopt},
        {"GO runs cue 2 at once and the chain goes on from it", [](MediaEngine& e) { e.go(); }, 3,
         std::nullopt},
        {"go-to-cue 4 runs it", [](MediaEngine& e) { e.goToCue(4); }, 4, std::nullopt},
        {"the operator makes cue 4 next: the chain runs it instead",
         [](MediaEngine& e) { e.loadNextCue(e.stack().cues()[3]); }, 4, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fresh();
        addCues(cues);
        engine_->go();
        run(1.0);
        c.act(*engine_);
        if (std::string(c.name).starts_with("GO")) {
            EXPECT_EQ(engine_->currentCue()->id, 2.0) << "at once";
        }
        run(5.0);
        EXPECT_EQ(engine_->currentCue()->id, c.onStage);
        EXPECT_EQ(engine_->chain().countdown().has_value(), c.waiting.has_value());
    }
}

// Verifies that a GO during a cue's pre-wait runs it at once, that the GO
// guard still drops one that comes too soon, and that the pre-wait's cue is
// not run twice.
TEST_F(CueChainTest, GoDuringAPreWaitRunsItsCueAtOnceUnderTheGuard) {
    addCues({{1, 0.5, 3.0}, {2, 0.5}});
    engine_->setGoGuardSeconds(0.3);
    engine_->go();
    EXPECT_EQ(engine_->chain().countdown()->wait, CueChain::Wait::PreWait);
    EXPECT_TRUE(engine_->showsAlignmentGrid()) << "the fade waits";
    advance(0.1);
    engine_->go();
    EXPECT_EQ(engine_->goesIgnored(), 1u);
    EXPECT_TRUE(engine_->chain().countdown()) << "the dropped GO leaves the wait";
    advance(0.5);
    engine_->go();
    EXPECT_EQ(engine_->currentCue()->id, 1.0);
    EXPECT_FALSE(engine_->chain().countdown());
    run(4.0);
    EXPECT_EQ(engine_->currentCue()->id, 1.0) << "the wait made no second GO";
}

// Verifies that a follower shows the countdown but makes no GO of its own:
// the leader's GO moves it on.
TEST_F(CueChainTest, AFollowerCountsDownButWaitsForTheLeader) {
    FollowerCoordinator follower(clock_);
    engine_->setGoCoordinator(&follower);
    addCues({{1, 0.5, 0.0, CueContinue::AutoContinue, 0.5}, {2, 0.5}});
    engine_->go();
    run(2.0);
    EXPECT_EQ(engine_->currentCue()->id, 1.0);
    ASSERT_TRUE(engine_->chain().countdown());
    EXPECT_EQ(*engine_->chain().secondsLeft(), 0.0);
    engine_->goAt(clock_.hostTimeNanoseconds());
    EXPECT_EQ(engine_->currentCue()->id, 2.0);
    EXPECT_FALSE(engine_->chain().countdown());
    engine_->setGoCoordinator(nullptr);
}

}  // namespace
}  // namespace bw
