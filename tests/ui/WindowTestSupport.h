#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QString>
#include <QWidget>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "document/Show.h"
#include "engine/EngineTestSupport.h"
#include "platform/Preferences.h"
#include "support/TempDir.h"
#include "ui/OperatorPrompt.h"
#include "ui/ShowWindow.h"

namespace bw::test {

// One application object for the process, made at the first window on the
// offscreen platform at a scale of 1. Closing a window never quits it.
inline void ensureApplication() {
    static int argc = 1;
    static char name[] = "bw_ui_tests";
    static char* argv[] = {name, nullptr};
    static const QApplication* application = [] {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        setenv("QT_SCALE_FACTOR", "1", 1);
        // Movies' sound goes nowhere, whatever sound this machine has.
        setenv("BEAMWRIGHT_AUDIO_SINK", "fakesink", 1);
        auto* made = new QApplication(argc, argv);
        QApplication::setQuitOnLastWindowClosed(false);
        return made;
    }();
    (void)application;
}

// Answers every question as scripted (`answer`) and records them and the
// warnings, so that no test waits on a modal box.
class ScriptedPrompt final : public OperatorPrompt {
public:
    struct Warning {
        QString text;
        QString reason;
    };

    bool confirmDiscardChanges(QWidget*) override {
        ++questions;
        asked.push_back("discardChangesBox");
        return answer;
    }
    void askSeconds(QWidget*, const SecondsQuestion& question,
                    std::function<void(double)> chosen) override {
        asked.push_back(question.title);
        if (seconds) chosen(*seconds);
    }
    bool confirm(QWidget*, const Question& question) override {
        ++questions;
        asked.push_back(question.name);
        return answer;
    }
    void warn(QWidget*, const QString& text, const QString& reason) override {
        warnings.push_back({text, reason});
    }

    bool answer = false;
    int questions = 0;
    // The questions' box names (a number's title), in the order asked.
    std::vector<QString> asked;
    // The answer to a number of seconds; none: cancelled.
    std::optional<double> seconds;
    std::vector<Warning> warnings;
};

// A show window over an engine ticked by hand and a show document of its
// own, with the scripted prompt.
class WindowTest : public EngineTest {
protected:
    void SetUp() override {
        ensureApplication();
        EngineTest::SetUp();
        show_ = std::make_unique<Show>(Show::Parts{*engine_, stack_, status_, MainQueue::shared(),
                                                   [](const MediaURL&) {}, nullptr, 1});
    }
    void TearDown() override {
        window_.reset();
        show_.reset();
        EngineTest::TearDown();
    }

    ShowWindow& makeWindow() {
        window_.reset();
        window_ =
            std::make_unique<ShowWindow>(*engine_, stack_, *show_, center_, preferences_, &prompt_);
        return *window_;
    }
    template <typename Widget>
    Widget& child(const char* name) {
        Widget* widget = window_->findChild<Widget*>(name);
        EXPECT_NE(widget, nullptr) << name;
        return *widget;
    }
    // Saves a show of `cues` cues (IDs 1, 2, ...; black on each output) at
    // `name` in the test's folder; the show is left as saved, at that
    // location. Returns the path.
    std::string saveShow(const std::string& name, int cues) {
        const std::vector<std::string> black(engine_->outputs().size(), "black://");
        std::vector<Cue> list;
        for (int k = 1; k <= cues; ++k)
            list.push_back(makeCue(k, 0.0, black));
        stack_.replaceCues(list);
        show_->setFileURL((dir_ / name).string());
        EXPECT_TRUE(show_->save());
        return (dir_ / name).string();
    }
    // Runs the main queue until the show's load, if any, has ended.
    void finishLoading() {
        using namespace std::chrono_literals;
        ASSERT_TRUE(MainQueue::shared().pumpUntil([this] { return !show_->isLoading(); }, 20s));
    }

    TempDir dir_;
    Preferences preferences_{dir_ / "beamwright.conf", std::chrono::nanoseconds(0)};
    ScriptedPrompt prompt_;
    std::unique_ptr<Show> show_;
    std::unique_ptr<ShowWindow> window_;
};

}  // namespace bw::test
