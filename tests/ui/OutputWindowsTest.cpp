#include <gtest/gtest.h>

#include <QLabel>
#include <optional>
#include <vector>

#include "engine/MediaEngine.h"
#include "engine/MediaOutput.h"
#include "ui/WindowTestSupport.h"
#include "ui/outputs/OutputWindow.h"
#include "ui/outputs/OutputWindows.h"
#include "ui/outputs/ScreenIdentifier.h"
#include "ui/outputs/ScreenList.h"

namespace bw {
namespace {

ScreenChoice screen(const char* connector, const char* model = "", const char* serial = "") {
    return ScreenChoice{connector, model, serial};
}

// Model and serial follow a monitor to another connector; the connector finds
// a monitor that names neither (or one replaced by another).
TEST(ScreenListTest, MatchesModelAndSerialFirstThenTheConnector) {
    const std::vector<ScreenChoice> connected = {
        screen("DP-1", "ACME Beam 9", "A100"),
        screen("HDMI-A-1", "ACME Beam 9", "A200"),
        screen("HDMI-A-2"),
        screen("screen"),
        screen("screen-2"),
    };
    struct Case {
        ScreenChoice choice;
        std::optional<std::size_t> expected;
    };
    const std::vector<Case> cases = {
        {screen("DP-1", "ACME Beam 9", "A100"), 0},
        {screen("HDMI-A-1", "ACME Beam 9", "A100"), 0},  // the monitor moved to DP-1
        {screen("DP-1", "ACME Beam 9", "A200"), 1},      // and the other one the other way
        {screen("DP-1", "Other", "A200"), 0},            // the serial alone is not the monitor
        {screen("HDMI-A-2", "Gone", "Z9"), 2},           // another monitor on its connector
        {screen("DP-1", "ACME Beam 9"), 0},              // no serial: the connector
        {screen("screen-2"), 4},
        {screen("HDMI-A-3", "ACME Beam 9", "A300"), std::nullopt},
        {screen("", "", ""), std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ScreenList::match(c.choice, connected), c.expected)
            << c.choice.connector << " " << c.choice.model << " " << c.choice.serial;
    }
}

// One screen shows one output: the first in the show's order that chooses it.
TEST(OutputWindowsTest, EachScreenShowsTheFirstOutputThatChoosesIt) {
    const std::vector<ScreenChoice> connected = {screen("DP-1"), screen("DP-2"), screen("DP-3")};
    struct Case {
        std::vector<std::optional<ScreenChoice>> choices;
        std::vector<std::optional<std::size_t>> expected;
    };
    const std::vector<Case> cases = {
        {{}, {std::nullopt, std::nullopt, std::nullopt}},
        {{screen("DP-2"), std::nullopt, screen("DP-1")}, {2, 0, std::nullopt}},
        {{screen("DP-3"), screen("DP-3"), screen("DP-2")}, {std::nullopt, 2, 0}},
        {{screen("DP-9"), screen("DP-1")}, {1, std::nullopt, std::nullopt}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(OutputWindows::assignment(c.choices, connected), c.expected);
}

// A frame of the window's size is drawn pixel for pixel; any other fits with
// its proportions kept, centred between black bars.
TEST(OutputWindowTest, FramesFitTheWindowWithTheirProportionsKept) {
    struct Case {
        PixelSize frame;
        QSize window;
        QRect expected;
    };
    const std::vector<Case> cases = {
        {{1920, 1080}, {1920, 1080}, {0, 0, 1920, 1080}},
        {{1280, 720}, {1920, 1080}, {0, 0, 1920, 1080}},
        {{1024, 768}, {1920, 1080}, {240, 0, 1440, 1080}},
        {{1920, 800}, {1920, 1080}, {0, 140, 1920, 800}},
        {{320, 240}, {640, 360}, {80, 0, 480, 360}},
        {{4000, 1}, {640, 360}, {0, 179, 640, 1}},
        {{0, 0}, {640, 360}, {}},
        {{64, 36}, {0, 0}, {}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(OutputWindow::fittedRect(c.frame, c.window), c.expected)
            << c.frame.width << "x" << c.frame.height << " in " << c.window.width() << "x"
            << c.window.height();
    }
}

// Each screen shows its own name on itself; asking again replaces the panels
// rather than piling more up.
TEST(ScreenIdentifierTest, EachScreenShowsItsName) {
    test::ensureApplication();
    const std::vector<ScreenList::Screen> screens = ScreenList::connected();
    ASSERT_FALSE(screens.empty());
    ScreenIdentifier identifier;
    for (int round = 0; round < 2; ++round) {
        identifier.identify();
        ASSERT_EQ(identifier.panels().size(), screens.size());
        for (std::size_t k = 0; k < screens.size(); ++k) {
            const QWidget& panel = *identifier.panels()[k];
            EXPECT_TRUE(panel.isVisible());
            EXPECT_EQ(panel.screen(), screens[k].screen);
            const auto* name = panel.findChild<QLabel*>("screenNameLabel");
            ASSERT_NE(name, nullptr);
            EXPECT_EQ(name->text().toStdString(), screens[k].identity.connector);
        }
    }
}

class OutputWindowsEngineTest : public test::EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        test::ensureApplication();
    }
};

// A window follows the outputs' choices, and stays up (the same window)
// through a show load and through a change of the output its screen shows.
TEST_F(OutputWindowsEngineTest, WindowsFollowTheChoicesAndStayUpThroughChanges) {
    addOutputs(2);
    const ScreenChoice first = ScreenList::connected().at(0).identity;
    OutputWindows windows(*engine_, {}, {});
    windows.update();
    EXPECT_EQ(windows.windowCount(), 0u) << "no output has a screen";

    engine_->setOutputScreen(0, first);
    engine_->setOutputScreen(1, first);
    windows.update();
    ASSERT_EQ(windows.windowCount(), 1u) << "one screen, one window";
    OutputWindow* window = windows.windowFor(0);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(windows.windowFor(1), nullptr);
    EXPECT_EQ(windows.screenFor(0)->identity, first);

    engine_->setOutputScreen(0, std::nullopt);
    windows.update();
    EXPECT_EQ(windows.windowFor(1), window) << "the second output takes the screen over";

    engine_->setOutputScreen(1, ScreenChoice{"HDMI-A-9", "", ""});
    windows.update();
    EXPECT_EQ(windows.windowCount(), 0u) << "a screen not connected shows nothing";
}

}  // namespace
}  // namespace bw
