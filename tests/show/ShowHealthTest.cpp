#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/MainQueue.h"
#include "platform/MediaURL.h"
#include "show/MediaScan.h"
#include "show/MediaWatch.h"
#include "show/ShowHealth.h"
#include "support/TempDir.h"

namespace bw {
namespace {

using namespace std::chrono_literals;
using Kind = ShowHealth::Kind;
using Sample = ShowHealth::Sample;
using Change = std::function<void(Sample&)>;

// Every figure as it should be: 60 of 60 FPS, nothing dropped, a GO on
// time, all media there, the outputs shared, the clock locked.
Sample healthy(double seconds) {
    Sample sample;
    sample.hostTime = std::llround(seconds * 1e9);
    sample.displayRate = 60.0;
    sample.framesPerSecond = 60;
    sample.lastGoLatency = 0.010;
    sample.clock = ShowHealth::ClockStatus{"clock locked", false};
    return sample;
}

const Change kHealthy = [](Sample&) {};
Change fps(std::int64_t rate, double displayRate = 60.0) {
    return [=](Sample& s) {
        s.framesPerSecond = rate;
        s.displayRate = displayRate;
    };
}
Change dropped(std::uint64_t total) {
    return [=](Sample& s) { s.framesDropped = total; };
}
Change latency(double seconds, double displayRate = 60.0) {
    return [=](Sample& s) {
        s.lastGoLatency = seconds;
        s.displayRate = displayRate;
    };
}
Change missing(std::vector<double> cues) {
    return [=](Sample& s) {
        for (const double cue : cues)
            s.missingMedia.push_back({cue, 0, "/media/" + std::to_string(cue) + ".mov", false});
    };
}
Change sharing(const char* problem) {
    return [=](Sample& s) { s.sharingProblem = problem; };
}
Change clock(const char* text, bool lost) {
    return [=](Sample& s) { s.clock = ShowHealth::ClockStatus{text, lost}; };
}
const Change kNoClock = [](Sample& s) { s.clock.reset(); };
Change lastFrame(double seconds, double displayRate = 60.0) {
    return [=](Sample& s) {
        s.lastFrameTime = std::llround(seconds * 1e9);
        s.displayRate = displayRate;
    };
}

struct Step {
    double seconds;
    Change change;
    // The case's warning standing after this sample; none: none stands.
    std::optional<std::string> text;
};

struct WarningCase {
    const char* name;
    Kind kind;
    std::vector<Step> steps;
};

// Verifies each rule on a fake clock: its warning appears on its cause (after
// the hold where the rule has one), shows the figures, and clears when the
// cause goes; no other warning stands meanwhile.
TEST(ShowHealthTest, EachWarningAppearsOnItsCauseAndClearsWhenItGoes) {
    const std::vector<WarningCase> cases = {
        {"frame rate low for 2 s",
         Kind::FrameRate,
         {{0.0, fps(56), {}},
          {1.9, fps(56), {}},
          {2.0, fps(40), "40 of 60 FPS"},
          {3.0, fps(57), {}},  // 95 % exactly is not low
          {4.0, fps(56), {}},  // the hold starts again
          {5.9, fps(56), {}},
          {6.0, fps(20, 25.0), "20 of 25 FPS"},
          {7.0, fps(0, 0.0), {}}}},  // no display rate: no rule
        {"no frame for half a second",
         Kind::FrameRate,
         {{0.0, lastFrame(0.0), {}},
          {0.4, lastFrame(0.0), {}},
          {0.5, lastFrame(0.0), "no frames for 0.5 s"},  // at once, no hold
          {2.0, lastFrame(0.0), "no frames for 2.0 s"},
          {2.1, lastFrame(2.09), {}},
          {3.0, lastFrame(1.0, 0.0), {}}}},  // no display rate: no rule
        {"a drop in the last 10 s",
         Kind::DroppedFrames,
         {{0.0, dropped(0), {}},
          {1.0, dropped(3), "3 dropped, 3 in 10 s"},
          {5.0, dropped(5), "5 dropped, 5 in 10 s"},
          {10.9, dropped(5), "5 dropped, 5 in 10 s"},
          {11.0, dropped(5), "5 dropped, 2 in 10 s"},
          {15.0, dropped(5), {}},
          {16.0, dropped(0), {}},  // a show was opened: counts start afresh
          {17.0, dropped(1), "1 dropped, 1 in 10 s"},
          {27.0, dropped(1), {}}}},
        {"a GO later than two refreshes",
         Kind::GoLatency,
         {{0.0, latency(0.033), {}},
          {1.0, latency(0.0345), "GO 34.5 ms: late"},
          {2.0, latency(0.060, 30.0), {}},
          {3.0, latency(0.070, 30.0), "GO 70.0 ms: late"},
          {4.0, latency(0.040, 0.0), "GO 40.0 ms: late"},  // 60 Hz assumed
          {5.0, latency(0.012), {}},
          {6.0, [](Sample& s) { s.lastGoLatency.reset(); }, {}}}},
        {"missing media",
         Kind::MissingMedia,
         {{0.0, kHealthy, {}},
          {1.0, missing({3}), "1 media file missing (cue 3.0)"},
          {2.0, missing({2.5, 2.5, 7}), "2 media files missing (cues 2.5, 7.0)"},  // 2.5 twice
          {3.0, missing({1, 2, 3, 4}), "4 media files missing"},
          {4.0, kHealthy, {}}}},
        {"outputs not shared",
         Kind::Sharing,
         {{0.0, kHealthy, {}},
          {1.0, sharing("cannot connect"),
           "Outputs not shared: no PipeWire daemon (cannot connect)"},
          {2.0, kHealthy, {}}}},
        {"no sound output",
         Kind::Sound,
         {{0.0, kHealthy, {}},
          {1.0, [](Sample& s) { s.soundProblem = "no sound server"; }, "No sound: no sound server"},
          {2.0, kHealthy, {}}}},
        {"the chosen sound output missing",
         Kind::Sound,
         {{0.0, kHealthy, {}},
          {1.0, [](Sample& s) { s.missingSoundOutput = "hdmi"; },
           "No sound on \"hdmi\": that sound output is not there"},
          // No server at all is the deeper cause, and says so.
          {2.0,
           [](Sample& s) {
               s.missingSoundOutput = "hdmi";
               s.soundProblem = "no sound server";
           },
           "No sound: no sound server"},
          {3.0, kHealthy, {}}}},
        {"a follower's clock lost",
         Kind::Clock,
         {{0.0, clock("clock waiting for leader", false), {}},
          {1.0, clock("clock lost, playing on its own", true), "clock lost, playing on its own"},
          {2.0, clock("clock following leader offset 3 us", false), {}},
          {3.0, clock("clock lost, playing on its own", true), "clock lost, playing on its own"},
          {4.0, kNoClock, {}}}},
    };
    for (const WarningCase& c : cases) {
        SCOPED_TRACE(c.name);
        ShowHealth health;
        for (const Step& step : c.steps) {
            SCOPED_TRACE(step.seconds);
            Sample sample = healthy(step.seconds);
            step.change(sample);
            health.update(sample);
            const ShowHealth::Warning* warning = health.warning(c.kind);
            ASSERT_EQ(warning != nullptr, step.text.has_value());
            ASSERT_EQ(health.warnings().size(), step.text ? 1u : 0u) << "no other warning";
            if (!warning) continue;
            EXPECT_EQ(warning->text, *step.text);
            EXPECT_GT(warning->explanation.size(), warning->text.size())
                << "says what it means and what to do";
        }
    }
}

// Verifies that an update tells a warning once when it appears (a growing
// count is not news), and its kind once when it clears; several stand in
// the order of their kinds.
TEST(ShowHealthTest, ChangesTellAppearingAndClearingOnce) {
    ShowHealth health;
    Sample sample = healthy(0.0);
    EXPECT_TRUE(health.update(sample).appeared.empty());

    sample = healthy(1.0);
    sample.sharingProblem = "no daemon";
    ShowHealth::Changes changes = health.update(sample);
    ASSERT_EQ(changes.appeared.size(), 1u);
    EXPECT_EQ(changes.appeared[0].kind, Kind::Sharing);

    sample = healthy(2.0);
    sample.framesDropped = 4;
    sample.sharingProblem = "no daemon";
    changes = health.update(sample);
    ASSERT_EQ(changes.appeared.size(), 1u);
    EXPECT_EQ(changes.appeared[0].kind, Kind::DroppedFrames);
    sample.hostTime = 3'000'000'000;
    sample.framesDropped = 9;
    EXPECT_TRUE(health.update(sample).appeared.empty());
    ASSERT_EQ(health.warnings().size(), 2u);
    EXPECT_EQ(health.warnings()[0].kind, Kind::DroppedFrames);
    EXPECT_EQ(health.warnings()[1].kind, Kind::Sharing);

    sample.hostTime = 4'000'000'000;
    sample.sharingProblem.reset();
    changes = health.update(sample);
    EXPECT_TRUE(changes.appeared.empty());
    EXPECT_EQ(changes.cleared, std::vector<Kind>{Kind::Sharing});
    EXPECT_TRUE(health.update(sample).cleared.empty());
}

// Verifies the missing-media explanation: each entry with its cue, output
// (counted from 1) and path, at most kMediaListed of them.
TEST(ShowHealthTest, MissingMediaNamesCuesOutputsAndFiles) {
    Sample sample = healthy(0.0);
    sample.missingMedia = {{4, 1, "/show/intro.mov", false}, {4, 0, "/show/logo.png", true}};
    for (int k = 0; k < 6; ++k)
        sample.missingMedia.push_back({9, 0, "/show/loop" + std::to_string(k) + ".mov", false});
    ShowHealth health;
    health.update(sample);
    const ShowHealth::Warning* warning = health.warning(Kind::MissingMedia);
    ASSERT_NE(warning, nullptr);
    EXPECT_EQ(warning->text, "8 media files missing (cues 4.0, 9.0)");
    const std::string& text = warning->explanation;
    EXPECT_NE(text.find("cue 4.0, output 2: /show/intro.mov (missing)"), std::string::npos) << text;
    EXPECT_NE(text.find("cue 4.0, output 1: /show/logo.png (cannot be read)"), std::string::npos);
    EXPECT_NE(text.find("/show/loop2.mov"), std::string::npos);
    EXPECT_EQ(text.find("/show/loop3.mov"), std::string::npos) << "five listed";
    EXPECT_NE(text.find("and 3 more."), std::string::npos);
}

// Verifies the scan of a show's media on disk: generators need no file,
// a file present is fine, a missing one is named with its cue and output
// each time a cue names it; a file unreadable for this user, or empty, is
// named too.
TEST(MediaScanTest, FindsMissingAndUnreadableFiles) {
    test::TempDir dir;
    const std::string here = dir.write("here.mov", "x").string();
    const std::string locked = dir.write("locked.mov", "x").string();
    const std::string gone = (dir / "gone.mov").string();
    const std::string empty = dir.write("empty.mov", "").string();
    ASSERT_EQ(::chmod(locked.c_str(), 0), 0);
    const auto cue = [](double id, std::vector<MediaURL> urls) {
        Cue made{id, "", 0.0, {}};
        for (MediaURL& url : urls) {
            MediaOutputState state;
            state.mediaURL = std::move(url);
            made.outputStates.push_back(state);
        }
        return made;
    };
    const MediaURL black = *MediaURL::fromString("black://");
    const std::vector<Cue> cues = {cue(1, {black, MediaURL::fileURL(here)}),
                                   cue(2, {MediaURL::fileURL(gone), MediaURL::fileURL(locked)}),
                                   cue(3, {black, MediaURL::fileURL(gone)}),
                                   cue(4, {MediaURL::fileURL(empty)})};
    std::vector<MissingMedia> expected = {
        {2, 0, gone, false}, {3, 1, gone, false}, {4, 0, empty, true}};
    // Root opens any file whatever its mode.
    if (::geteuid() != 0) expected.insert(expected.begin() + 1, {2, 1, locked, true});
    EXPECT_EQ(MediaScan::missingMedia(cues), expected);
}

// Verifies that a watch finds missing media on its worker and hands the
// result to the main queue, that a check while a scan runs is skipped, and
// that a result arriving after the watch has gone is dropped.
TEST(MediaWatchTest, ScansOffTheCallingThreadAndReportsThroughTheMainQueue) {
    test::TempDir dir;
    const std::string gone = (dir / "gone.mov").string();
    Cue cue{1, "", 0.0, {}};
    cue.outputStates.push_back({MediaURL::fileURL(gone)});
    MainQueue& mainQueue = MainQueue::shared();
    {
        MediaWatch watch(mainQueue);
        watch.check({cue});
        watch.check({});  // skipped: the first scan still runs
        EXPECT_TRUE(watch.missingMedia().empty()) << "no result before the main queue runs";
        ASSERT_TRUE(mainQueue.pumpUntil([&] { return watch.scansFinished() == 1; }, 20s));
        EXPECT_EQ(watch.missingMedia(), (std::vector<MissingMedia>{{1, 0, gone, false}}));

        dir.write("gone.mov", "x");
        watch.check({cue});
        ASSERT_TRUE(mainQueue.pumpUntil([&] { return watch.scansFinished() == 2; }, 20s));
        EXPECT_TRUE(watch.missingMedia().empty());
        watch.check({cue});
    }
    mainQueue.drain();  // the last scan's result finds no watch
}

}  // namespace
}  // namespace bw
