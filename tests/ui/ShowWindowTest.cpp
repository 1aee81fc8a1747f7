#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QStyle>
#include <QTest>
#include <QTextDocumentFragment>
#include <QToolBar>
#include <QToolButton>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "document/Show.h"
#include "engine/EngineTestSupport.h"
#include "platform/MediaURL.h"
#include "platform/Preferences.h"
#include "show/ShowHealth.h"
#include "support/TempDir.h"
#include "ui/Look.h"
#include "ui/ShowView.h"
#include "ui/ShowWindow.h"
#include "ui/WindowTestSupport.h"
#include "ui/cuelist/CueListModel.h"
#include "ui/cuelist/ShowTableView.h"

namespace bw {
namespace {

using namespace std::chrono_literals;

// A key press as the window receives it.
struct Press {
    int key;
    QString text;
    Qt::KeyboardModifiers modifiers = Qt::NoModifier;
    bool autoRepeat = false;
};

Press typed(char c) {
    return {c >= '0' && c <= '9' ? Qt::Key_0 + (c - '0') : Qt::Key_unknown, QString(QChar(c))};
}
const Press kReturn{Qt::Key_Return, "\r"};
const Press kRepeatedReturn{Qt::Key_Return, "\r", Qt::NoModifier, true};
const Press kEnter{Qt::Key_Enter, "\r", Qt::KeypadModifier};
const Press kBackspace{Qt::Key_Backspace, "\b"};
const Press kEscape{Qt::Key_Escape, "\x1b"};

class ShowWindowTest : public test::WindowTest {
protected:
    QString text(const char* label) { return child<QLabel>(label).text(); }
    void press(const Press& p) {
        QKeyEvent event(QEvent::KeyPress, p.key, p.modifiers, p.text, p.autoRepeat);
        QApplication::sendEvent(window_.get(), &event);
    }
    // Refreshes the status line, running the main queue between, until
    // `done` (a generous deadline).
    bool refreshUntil(const std::function<bool()>& done) {
        return MainQueue::shared().pumpUntil(
            [&] {
                window_->updateRefreshRate();
                return done();
            },
            20s);
    }
    // One tick `seconds` after the last, in refresh slot `frame`.
    void tickAt(double seconds, std::uint64_t frame) {
        advance(seconds);
        tick(frame);
    }
};

// Verifies that keys reach the cue entry, the field shows what was typed,
// and Return's GO moves the now-and-next line and, for a number naming no
// cue, says which cue ran.
TEST_F(ShowWindowTest, KeysTypeCueNumbersAndReturnRunsGo) {
    struct Case {
        const char* name;
        std::vector<Press> keys;
        QString field;
        QString now;
        QString next;
        QString notice;  // "" when none is shown
    };
    const QString gridNow = "Now: Alignment grid";
    const QString ctrl1Text = "1";
    const std::vector<Case> cases = {
        {"digits and a point",
         {typed('1'), typed('2'), typed('.'), typed('5')},
         "12.5",
         gridNow,
         "Next: 1.0 Opening",
         ""},
        {"letters, space and Ctrl+1 are not text",
         {typed('a'), typed(' '), {Qt::Key_1, ctrl1Text, Qt::ControlModifier}},
         "",
         gridNow,
         "Next: 1.0 Opening",
         ""},
        {"the keypad's comma is a point",
         {{Qt::Key_2, "2", Qt::KeypadModifier}, {Qt::Key_Comma, ",", Qt::KeypadModifier}},
         "2.",
         gridNow,
         "Next: 1.0 Opening",
         ""},
        {"backspace and escape edit, escape keeps the number",
         {typed('3'), typed('4'), kBackspace, kEscape},
         "3",
         gridNow,
         "Next: 1.0 Opening",
         ""},
        {"return with nothing typed is GO",
         {kReturn},
         "",
         "Now: 1.0 Opening",
         "Next: 12.5 Half",
         ""},
        {"a typed number goes to its cue",
         {typed('1'), typed('2'), typed('.'), typed('5'), kEnter},
         "",
         "Now: 12.5 Half",
         "Next: 2.0",
         ""},
        {"an auto-repeated return runs nothing",
         {typed('2'), kRepeatedReturn},
         "2",
         gridNow,
         "Next: 1.0 Opening",
         ""},
        {"a number naming no cue runs the next one and says so",
         {typed('7'), kReturn},
         "",
         "Now: 1.0 Opening",
         "Next: 12.5 Half",
         "No cue 7.0: GO ran 1.0 Opening"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        engine_ = std::make_unique<MediaEngine>(
            MediaEngine::Parts{stack_, status_, clock_, nullptr, nullptr});
        show_ = std::make_unique<Show>(Show::Parts{*engine_, stack_, status_, MainQueue::shared(),
                                                   [](const MediaURL&) {}, nullptr, 1});
        Cue opening = makeCue(1, 0.0, {});
        opening.description = "Opening";
        Cue half = makeCue(12.5, 0.0, {});
        half.description = "Half";
        stack_.replaceCues({opening, half, makeCue(2, 0.0, {})});
        engine_->loadNextCue(opening);
        makeWindow();

        for (const Press& p : c.keys)
            press(p);
        tickAt(0.001, 0);  // a cut ends and the following cue loads
        EXPECT_EQ(child<QLineEdit>("gotoCueTextField").text(), c.field);
        EXPECT_EQ(text("currentCueLabel"), c.now);
        EXPECT_EQ(text("nextCueLabel"), c.next);
        EXPECT_EQ(text("lastGoLabel"), c.notice);
        window_.reset();
    }
}

// Verifies that a GO reaching the engine from elsewhere (as OSC and CREP
// do) moves the now-and-next line, and that the fade's progress shows while
// it runs.
TEST_F(ShowWindowTest, NowAndNextFollowsEveryGo) {
    stack_.replaceCues({makeCue(1, 1.0, {}), makeCue(2, 0.0, {})});
    engine_->loadNextCue(stack_.cues()[0]);
    makeWindow();
    auto& progress = child<QProgressBar>("fadeProgress");
    EXPECT_FALSE(progress.isEnabled());

    engine_->goToCue(1);
    EXPECT_EQ(text("currentCueLabel"), "Now: 1.0");
    // The engine has no next cue during the fade, but GO would run 2.
    EXPECT_EQ(text("nextCueLabel"), "Next: 2.0");
    EXPECT_TRUE(progress.isEnabled());
    tickAt(0.5, 1);
    window_->updateRefreshRate();
    EXPECT_EQ(progress.value(), progress.maximum() / 2);

    tickAt(0.6, 2);  // past the fade's end: the engine tells, the next cue loads
    EXPECT_FALSE(progress.isEnabled());
    EXPECT_EQ(text("nextCueLabel"), "Next: 2.0");

    // During the last cue's fade GO would go back to the first cue, and the
    // line says so.
    engine_->goToCue(2);
    EXPECT_EQ(text("currentCueLabel"), "Now: 2.0");
    EXPECT_EQ(text("nextCueLabel"), "Next: 1.0 (GO goes back to the first cue)");
}

// Verifies that the next-cue line counts a chained GO down, and a pre-wait.
TEST_F(ShowWindowTest, TheNextLineCountsDownACueThatRunsByItself) {
    Cue first = makeCue(1, 1.0, {});
    first.continueMode = CueContinue::AutoContinue;
    first.postWait = 1.5;
    Cue second = makeCue(2, 0.0, {});
    second.preWait = 2.0;
    stack_.replaceCues({first, second});
    engine_->loadNextCue(stack_.cues()[0]);
    makeWindow();
    engine_->goToCue(1);
    EXPECT_EQ(text("nextCueLabel"), "Next: 2.0 (auto in 4.5 s)");
    engine_->stopChain();
    EXPECT_EQ(text("nextCueLabel"), "Next: 2.0");
    tickAt(1.1, 1);
    engine_->go();
    EXPECT_EQ(text("currentCueLabel"), "Now: 1.0") << "cue 2 waits for its pre-wait";
    EXPECT_EQ(text("nextCueLabel"), "Next: 2.0 (auto in 2.0 s)");
}

// Verifies the status line: the frame rate after ticks 1/60 s apart, the
// refreshes dropped and the last GO's latency, each as the refresh shows it.
TEST_F(ShowWindowTest, StatusLineShowsRateDropsAndGoLatency) {
    stack_.replaceCues({makeCue(1, 0.0, {})});
    makeWindow();
    EXPECT_EQ(text("fpsLabel"), "0 FPS");
    EXPECT_EQ(text("goLatencyLabel"), "GO – ms");

    // The rate is taken over the last 30 frames; two slots are skipped.
    for (std::uint64_t frame = 0; frame < 32; ++frame)
        tickAt(1.0 / 60.0, frame < 10 ? frame : frame + 2);
    EXPECT_EQ(text("fpsLabel"), "0 FPS") << "changes only when the timer fires";
    window_->updateRefreshRate();
    EXPECT_EQ(text("fpsLabel"), "60 FPS");
    EXPECT_EQ(text("framesDroppedLabel"), "2 dropped, 2 in 10 s") << "drops just now warn";

    press(kReturn);
    tickAt(0.004, 34);
    window_->updateRefreshRate();
    EXPECT_EQ(text("goLatencyLabel"), "GO 4.0 ms");

    // A shared show's clock state shows beside them, refreshed with them.
    auto& clock = child<QLabel>("clockLabel");
    EXPECT_TRUE(clock.isHidden()) << "a show played alone has no clock";
    ShowHealth::ClockStatus state{"clock locked", false};
    window_->setClockStatusSource([&state] { return state; });
    EXPECT_FALSE(clock.isHidden());
    EXPECT_EQ(clock.text(), "clock locked");
    state = {"clock lost", true};
    window_->updateRefreshRate();
    EXPECT_EQ(clock.text(), "clock lost");
    window_->setClockStatusSource(nullptr);
    EXPECT_TRUE(clock.isHidden());

    // So does the reason no other program can take the outputs, while there is one.
    auto& sharing = child<QLabel>("sharingLabel");
    EXPECT_TRUE(sharing.isHidden());
    std::optional<std::string> problem = "cannot connect: No such file or directory";
    window_->setSharingProblemSource([&problem] { return problem; });
    EXPECT_FALSE(sharing.isHidden());
    EXPECT_EQ(sharing.text(),
              "Outputs not shared: no PipeWire daemon (cannot connect: No such file or directory)");
    problem.reset();
    window_->updateRefreshRate();
    EXPECT_TRUE(sharing.isHidden());
}

// Verifies each health warning in the status bar on its cause: the figure
// takes the warning colour of the look, bold, the warning's short text (also
// its accessible description) and its explanation as the tooltip, and
// returns to its plain look when the cause goes. Drops come as the display
// link reports them (skipped refresh slots); the media file is removed from
// the disk and put back.
TEST_F(ShowWindowTest, EachHealthWarningShowsOnItsFigureAndClears) {
    const std::filesystem::path logo = dir_ / "logo.png";
    std::filesystem::copy_file(
        std::filesystem::path(BW_SOURCE_DIR) / "resources/icons/beamwright-48.png", logo);
    Cue withLogo = makeCue(1, 0.0, {});
    withLogo.outputStates.push_back({MediaURL::fileURL(logo.string())});
    stack_.replaceCues({withLogo, makeCue(2, 0.0, {})});
    ShowWindow& window = makeWindow();
    std::uint64_t frame = 0;
    const auto ticks = [&](int count, double interval, std::uint64_t skip = 0) {
        for (int k = 0; k < count; ++k) {
            frame += k == 0 ? 1 + skip : 1;
            tickAt(interval, frame);
        }
    };
    ticks(32, 1.0 / 60.0);
    std::optional<std::string> sharingProblem;
    window.setSharingProblemSource([&] { return sharingProblem; });
    std::optional<std::string> soundProblem;
    window.setSoundProblemSource([&] { return soundProblem; });
    std::optional<std::string> missingSoundOutput;
    window.setMissingSoundOutputSource([&] { return missingSoundOutput; });
    ShowHealth::ClockStatus clockStatus{"clock locked", false};
    window.setClockStatusSource([&] { return clockStatus; });

    using Kind = ShowHealth::Kind;
    struct Case {
        Kind kind;
        const char* label;
        std::function<void()> cause;
        std::function<void()> cure;
    };
    const std::vector<Case> cases = {
        {Kind::FrameRate, "fpsLabel",
         [&] {
             ticks(32, 1.0 / 30.0);
             window.updateRefreshRate();  // low from here
             ticks(70, 1.0 / 30.0);       // for over 2 s
         },
         [&] { ticks(32, 1.0 / 60.0); }},
        {Kind::DroppedFrames, "framesDroppedLabel", [&] { ticks(1, 1.0 / 20.0, 2); },
         [&] {
             advance(10.0);
             ticks(32, 1.0 / 60.0);
         }},
        {Kind::GoLatency, "goLatencyLabel",
         [&] {
             press(kReturn);
             ticks(1, 0.040);
         },
         [&] {
             press(kReturn);
             ticks(1, 0.004);
         }},
        {Kind::MissingMedia, "mediaLabel",
         [&] { std::filesystem::rename(logo, dir_ / "away.png"); },
         [&] { std::filesystem::rename(dir_ / "away.png", logo); }},
        {Kind::Sharing, "sharingLabel", [&] { sharingProblem = "cannot connect"; },
         [&] { sharingProblem.reset(); }},
        {Kind::Sound, "soundLabel", [&] { soundProblem = "no sound server"; },
         [&] { soundProblem.reset(); }},
        {Kind::Sound, "soundLabel", [&] { missingSoundOutput = "hdmi"; },
         [&] { missingSoundOutput.reset(); }},
        {Kind::Clock, "clockLabel",
         [&] {
             clockStatus = {"clock lost, playing on its own", true};
         },
         [&] {
             clockStatus = {"clock following leader offset 4 us", false};
         }},
    };
    window.updateRefreshRate();
    ASSERT_TRUE(window.health().warnings().empty());
    const QColor plainText = QApplication::palette().color(QPalette::WindowText);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        auto& label = child<QLabel>(c.label);
        c.cause();
        // Files are looked at off the main thread: refresh until the look
        // has come back.
        ASSERT_TRUE(refreshUntil([&] { return window.health().warning(c.kind) != nullptr; }));
        const ShowHealth::Warning* warning = window.health().warning(c.kind);
        EXPECT_EQ(window.health().warnings().size(), 1u);
        EXPECT_FALSE(label.isHidden());
        EXPECT_EQ(label.text().toStdString(), warning->text);
        EXPECT_EQ(label.accessibleDescription(), label.text());
        EXPECT_EQ(QTextDocumentFragment::fromHtml(label.toolTip()).toPlainText().toStdString(),
                  warning->explanation);
        EXPECT_TRUE(label.font().bold());
        EXPECT_EQ(label.palette().color(QPalette::WindowText), Look::warningColour(false));
        window.setDarkMode(true);
        EXPECT_EQ(label.palette().color(QPalette::WindowText), Look::warningColour(true));
        window.setDarkMode(false);

        c.cure();
        ASSERT_TRUE(refreshUntil([&] { return window.health().warnings().empty(); }))
            << window.health().warnings().front().text;
        EXPECT_TRUE(label.toolTip().isEmpty());
        EXPECT_FALSE(label.font().bold());
        EXPECT_EQ(label.palette().color(QPalette::WindowText), plainText);
    }
    EXPECT_TRUE(child<QLabel>("mediaLabel").isHidden());
    EXPECT_TRUE(child<QLabel>("sharingLabel").isHidden());
    EXPECT_FALSE(child<QLabel>("clockLabel").isHidden()) << "a shared show's clock stays in view";

    // The warning colour reads on the status bar in both looks.
    for (const bool dark : {false, true}) {
        const QPalette palette = dark ? Look::darkPalette() : Look::lightPalette();
        EXPECT_GE(Look::contrastRatio(Look::warningColour(dark), palette.color(QPalette::Window)),
                  Look::kMinimumContrast);
    }
}

// Verifies that the edited marker follows the modified flag (anything but a
// boolean reads as false), and the title the show's file name (kept through
// a load that fails) and its lock.
TEST_F(ShowWindowTest, TitleAndEditedMarkerFollowTheShow) {
    ShowWindow& window = makeWindow();
    EXPECT_EQ(window.windowTitle(), "Untitled[*] — Beamwright");
    EXPECT_FALSE(window.isWindowModified());

    status_.setDirty(true);
    EXPECT_TRUE(window.isWindowModified());
    center_.post(Notification{std::string(kShowDirtyStatusChangedNotification), std::string("1")});
    EXPECT_FALSE(window.isWindowModified());
    center_.post(Notification{std::string(kShowDirtyStatusChangedNotification), true});
    EXPECT_TRUE(window.isWindowModified());

    show_->setFileURL((dir_ / "Opening Night.bwshow").string());
    ASSERT_TRUE(show_->save());
    show_->reload();
    finishLoading();
    EXPECT_EQ(window.windowTitle(), "Opening Night.bwshow[*] — Beamwright");
    EXPECT_FALSE(window.isWindowModified());

    // A show that fails to load leaves the title, and the show, as they were.
    show_->load((dir_ / "missing.bwshow").string());
    finishLoading();
    EXPECT_EQ(window.windowTitle(), "Opening Night.bwshow[*] — Beamwright");
    EXPECT_FALSE(window.isWindowModified());
    ASSERT_EQ(prompt_.warnings.size(), 1u);
    EXPECT_EQ(prompt_.warnings[0].text, "The show could not be loaded.");

    window.setLocked(true);
    EXPECT_EQ(window.windowTitle(), "Opening Night.bwshow[*] — Beamwright — Locked");
}

// Verifies the choice of look from the preference and the desktop, and that
// text reads at 4.5:1 or better on its background in both looks.
TEST_F(ShowWindowTest, LookFollowsThePreferenceAndStaysReadable) {
    struct Case {
        std::optional<std::string> interfaceStyle;
        bool dark;
    };
    // The offscreen platform's own palette is light.
    for (const Case& c : std::vector<Case>{{std::nullopt, false},
                                           {"Dark", true},
                                           {"dark", false},
                                           {"Light", false},
                                           {"", false}}) {
        SCOPED_TRACE(c.interfaceStyle.value_or("(absent)"));
        test::TempDir config;
        Preferences preferences(config / "beamwright.conf", 0ns);
        if (c.interfaceStyle) {
            ASSERT_TRUE(preferences.setString("InterfaceStyle", *c.interfaceStyle));
        }
        ShowWindow window(*engine_, stack_, *show_, center_, preferences);
        EXPECT_EQ(window.darkMode(), c.dark);
        EXPECT_EQ(window.property("darkMode").toBool(), c.dark);
        EXPECT_EQ(QApplication::palette().color(QPalette::Window),
                  (c.dark ? Look::darkPalette() : Look::lightPalette()).color(QPalette::Window));
        EXPECT_EQ(QApplication::style()->name(), "fusion");
    }
    QPalette darkDesktop;
    darkDesktop.setColor(QPalette::Window, QColor(0x20, 0x20, 0x20));
    darkDesktop.setColor(QPalette::WindowText, Qt::white);
    using Scheme = DesktopAppearance::ColorScheme;
    const auto scheme = [](Scheme value) { return [value] { return value; }; };
    EXPECT_TRUE(Look::prefersDark(std::nullopt, scheme(Scheme::NoPreference), darkDesktop));
    EXPECT_FALSE(Look::prefersDark(std::nullopt, scheme(Scheme::Light), darkDesktop))
        << "the desktop's scheme comes before its palette";
    EXPECT_TRUE(Look::prefersDark(std::nullopt, scheme(Scheme::Dark), QPalette()));
    EXPECT_FALSE(Look::prefersDark("Light", scheme(Scheme::Dark), darkDesktop))
        << "a set preference wins";

    const std::vector<std::pair<QPalette::ColorRole, QPalette::ColorRole>> pairs = {
        {QPalette::WindowText, QPalette::Window},
        {QPalette::Text, QPalette::Base},
        {QPalette::Text, QPalette::AlternateBase},
        {QPalette::ButtonText, QPalette::Button},
        {QPalette::HighlightedText, QPalette::Highlight},
        {QPalette::ToolTipText, QPalette::ToolTipBase}};
    for (const bool dark : {false, true}) {
        ShowWindow& window = makeWindow();
        window.setProperty("darkMode", dark);
        const QPalette palette = QApplication::palette();
        for (const QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
            for (const auto& [foreground, background] : pairs) {
                EXPECT_GE(Look::contrastRatio(palette.color(group, foreground),
                                              palette.color(group, background)),
                          Look::kMinimumContrast)
                    << (dark ? "dark" : "light") << " group " << group << " role " << foreground;
            }
        }
    }
    EXPECT_NEAR(Look::contrastRatio(Qt::black, Qt::white), 21.0, 1e-9);
    EXPECT_NEAR(Look::contrastRatio(QColor(0x77, 0x77, 0x77), Qt::white), 4.48, 0.01);
}

// Verifies that the GO button stays centred in the toolbar at several
// window widths, and that it runs GO.
TEST_F(ShowWindowTest, GoButtonStaysCentredAndRunsGo) {
    stack_.replaceCues({makeCue(1, 0.0, {})});
    ShowWindow& window = makeWindow();
    window.show();
    auto& toolBar = child<QToolBar>("showToolBar");
    auto& go = child<QToolButton>("goButton");
    for (const int width : {900, 1200, 1600}) {
        SCOPED_TRACE(width);
        window.resize(width, 500);
        QApplication::processEvents();
        QApplication::processEvents();
        const double centre = go.mapTo(&toolBar, QPointF(go.width() / 2.0, 0)).x();
        EXPECT_NEAR(centre, toolBar.width() / 2.0, 1.0);
    }
    EXPECT_EQ(go.focusPolicy(), Qt::NoFocus);

    QTest::mouseClick(&go, Qt::LeftButton);
    ASSERT_TRUE(engine_->currentCue());
    EXPECT_EQ(engine_->currentCue()->id, 1.0);
}

// A selected row arms GO: the next line and the next colour show its cue at
// once. Two clicks on GO inside the guard run one GO, and the status line
// says why the second did nothing.
TEST_F(ShowWindowTest, TheNextLineFollowsTheArmedRowAndAnIgnoredGoSaysSo) {
    stack_.replaceCues({makeCue(1, 0.0, {}), makeCue(2, 0.0, {}), makeCue(3, 0.0, {})});
    engine_->loadNextCue(stack_.cues()[0]);
    engine_->setGoGuardSeconds(0.3);
    makeWindow();
    window_->showView()->tableView()->selectRow(2);
    EXPECT_EQ(text("nextCueLabel"), "Next: 3.0");
    EXPECT_EQ(window_->showView()->model().nextRow(), 2);

    auto& go = child<QToolButton>("goButton");
    QTest::mouseClick(&go, Qt::LeftButton);
    EXPECT_EQ(engine_->currentCue()->id, 3.0);
    clock_.advance(std::chrono::milliseconds(120));
    QTest::mouseClick(&go, Qt::LeftButton);
    EXPECT_EQ(engine_->currentCue()->id, 3.0);
    EXPECT_EQ(engine_->goesIgnored(), 1U);
    EXPECT_EQ(text("lastGoLabel"), "GO ignored: 0.12 s after the last");
    // The last cue is on stage: GO would go back to the first.
    tickAt(0.001, 0);
    EXPECT_EQ(text("nextCueLabel"), "Next: 1.0 (GO goes back to the first cue)");
}

// Show > Stop After the Last Cue: after the last cue the next line says it
// is the end, GO runs nothing and says so; the choice is saved with the show
// and comes back checked when it is opened again.
TEST_F(ShowWindowTest, AShowThatStopsAtTheEndSaysSoAndKeepsTheChoice) {
    stack_.replaceCues({makeCue(1, 0.0, {}), makeCue(2, 0.0, {})});
    engine_->loadNextCue(stack_.cues()[0]);
    makeWindow();
    auto& stopAtEnd = child<QAction>("stopAtEndAction");
    EXPECT_FALSE(stopAtEnd.isChecked());
    stopAtEnd.trigger();
    EXPECT_EQ(show_->settings().atEnd, ShowSettings::AtEnd::Stop);
    EXPECT_TRUE(window_->isWindowModified());
    for (int i = 0; i < 2; ++i) {
        press(kReturn);
        tickAt(0.001, static_cast<std::uint64_t>(i));
    }
    EXPECT_EQ(text("currentCueLabel"), "Now: 2.0");
    EXPECT_EQ(text("nextCueLabel"), "Next: End of show");
    press(kReturn);
    EXPECT_EQ(text("currentCueLabel"), "Now: 2.0");
    EXPECT_EQ(text("lastGoLabel"), "End of show");

    show_->setFileURL((dir_ / "stops.bwshow").string());
    ASSERT_TRUE(show_->save());
    show_->reset();
    EXPECT_FALSE(stopAtEnd.isChecked());
    show_->load((dir_ / "stops.bwshow").string());
    ASSERT_TRUE(MainQueue::shared().pumpUntil([this] { return !show_->isLoading(); }, 20s));
    EXPECT_TRUE(stopAtEnd.isChecked());
    EXPECT_TRUE(engine_->stopsAtEnd());
}

// Show > Fit for New Media and Black Bars: each choice is the show's, marks
// it edited, reaches the engine (the bars) and comes back with the file; the
// lock refuses them.
TEST_F(ShowWindowTest, PlacementChoicesAreTheShowsAndComeBackWithIt) {
    stack_.replaceCues({makeCue(1, 0.0, {})});
    makeWindow();
    auto& blackBars = child<QAction>("blackBarsAction");
    QAction* fill = nullptr;
    for (QAction* choice : child<QMenu>("newMediaFitMenu").actions()) {
        EXPECT_EQ(choice->isChecked(), choice->data().toInt() == static_cast<int>(PictureFit::Fit));
        if (choice->data().toInt() == static_cast<int>(PictureFit::Fill)) fill = choice;
    }
    ASSERT_NE(fill, nullptr);
    window_->setLocked(true);
    fill->trigger();
    blackBars.trigger();
    EXPECT_EQ(show_->settings(), ShowSettings{});
    EXPECT_FALSE(blackBars.isChecked());
    window_->setLocked(false);

    fill->trigger();
    blackBars.trigger();
    EXPECT_EQ(show_->settings().defaultFit, PictureFit::Fill);
    EXPECT_EQ(engine_->pictureBars(), PictureBars::Black);
    EXPECT_TRUE(window_->isWindowModified());

    show_->setFileURL((dir_ / "placement.bwshow").string());
    ASSERT_TRUE(show_->save());
    show_->reset();
    EXPECT_FALSE(blackBars.isChecked());
    EXPECT_FALSE(fill->isChecked());
    show_->load((dir_ / "placement.bwshow").string());
    ASSERT_TRUE(MainQueue::shared().pumpUntil([this] { return !show_->isLoading(); }, 20s));
    EXPECT_TRUE(blackBars.isChecked());
    EXPECT_TRUE(fill->isChecked());
}

// Verifies that duplicate and delete are enabled only while a cue is
// selected, and that GO and Escape, which deselect, disable them.
TEST_F(ShowWindowTest, DuplicateAndDeleteFollowTheSelection) {
    stack_.replaceCues({makeCue(1, 0.0, {})});
    makeWindow();
    auto enabled = [this] {
        const bool duplicate = child<QToolButton>("duplicateCueButton").isEnabled();
        EXPECT_EQ(duplicate, child<QToolButton>("deleteCueButton").isEnabled());
        return duplicate;
    };
    EXPECT_FALSE(enabled());
    for (const Press& deselecting : {kReturn, kEscape}) {
        window_->showView()->tableView()->selectRow(0);
        EXPECT_TRUE(enabled());
        press(deselecting);
        EXPECT_FALSE(enabled());
    }

    // The Cue menu runs GO and shares the toolbar's actions.
    const QMenu& menu = child<QMenu>("cueMenu");
    child<QAction>("goAction").trigger();
    EXPECT_EQ(engine_->currentCue()->id, 1.0);
    std::vector<QString> items;
    for (const QAction* action : menu.actions()) {
        if (!action->isSeparator()) items.push_back(action->text());
    }
    EXPECT_EQ(items, (std::vector<QString>{"&GO", "&Panic", "&New Cue", "Duplicate Cue", "Delete Cue"}));
}

}  // namespace
}  // namespace bw
