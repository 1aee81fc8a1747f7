#include <QAction>
#include <QApplication>
#include <QHeaderView>
#include <QLabel>
#include <QScreen>
#include <QStatusBar>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "engine/MediaEngine.h"
#include "engine/MediaOutput.h"
#include "platform/MediaURL.h"
#include "support/TempDir.h"
#include "ui/Look.h"
#include "ui/ShowView.h"
#include "ui/ShowWindow.h"
#include "ui/StageLine.h"
#include "ui/ViewZoom.h"
#include "ui/WindowTestSupport.h"
#include "ui/cuelist/ShowTableView.h"

namespace bw {
namespace {

using namespace std::chrono_literals;
using PlaybackTime = MediaPlayer::PlaybackTime;

TEST(StageLineTest, TimesCountDownInWholeSecondsAndTenthsAtTheEnd) {
    const struct {
        double seconds;
        bool countingDown;
        const char* shown;
    } cases[] = {
        {0.0, true, "0.0"},        {9.44, true, "9.4"},           {9.99, true, "9.9"},
        {10.0, true, "0:10"},      {10.01, true, "0:11"},         {65.0, true, "1:05"},
        {3723.0, true, "1:02:03"}, {59.9, false, "0:59"},         {9.9, false, "0:09"},
        {-2.0, true, "0.0"},       {std::nan(""), false, "0:00"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(StageLine::formatTime(c.seconds, c.countingDown).toStdString(), c.shown)
            << c.seconds << (c.countingDown ? " left" : " elapsed");
    }
}

TEST(StageLineTest, TheMovieOnStageIsTheOneThatEndsLast) {
    const PlaybackTime shortOne{12.0, 20.0, false, false};
    const PlaybackTime longOne{12.0, 60.0, false, false};
    const PlaybackTime loop{3.0, 30.0, true, false};
    const PlaybackTime unknown{4.0, std::nullopt, false, false};
    const struct {
        std::vector<PlaybackTime> movies;
        std::optional<PlaybackTime> chosen;
        const char* shown;
        bool warns;
    } cases[] = {
        {{}, std::nullopt, "", false},
        {{shortOne, loop, longOne}, longOne, "Movie 0:12 · 0:48 left", false},
        {{loop, shortOne}, shortOne, "Movie 0:12 · 8.0 left", true},
        {{unknown, loop}, loop, "Loop 0:03 of 0:30", false},
        {{unknown}, unknown, "Movie 0:04", false},
    };
    for (const auto& c : cases) {
        const std::optional<PlaybackTime> chosen = MediaEngine::stageMovie(c.movies);
        ASSERT_EQ(chosen.has_value(), c.chosen.has_value()) << c.shown;
        if (chosen) {
            EXPECT_EQ(chosen->duration, c.chosen->duration) << c.shown;
            EXPECT_EQ(chosen->looped, c.chosen->looped) << c.shown;
        }
        EXPECT_EQ(StageLine::describeMovie(chosen).toStdString(), c.shown);
        EXPECT_EQ(StageLine::movieWarns(chosen), c.warns) << c.shown;
    }
    EXPECT_EQ(StageLine::describeFade(MediaEngine::StageTiming::Fade{0.25, 1.0, 3.0}),
              "Fade 1.0 s · 3.0 s left");
}

TEST(StageLineTest, ZoomFollowsTheScreensDensityInSteps) {
    const struct {
        double dpi;
        double ratio;
        double zoom;
    } screens[] = {
        {96, 1, 1.0}, {92, 1, 1.0}, {163, 1, 1.75}, {192, 1, 2.0}, {192, 2, 1.0},
        {72, 1, 1.0}, {0, 1, 1.0},  {1000, 1, 4.0}, {140, 1, 1.5},
    };
    for (const auto& s : screens)
        EXPECT_DOUBLE_EQ(ViewZoom::forScreen(s.dpi, s.ratio), s.zoom) << s.dpi << " dpi";
    EXPECT_DOUBLE_EQ(ViewZoom::bigger(1.0), 1.1);
    EXPECT_DOUBLE_EQ(ViewZoom::smaller(1.0), 0.9);
    EXPECT_DOUBLE_EQ(ViewZoom::bigger(1.3), 1.5);
    EXPECT_DOUBLE_EQ(ViewZoom::bigger(ViewZoom::kLargest), ViewZoom::kLargest);
    EXPECT_DOUBLE_EQ(ViewZoom::smaller(ViewZoom::kSmallest), ViewZoom::kSmallest);
    EXPECT_EQ(ViewZoom::parse(ViewZoom::format(1.25)), 1.25);
    for (const char* bad : {"", "abc", "1.5x", "9", "0.1", "nan"})
        EXPECT_FALSE(ViewZoom::parse(std::string(bad))) << bad;
    EXPECT_FALSE(ViewZoom::parse(std::nullopt));
}

TEST(StageLineTest, TheWindowFitsTheScreenItOpensOn) {
    const QRect screen(0, 0, 1024, 600);
    const struct {
        QRect wanted;
        QRect fitted;
    } cases[] = {
        {{100, 50, 800, 500}, {100, 50, 800, 500}},
        {{0, 0, 1100, 700}, {0, 0, 1024, 600}},
        {{900, 400, 400, 300}, {624, 300, 400, 300}},
        {{-50, -20, 300, 200}, {0, 0, 300, 200}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ShowWindow::fittedGeometry(c.wanted, screen), c.fitted) << c.wanted.x();
    EXPECT_EQ(ShowWindow::fittedGeometry({5, 5, 10, 10}, QRect()), QRect(5, 5, 10, 10));
}

// Where the movie's time sits (left edge, width) once the line has shown
// `steps` in turn.
std::pair<int, int> movieTimeAfter(const std::vector<MediaEngine::StageTiming>& steps) {
    test::ensureApplication();
    QWidget window;
    auto* line = new StageLine(&window);
    line->resize(1080, 80);
    window.show();
    for (const auto& timing : steps) {
        line->setTiming(timing);
        QApplication::processEvents();
    }
    const QRect placed = line->findChild<QLabel*>("movieTimeLabel")->geometry();
    return {placed.x(), placed.width()};
}

TEST(StageLineTest, TheTimesRestInOnePlaceWhetherOrNotACrossfadeWasShown) {
    using Timing = MediaEngine::StageTiming;
    const Timing loop{std::nullopt, PlaybackTime{0.3, 1.2, true, false}};
    const Timing fading{Timing::Fade{0.5, 0.2, 0.3}, PlaybackTime{0.1, 1.2, true, false}};
    // A GO whose crossfade passed between two looks at the stage shows no fade.
    EXPECT_EQ(movieTimeAfter({loop}), movieTimeAfter({fading, loop}));
    EXPECT_EQ(movieTimeAfter({Timing{}, loop}), movieTimeAfter({fading, Timing{}, loop}));
}

class StageLineWindowTest : public test::WindowTest {
protected:
    QLabel& label(const char* name) { return child<QLabel>(name); }
    void trigger(const char* action) { child<QAction>(action).trigger(); }
    // The seconds a "… · 8.3 left" or "… · 1:05 left" line says are left.
    static std::optional<double> secondsLeft(const QString& text) {
        const qsizetype from = text.indexOf(QStringLiteral("· "));
        const qsizetype to = text.indexOf(QStringLiteral(" left"));
        if (from < 0 || to < from) return std::nullopt;
        const QString time = text.mid(from + 2, to - from - 2);
        const QStringList parts = time.split(':');
        double seconds = 0.0;
        for (const QString& part : parts)
            seconds = seconds * (parts.size() > 1 ? 60.0 : 1.0) + part.toDouble();
        return seconds;
    }
};

// A 10 s movie on stage: verifies that what the line says is left counts
// down from 10 to 0, never more than a second from the time truly left,
// and turns amber under ten seconds.
TEST_F(StageLineWindowTest, TheMovieOnStageCountsDownWithinASecondOfTheTruth) {
    ::setenv("BEAMWRIGHT_AUDIO_SINK", "fakesink", 1);
    const std::filesystem::path path = test::testMediaDir() / "movie-long.mkv";
    if (!std::filesystem::exists(path)) GTEST_SKIP() << "no H.264 encoder on this machine";
    constexpr double kLength = 10.0;
    addOutputs(1, {66, 38});
    Cue cue = makeCue(1, 0.0, {"black://"});
    cue.outputStates[0] = MediaOutputState{MediaURL::fileURL(path.string()), true, false, false};
    stack_.replaceCues({cue});
    engine_->loadNextCue(stack_.cues()[0]);
    makeWindow();
    QLabel& movie = label("movieTimeLabel");
    // Armed as the next cue, as a show's movie is before its GO: prerolled,
    // its length known.
    const auto prepared = [this] {
        const MediaPlayerRef next = engine_->outputs()[0]->nextPlayer();
        const std::optional<PlaybackTime> time = next ? next->playbackTime() : std::nullopt;
        return time && time->duration;
    };
    for (const auto give_up = std::chrono::steady_clock::now() + 30s;
         !prepared() && std::chrono::steady_clock::now() < give_up;) {
        tick();
        std::this_thread::sleep_for(5ms);
    }
    ASSERT_TRUE(prepared()) << "the movie did not preroll";

    engine_->go();
    const auto start = std::chrono::steady_clock::now();
    const auto deadline = start + std::chrono::seconds(60);
    std::vector<double> shown;
    double worst = 0.0;
    std::string worstAt;
    bool amber = false;
    while (std::chrono::steady_clock::now() < deadline) {
        advance(1.0 / 60.0);
        tick();
        window_->showView()->refresh();
        const std::optional<double> left = secondsLeft(movie.text());
        if (left) {
            const double elapsed =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            const double truth = std::max(kLength - elapsed, 0.0);
            if (std::abs(*left - truth) > worst) {
                worst = std::abs(*left - truth);
                worstAt = movie.text().toStdString() + " at " + std::to_string(elapsed) + " s";
            }
            if (*left < StageLine::kWarningSeconds)
                amber = amber || movie.styleSheet().contains(Look::warningColour(false).name());
            shown.push_back(*left);
            if (*left == 0.0) break;
        }
        std::this_thread::sleep_for(5ms);
    }
    ASSERT_FALSE(shown.empty()) << "the line never showed the movie's time";
    EXPECT_GE(shown.front(), kLength - 1.0);
    EXPECT_EQ(shown.back(), 0.0) << "the countdown did not reach 0: " << movie.text().toStdString();
    EXPECT_LE(worst, 1.0) << "a reading was further than a second from the truth: " << worstAt;
    EXPECT_TRUE(std::is_sorted(shown.rbegin(), shown.rend())) << "the countdown went back up";
    EXPECT_TRUE(amber) << "the last ten seconds were not amber";
}

// Verifies that the View menu's keys scale the stage line and the list, the
// choice outlives the window, and Actual Size forgets it; the stage line is
// at least twice the body type at any zoom.
TEST_F(StageLineWindowTest, ZoomScalesTheListAndTheStageLineAndIsRemembered) {
    makeWindow();
    const double body = QApplication::font().pointSizeF();
    auto& table = *window_->showView()->tableView();
    const int rowHeight = table.verticalHeader()->defaultSectionSize();
    EXPECT_GE(label("currentCueLabel").font().pointSizeF(), 2 * body);

    const struct {
        const char* action;
        QKeySequence shortcut;
    } shortcuts[] = {{"biggerAction", QKeySequence(Qt::CTRL | Qt::Key_Plus)},
                     {"smallerAction", QKeySequence(Qt::CTRL | Qt::Key_Minus)},
                     {"actualSizeAction", QKeySequence(Qt::CTRL | Qt::Key_0)}};
    for (const auto& s : shortcuts)
        EXPECT_EQ(child<QAction>(s.action).shortcut(), s.shortcut) << s.action;
    trigger("biggerAction");
    trigger("biggerAction");
    EXPECT_DOUBLE_EQ(window_->zoom(), 1.25);
    EXPECT_GE(label("currentCueLabel").font().pointSizeF(), 2 * 1.25 * body);
    EXPECT_GT(table.verticalHeader()->defaultSectionSize(), rowHeight);
    EXPECT_EQ(preferences_.stringValue(ViewZoom::kPreference), "1.25");

    makeWindow();
    EXPECT_DOUBLE_EQ(window_->zoom(), 1.25) << "the zoom was not remembered";
    trigger("smallerAction");
    EXPECT_DOUBLE_EQ(window_->zoom(), 1.1);
    trigger("actualSizeAction");
    EXPECT_DOUBLE_EQ(window_->zoom(), 1.0);
    EXPECT_EQ(window_->showView()->tableView()->verticalHeader()->defaultSectionSize(), rowHeight);
    makeWindow();
    EXPECT_DOUBLE_EQ(window_->zoom(), 1.0) << "Actual Size did not forget the choice";
}

// Verifies that the window opens within the screen, its status line inside
// it, and that a GO scrolls the list so that rows after the next cue show.
TEST_F(StageLineWindowTest, TheWindowFitsItsScreenAndTheListLooksAhead) {
    std::vector<Cue> cues;
    for (int id = 1; id <= 40; ++id)
        cues.push_back(makeCue(id, 0.0, {}));
    stack_.replaceCues(cues);
    ShowWindow& window = makeWindow();
    window.show();
    const QRect available = window.screen()->availableGeometry();
    EXPECT_LE(window.width(), available.width());
    EXPECT_LE(window.height(), available.height());
    EXPECT_LE(window.minimumSizeHint().height(), 600);
    EXPECT_LE(window.minimumSizeHint().width(), 1024);
    EXPECT_LE(window.statusBar()->geometry().bottom(), window.height());

    ShowTableView& table = *window.showView()->tableView();
    const int row = table.verticalHeader()->defaultSectionSize();
    for (double id : {20.0, 30.0, 38.0}) {
        engine_->goToCue(id - 1);
        QApplication::processEvents();
        const int nextRow = static_cast<int>(id) - 1;
        const int bottom = table.rowViewportPosition(nextRow) + row;
        const int rowsBelow = std::min(3, static_cast<int>(cues.size()) - 1 - nextRow);
        EXPECT_GE(table.viewport()->height() - bottom, rowsBelow * row - 1) << "next cue " << id;
        EXPECT_GE(table.rowViewportPosition(nextRow), 0) << "next cue " << id;
    }
}

}  // namespace
}  // namespace bw
