#include <QAction>
#include <QFileDialog>
#include <QKeySequence>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QToolButton>
#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "document/Show.h"
#include "engine/MediaEngine.h"
#include "platform/NotificationCenter.h"
#include "show/ShowStatus.h"
#include "support/TempDir.h"
#include "ui/MessageBoxPrompt.h"
#include "ui/ShowView.h"
#include "ui/WindowTestSupport.h"
#include "ui/cuelist/CueListController.h"
#include "ui/cuelist/ShowTableView.h"

namespace bw {
namespace {

class ShowCommandsTest : public test::WindowTest {
protected:
    // A saved two-cue show on one output at `name` in the test's folder,
    // loaded afresh (the grid on stage) and shown.
    std::string loadSavedShow(const std::string& name = "gala.bwshow") {
        show_->reset();
        addOutputs(1);
        const std::string path = saveShow(name, 2);
        show_->reset();
        show_->load(path);
        finishLoading();
        return path;
    }
    bool fileDialogUp(const char* name) {
        const auto* dialog = window_->findChild<QFileDialog*>(name);
        return dialog != nullptr && dialog->isVisible();
    }
};

// Verifies the discard-changes box: its texts, "OK" before "Cancel", and
// that Return (the GO key) and Escape keep the show while only OK discards.
TEST_F(ShowCommandsTest, DiscardChangesBoxKeepsTheShowUnlessOkIsClicked) {
    struct Case {
        const char* name;
        std::function<void(QMessageBox&)> answer;
        bool confirmed;
    };
    const std::vector<Case> cases = {
        {"Return", [](QMessageBox& box) { QTest::keyClick(&box, Qt::Key_Return); }, false},
        {"Escape", [](QMessageBox& box) { QTest::keyClick(&box, Qt::Key_Escape); }, false},
        {"Cancel", [](QMessageBox& box) { box.buttons()[1]->click(); }, false},
        {"OK", [](QMessageBox& box) { box.buttons()[0]->click(); }, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::unique_ptr<QMessageBox> box = MessageBoxPrompt::makeDiscardChangesBox(nullptr);
        EXPECT_EQ(box->icon(), QMessageBox::Warning);
        EXPECT_EQ(box->text(), "The current show is unsaved. Are you sure you wish to continue?");
        EXPECT_EQ(box->informativeText(),
                  "All changes to the current show will be lost if you proceed.");
        const QList<QAbstractButton*> buttons = box->buttons();
        ASSERT_EQ(buttons.size(), 2);
        EXPECT_EQ(buttons[0]->text(), "OK");
        EXPECT_EQ(box->buttonRole(buttons[0]), QMessageBox::AcceptRole);
        EXPECT_EQ(buttons[1]->text(), "Cancel");
        EXPECT_EQ(box->defaultButton(), buttons[1]);
        EXPECT_EQ(box->escapeButton(), buttons[1]);

        box->show();
        QApplication::processEvents();
        c.answer(*box);
        EXPECT_NE(box->clickedButton(), nullptr);
        EXPECT_EQ(MessageBoxPrompt::confirmed(*box), c.confirmed);
    }
}

// Verifies that every command that would lose the show asks first: on a
// modified show whether to discard the changes, while a cue is on the
// outputs whether to replace or end it (even with nothing unsaved); each
// goes on only for yes. With a clean show and the grid on stage none asks.
TEST_F(ShowCommandsTest, CommandsThatLoseTheShowAskAndGoOnOnlyForYes) {
    int willLoad = 0;
    const NotificationCenter::Token token = center_.addObserver(
        std::string(kShowWillLoadNotification), [&willLoad](const Notification&) { ++willLoad; });
    struct Case {
        const char* name;
        std::function<void()> command;
        // Whether the command went past the question.
        std::function<bool()> wentOn;
    };
    const std::vector<Case> cases = {
        {"File > Quit", [this] { child<QAction>("quitAction").trigger(); },
         [this] { return !window_->isVisible(); }},
        {"window close", [this] { window_->close(); }, [this] { return !window_->isVisible(); }},
        {"File > New", [this] { child<QAction>("newShowAction").trigger(); },
         [this] { return stack_.cues().empty() && !show_->fileURL(); }},
        {"File > Open", [this] { child<QAction>("openShowAction").trigger(); },
         [this] { return fileDialogUp("openShowDialog"); }},
        {"File > Reload", [this] { child<QAction>("reloadShowAction").trigger(); },
         [&willLoad] { return willLoad > 0; }},
    };
    struct Situation {
        const char* name;
        bool modified;
        bool onStage;
        bool answer;
        std::vector<QString> asked;
    };
    const std::vector<Situation> situations = {
        {"clean, grid on stage", false, false, false, {}},
        {"modified, Cancel", true, false, false, {"discardChangesBox"}},
        {"modified, OK", true, false, true, {"discardChangesBox"}},
        {"cue on stage, Cancel", false, true, false, {"runningShowBox"}},
        {"cue on stage, Continue", false, true, true, {"runningShowBox"}},
    };
    int shows = 0;
    for (const Case& c : cases) {
        for (const Situation& situation : situations) {
            SCOPED_TRACE(std::string(c.name) + ", " + situation.name);
            // A file of its own: a reload of the same one would keep its cue on stage.
            loadSavedShow("gala" + std::to_string(++shows) + ".bwshow");
            makeWindow().show();
            if (situation.onStage) engine_->go();
            status_.setDirty(situation.modified);
            prompt_ = test::ScriptedPrompt();
            prompt_.answer = situation.answer;
            willLoad = 0;

            c.command();
            EXPECT_EQ(prompt_.asked, situation.asked);
            EXPECT_EQ(c.wentOn(), situation.asked.empty() || situation.answer);
            if (!situation.answer && !situation.asked.empty()) {
                EXPECT_EQ(show_->isDirty(), situation.modified);
                EXPECT_EQ(stack_.cues().size(), 2u);
                EXPECT_EQ(engine_->showsAlignmentGrid(), !situation.onStage);
            }
            finishLoading();
            window_.reset();
        }
    }
    center_.removeObserver(token);
}

// Verifies the lock for the performance: every command that would edit,
// replace or end the show is refused and says so, Quit asks, GO and Panic
// still run, and unlocking asks first.
TEST_F(ShowCommandsTest, ALockedShowRefusesWhatWouldChangeItButRuns) {
    const std::string path = loadSavedShow();
    ShowWindow& window = makeWindow();
    window.show();
    ShowTableView& table = *window.showView()->tableView();
    // An edit to undo, saved.
    window.showView()->controller().setDescription(1, "Second");
    ASSERT_TRUE(show_->save());
    table.selectRow(0);
    window.setLocked(true);
    QApplication::processEvents();
    EXPECT_TRUE(child<QLabel>("lockBadge").isVisible());
    EXPECT_EQ(child<QAction>("lockAction").text(), "&Unlock…");

    const auto trigger = [this](const char* name) {
        return [this, name] {
            QAction* action = window_->findChild<QAction*>(name);
            if (auto* button = window_->findChild<QToolButton*>(name)) {
                action = button->defaultAction();
            }
            ASSERT_NE(action, nullptr) << name;
            action->trigger();
        };
    };
    struct Refused {
        const char* says;
        std::function<void()> attempt;
    };
    const std::vector<Refused> refused = {
        {"New Show", trigger("newShowAction")},
        {"Open Show", trigger("openShowAction")},
        {"Reload Show", trigger("reloadShowAction")},
        {"Save Show As", trigger("saveShowAsAction")},
        {"New Cue", trigger("newCueAction")},
        {"Duplicate Cue", trigger("duplicateCueButton")},
        {"Delete Cue", trigger("deleteCueButton")},
        {"Undo", trigger("undoAction")},
        {"Stop After the Last Cue", trigger("stopAtEndAction")},
        {"Panic Fade", trigger("panicFadeAction")},
        {"Edit Cue", [&table] { table.edit(table.model()->index(0, 0)); }},
    };
    int willLoad = 0;
    const NotificationCenter::Token token = center_.addObserver(
        std::string(kShowWillLoadNotification), [&willLoad](const Notification&) { ++willLoad; });
    for (const Refused& r : refused) {
        SCOPED_TRACE(r.says);
        r.attempt();
        EXPECT_EQ(child<QLabel>("refusalLabel").text(),
                  QString("Locked for the performance: %1 refused. Unlock from the Show menu.")
                      .arg(r.says));
        EXPECT_EQ(stack_.cues().size(), 2u);
        EXPECT_EQ(stack_.cues()[1].description, "Second");
        EXPECT_TRUE(table.viewport()->findChildren<QWidget*>().isEmpty()) << "no editor";
        EXPECT_FALSE(fileDialogUp("openShowDialog") || fileDialogUp("saveShowDialog"));
        EXPECT_FALSE(show_->isDirty());
    }
    EXPECT_FALSE(child<QAction>("stopAtEndAction").isChecked());
    EXPECT_EQ(willLoad, 0);
    EXPECT_TRUE(prompt_.asked.empty());
    center_.removeObserver(token);

    // The show runs on: GO, and Panic.
    child<QAction>("goAction").trigger();
    ASSERT_TRUE(engine_->currentCue().has_value());
    EXPECT_EQ(engine_->currentCue()->id, 1.0);
    child<QAction>("panicAction").trigger();
    EXPECT_TRUE(engine_->showsPanic());

    // Quit asks; unlocking asks; each goes on only for yes.
    for (const bool answer : {false, true}) {
        prompt_ = test::ScriptedPrompt();
        prompt_.answer = answer;
        child<QAction>("lockAction").trigger();
        EXPECT_EQ(prompt_.asked, std::vector<QString>{"unlockBox"});
        EXPECT_EQ(window.isLocked(), !answer);
    }
    QApplication::processEvents();
    EXPECT_FALSE(child<QLabel>("lockBadge").isVisible());
    EXPECT_EQ(window.windowTitle(), "gala.bwshow[*] — Beamwright");

    // Unlocked, the Panic fade is the operator's to set; Cancel keeps it.
    for (const std::optional<double> seconds : {std::optional<double>(), std::optional(2.5)}) {
        prompt_ = test::ScriptedPrompt();
        prompt_.seconds = seconds;
        child<QAction>("panicFadeAction").trigger();
        EXPECT_EQ(prompt_.asked, std::vector<QString>{"Panic Fade"});
        EXPECT_EQ(show_->settings().panicSeconds, seconds.value_or(1.0));
        EXPECT_EQ(engine_->panicSeconds(), seconds.value_or(1.0));
        EXPECT_EQ(show_->isDirty(), seconds.has_value());
    }
    ASSERT_TRUE(show_->save());
    window.setLocked(true);
    for (const bool answer : {false, true}) {
        prompt_ = test::ScriptedPrompt();
        prompt_.answer = answer;
        child<QAction>("quitAction").trigger();
        // Panic is on stage: the lock's question is the only one.
        EXPECT_EQ(prompt_.asked, std::vector<QString>{"quitLockedBox"});
        EXPECT_EQ(window.isVisible(), !answer);
    }
    EXPECT_EQ(show_->fileURL(), path);
}

// Verifies that a failed save says why while the show stays modified where
// it was.
TEST_F(ShowCommandsTest, FailedSavesAreShownAndTheShowStaysModified) {
    const std::string gala = loadSavedShow();
    makeWindow();
    // A folder that cannot be made: its parent is a regular file.
    const std::string blocked = dir_.write("plain", "x").string() + "/show.bwshow";
    struct Case {
        const char* name;
        std::function<void()> save;
        bool keepsLocation;
    };
    const std::vector<Case> cases = {
        {"Save to a location that fails",
         [&] {
             show_->setFileURL(blocked);
             child<QAction>("saveShowAction").trigger();
         },
         false},
        {"Save As to a location that fails",
         [&] { window_->saveShowTo(QString::fromStdString(blocked)); }, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        show_->setFileURL(gala);
        status_.setDirty(true);
        const std::optional<std::string> before = show_->fileURL();
        prompt_.warnings.clear();
        c.save();
        ASSERT_EQ(prompt_.warnings.size(), 1u);
        EXPECT_EQ(prompt_.warnings[0].text, "The show could not be saved.");
        EXPECT_FALSE(prompt_.warnings[0].reason.isEmpty());
        EXPECT_TRUE(show_->isDirty());
        EXPECT_TRUE(window_->isWindowModified());
        EXPECT_EQ(show_->fileURL(), c.keepsLocation ? before : blocked);
    }
}

// Verifies Save As: the suffix is added when missing, the window takes the
// new name, Reload is enabled only with a location, and Save without one
// asks for it.
TEST_F(ShowCommandsTest, SaveAsNamesTheShowAndEnablesReload) {
    makeWindow();
    auto& reload = child<QAction>("reloadShowAction");
    EXPECT_FALSE(reload.isEnabled());
    child<QAction>("saveShowAction").trigger();
    EXPECT_TRUE(fileDialogUp("saveShowDialog"));
    EXPECT_FALSE(show_->fileURL());

    stack_.replaceCues({makeCue(1, 0.0, {})});
    window_->saveShowTo(QString::fromStdString((dir_ / "Opening Night").string()));
    EXPECT_TRUE(prompt_.warnings.empty());
    EXPECT_EQ(show_->fileURL(), (dir_ / "Opening Night.bwshow").string());
    EXPECT_FALSE(show_->isDirty());
    EXPECT_EQ(window_->windowTitle(), "Opening Night.bwshow[*] — Beamwright");
    EXPECT_TRUE(reload.isEnabled());

    show_->reset();
    EXPECT_FALSE(reload.isEnabled());
}

// Verifies the File menu's shortcuts, and that no shortcut in the window
// takes a key that belongs to cue entry.
TEST_F(ShowCommandsTest, MenuShortcutsLeaveCueEntryKeysAlone) {
    makeWindow();
    const std::vector<std::pair<const char*, QKeySequence>> expected = {
        {"newShowAction", QKeySequence::New},         {"openShowAction", QKeySequence::Open},
        {"reloadShowAction", QKeySequence("Ctrl+R")}, {"saveShowAction", QKeySequence::Save},
        {"saveShowAsAction", QKeySequence::SaveAs},   {"quitAction", QKeySequence::Quit},
    };
    for (const auto& [name, keys] : expected)
        EXPECT_EQ(child<QAction>(name).shortcut(), keys) << name;

    const std::vector<int> cueEntryKeys = {
        Qt::Key_0,     Qt::Key_5,      Qt::Key_9,     Qt::Key_Period, Qt::Key_Plus,
        Qt::Key_Minus, Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape, Qt::Key_Backspace};
    for (const QAction* action : window_->findChildren<QAction*>()) {
        for (const QKeySequence& sequence : action->shortcuts()) {
            for (int k = 0; k < sequence.count(); ++k) {
                const QKeyCombination combination = sequence[k];
                const bool bare = (combination.keyboardModifiers() & ~Qt::KeypadModifier &
                                   ~Qt::ShiftModifier) == Qt::NoModifier;
                EXPECT_FALSE(bare && std::count(cueEntryKeys.begin(), cueEntryKeys.end(),
                                                combination.key()) > 0)
                    << action->objectName().toStdString() << " "
                    << sequence.toString().toStdString();
            }
        }
    }
}

}  // namespace
}  // namespace bw
