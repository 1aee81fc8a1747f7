#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/EngineTestSupport.h"
#include "platform/Preferences.h"
#include "platform/SystemLog.h"
#include "support/TempDir.h"

namespace bw {
namespace {

class GoGuardTest : public test::EngineTest {
protected:
    void addCues(const std::vector<double>& ids, double fadeLength = 0.0) {
        std::vector<Cue> cues;
        for (const double id : ids)
            cues.push_back(makeCue(id, fadeLength, {"black://"}));
        stack_.replaceCues(cues);
    }
    double onStage() const { return engine_->currentCue()->id; }
    // A fresh engine with one output, for the next case of a table (after
    // its cues: an output added loads the stack's first cue).
    void freshEngine() {
        engine_ = std::make_unique<MediaEngine>(
            MediaEngine::Parts{stack_, status_, clock_, nullptr, nullptr});
        addOutputs(1);
    }
};

// Each GO comes `after` seconds after the one before it; the guard lets
// through only those at least its length after the last GO it let through,
// whatever their source, and go-to-cue is guarded alike.
TEST_F(GoGuardTest, GoesInsideTheGuardAreDroppedCountedAndLogged) {
    struct Go {
        double after;
        GoSource source;
        double toCue = 0;  // 0: a plain GO
    };
    struct Case {
        const char* name;
        double guard;
        std::vector<Go> goes;
        double onStage;
        std::uint64_t ignored;
        bool lastIgnored;
        std::vector<std::string> log;
    };
    const std::vector<Case> cases = {
        {"off: every GO runs", 0.0, {{0, GoSource::Key}, {0.01, GoSource::Osc}}, 2, 0, false, {}},
        {"a double click runs one GO",
         0.3,
         {{0, GoSource::Button}, {0.12, GoSource::Button}},
         1,
         1,
         true,
         {"GO ignored: 0.12 s after the last, from the GO button"}},
        {"every source is guarded alike",
         0.3,
         {{0, GoSource::Key}, {0.1, GoSource::Osc}, {0.1, GoSource::Crep, 3}},
         1,
         2,
         true,
         {"GO ignored: 0.10 s after the last, from OSC",
          "GO ignored: 0.20 s after the last, from CREP"}},
        {"the guard counts from the last GO that ran, not the dropped ones",
         0.3,
         {{0, GoSource::Key}, {0.2, GoSource::Key}, {0.15, GoSource::Key}},
         2,
         1,
         false,
         {"GO ignored: 0.20 s after the last, from the GO key"}},
        {"a GO just past the guard runs",
         0.3,
         {{0, GoSource::Key}, {0.31, GoSource::Key}},
         2,
         0,
         false,
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        addCues({1, 2, 3});
        freshEngine();
        engine_->setGoGuardSeconds(c.guard);
        SystemLog::ScopedCapture capture;
        for (const Go& go : c.goes) {
            advance(go.after);
            if (go.toCue != 0) {
                engine_->goToCue(go.toCue, go.source);
            } else {
                engine_->go(go.source);
            }
            tick();
        }
        EXPECT_EQ(onStage(), c.onStage);
        EXPECT_EQ(engine_->goesIgnored(), c.ignored);
        EXPECT_EQ(capture.lines(), c.log);
        EXPECT_EQ(engine_->lastIgnoredGo().has_value(), c.lastIgnored);
    }
}

TEST_F(GoGuardTest, TheGuardComesFromThePreferences) {
    struct Case {
        const char* value;  // null: no such key
        double guard;
        bool warned;
    };
    const std::vector<Case> cases = {
        {nullptr, MediaEngine::kDefaultGoGuardSeconds, false},
        {"0.5", 0.5, false},
        {"0", 0.0, false},
        {"10", 10.0, false},
        {"10.5", MediaEngine::kDefaultGoGuardSeconds, true},
        {"-0.1", MediaEngine::kDefaultGoGuardSeconds, true},
        {"0.3s", MediaEngine::kDefaultGoGuardSeconds, true},
        {"", MediaEngine::kDefaultGoGuardSeconds, true},
        {"nan", MediaEngine::kDefaultGoGuardSeconds, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value != nullptr ? c.value : "(none)");
        test::TempDir folder;
        Preferences preferences(folder.path() / "beamwright.conf", std::chrono::nanoseconds(0));
        if (c.value != nullptr) {
            ASSERT_TRUE(preferences.setString(MediaEngine::kGoGuardPreference, c.value));
        }
        SystemLog::ScopedCapture capture;
        EXPECT_EQ(MediaEngine::goGuardFromPreferences(preferences), c.guard);
        EXPECT_EQ(capture.lines().size(), c.warned ? 1U : 0U);
    }
}

// What a GO would run is one answer, in every state of the show: the next
// cue, the cue after the one fading in while a crossfade runs, and the first
// cue again after the last, which it says.
TEST_F(GoGuardTest, TheCueGoRunsIsKnownBeforeEveryGo) {
    struct Case {
        const char* name;
        std::vector<double> cues;
        int goes;      // GOs run before asking
        bool midFade;  // asked while the last GO's crossfade runs
        double runs;   // 0: nothing
        bool wraps;
    };
    const std::vector<Case> cases = {
        {"from the grid, the first cue", {1, 2, 3}, 0, false, 1, false},
        {"after a fade, the next cue", {1, 2, 3}, 1, false, 2, false},
        {"during a fade, the cue after the one fading in", {1, 2, 3}, 1, true, 2, false},
        {"during the last cue's fade, the first again", {1, 2, 3}, 3, true, 1, true},
        {"on the last cue, the first again", {1, 2, 3}, 3, false, 1, true},
        {"a show of one cue goes back to it", {1}, 1, false, 1, true},
        {"an empty show runs nothing", {}, 0, false, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        addCues(c.cues, 1.0);
        freshEngine();
        for (int i = 0; i < c.goes; ++i) {
            engine_->go();
            tick();
            if (!c.midFade || i + 1 < c.goes) {
                advance(1.1);
                tick();
            }
        }
        if (c.midFade) {
            advance(0.5);
            tick();
            ASSERT_FALSE(engine_->nextCue());
        }
        const MediaEngine::GoTarget target = engine_->cueGoRuns();
        EXPECT_EQ(target.cue ? target.cue->id : 0.0, c.runs);
        EXPECT_EQ(target.wraps, c.wraps);
        // And a GO then runs it.
        if (target.cue) {
            engine_->go();
            EXPECT_EQ(onStage(), c.runs);
        }
    }
}

// Panic fades every output to black over its length, whatever is on stage
// or fading; Panic again during that fade is black at the next tick; the GO
// guard (here 10 s, with GOs just before) never refuses it, and the next GO
// runs the cue GO would have run.
TEST_F(GoGuardTest, PanicFadesToBlackAndTheShowGoesOnWhereItWas) {
    struct Case {
        const char* name;
        int goes;             // GOs before the Panic (each into a 1 s fade)
        bool midFade;         // Panic while the last GO's fade runs
        bool twice;           // Panic again half-way through its fade
        double resumes;       // the cue the GO after it runs
    };
    const std::vector<Case> cases = {
        {"from the grid", 0, false, false, 1},
        {"on a cue", 2, false, false, 3},
        {"during a fade", 2, true, false, 3},
        {"twice: black at once", 1, false, true, 2},
        {"after the last cue", 3, false, false, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        stack_.replaceCues({makeCue(1, 1.0, {"grid://"}), makeCue(2, 1.0, {"clear://"}),
                            makeCue(3, 1.0, {"grid://"})});
        freshEngine();
        engine_->setGoGuardSeconds(10.0);
        for (int i = 0; i < c.goes; ++i) {
            advance(11.0);  // past the guard
            engine_->go();
            tick();
            if (!c.midFade || i + 1 < c.goes) {
                advance(1.1);
                tick();
            }
        }
        engine_->panic();
        EXPECT_TRUE(engine_->showsPanic());
        EXPECT_EQ(engine_->currentCue()->description, "Panic");
        advance(0.5);
        tick();
        if (c.twice) {
            EXPECT_NEAR(*engine_->fadeTransitionProgress(), 0.5, 1e-9);
            engine_->panic();
            tick();
        } else {
            EXPECT_NEAR(*engine_->fadeTransitionProgress(), 0.5, 1e-9);
            advance(0.6);
            tick();
        }
        EXPECT_FALSE(engine_->previousCue()) << "the fade to black has ended";
        const test::Image published = outputPixels(0);
        const std::uint8_t* pixel = published.at(2, 2);
        EXPECT_EQ(pixel[0], 0);
        EXPECT_EQ(pixel[3], 255) << "opaque black";
        EXPECT_EQ(engine_->cueGoRuns().cue->id, c.resumes);
        advance(11.0);  // past the guard, which the Panics did not touch
        engine_->go();
        EXPECT_EQ(onStage(), c.resumes);
        EXPECT_FALSE(engine_->showsPanic());
    }
}

// A show that stops after its last cue: GO there runs nothing and says it
// is the end; a typed cue still runs; wrapping again arms the first cue.
TEST_F(GoGuardTest, AShowThatStopsAtTheEndRunsNothingAfterItsLastCue) {
    stack_.replaceCues({makeCue(1, 0.0, {"grid://"}), makeCue(2, 0.0, {"black://"})});
    freshEngine();
    engine_->setStopsAtEnd(true);
    for (int i = 0; i < 2; ++i) {
        engine_->go();
        tick();
    }
    EXPECT_EQ(onStage(), 2.0);
    EXPECT_FALSE(engine_->nextCue());
    MediaEngine::GoTarget target = engine_->cueGoRuns();
    EXPECT_FALSE(target.cue);
    EXPECT_TRUE(target.endOfShow);
    engine_->go();
    tick();
    EXPECT_EQ(onStage(), 2.0);

    engine_->setStopsAtEnd(false);
    target = engine_->cueGoRuns();
    ASSERT_TRUE(target.cue);
    EXPECT_EQ(target.cue->id, 1.0);
    EXPECT_TRUE(target.wraps);
    EXPECT_FALSE(target.endOfShow);

    engine_->setStopsAtEnd(true);
    EXPECT_TRUE(engine_->cueGoRuns().endOfShow);
    engine_->goToCue(1);
    EXPECT_EQ(onStage(), 1.0);
}

}  // namespace
}  // namespace bw
