#include <QAction>
#include <QFileDialog>
#include <QKeySequence>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "document/Show.h"
#include "platform/NotificationCenter.h"
#include "show/ShowStatus.h"
#include "support/TempDir.h"
#include "ui/MessageBoxPrompt.h"
#include "ui/WindowTestSupport.h"

namespace bw {
namespace {

class ShowCommandsTest : public test::WindowTest {
protected:
    // A saved two-cue show at `name` in the test's folder, loaded and shown.
    std::string loadSavedShow(const std::string& name = "gala.bwshow") {
        const std::string path = (dir_ / name).string();
        stack_.replaceCues({makeCue(1, 0.0, {}), makeCue(2, 0.0, {})});
        show_->setFileURL(path);
        EXPECT_TRUE(show_->save());
        show_->load();
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

// Verifies that every discarding command asks on a modified show and goes on
// only for OK, and that on a clean show none asks.
TEST_F(ShowCommandsTest, DiscardingCommandsAskAndOnlyOkDiscards) {
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
    for (const Case& c : cases) {
        for (const int answer : {-1, 0, 1}) {  // clean show, Cancel, OK
            SCOPED_TRACE(std::string(c.name) + " answer " + std::to_string(answer));
            loadSavedShow();
            makeWindow().show();
            if (answer >= 0) status_.setDirty(true);
            prompt_ = test::ScriptedPrompt();
            prompt_.answer = answer == 1;
            willLoad = 0;

            c.command();
            EXPECT_EQ(prompt_.questions, answer >= 0 ? 1 : 0);
            EXPECT_EQ(c.wentOn(), answer != 0);
            if (answer == 0) {
                EXPECT_TRUE(show_->isDirty());
                EXPECT_EQ(stack_.cues().size(), 2u);
            }
            finishLoading();
            window_.reset();
        }
    }
    center_.removeObserver(token);
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
