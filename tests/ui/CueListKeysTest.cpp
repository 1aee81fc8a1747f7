// The fake desktop's GIO before any Qt header (Qt's "signals" keyword).
#include "support/FakeDesktop.h"
//
#include <QAction>
#include <QContextMenuEvent>
#include <QFileDialog>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QUndoStack>
#include <string>
#include <vector>

#include "ui/CueListTestSupport.h"
#include "ui/FileManager.h"
#include "ui/FocusRing.h"
#include "ui/Look.h"
#include "ui/cuelist/CellActions.h"
#include "ui/outputs/PatchView.h"

namespace bw {
namespace {

using test::CueListTest;
using Command = CellActions::Command;

// Cue 1: a movie and a still; cue 2: black on both outputs.
class CueListKeysTest : public CueListTest {
protected:
    void SetUp() override {
        CueListTest::SetUp();
        openShow({cueWith(1, {url("movie.webm"), url("image.png")}),
                  cueWith(2, {"black://", "black://"})});
        // The loading sheet had the window's activation last.
        QApplication::setActiveWindow(window_.get());
        table().setFocus();
        ASSERT_TRUE(QTest::qWaitFor([this] { return table().hasFocus(); }, 20000));
    }

    void focusCell(int row, int column) { table().setCurrentIndex(model().index(row, column)); }
    void press(int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        QTest::keyClick(&table(), static_cast<Qt::Key>(key), modifiers);
        flush();
    }
    const MediaOutputState& state(int row, int column) {
        return stack_.cues()[static_cast<std::size_t>(row)]
            .outputStates[static_cast<std::size_t>(column - 1)];
    }
    QAction& cellAction(Command command) { return *table().cellActions().action(command); }
    QMenu* contextMenu() { return table().findChild<QMenu*>("cellContextMenu"); }
};

// One script of keys on the cells: each step's key, where it is pressed, and
// what the cell holds after it (media, Audio, Loop, Ken Burns), with the list
// re-checked against the stack and the engine after every step. Keys that
// are not the cell's (a box the cell lacks, the cue column, the keypad's
// Delete) change nothing; every change is one step of the history.
TEST_F(CueListKeysTest, KeysOnACellEditIt) {
    struct Step {
        int row, column;
        int key;
        Qt::KeyboardModifiers modifiers;
        std::string media;  // "" : the test media file of the cell before
        bool audio, loop, kenBurns;
        bool edits;
    };
    const std::string movie = url("movie.webm");
    const std::string still = url("image.png");
    const std::vector<Step> steps = {
        // Space toggles the marked box: the movie's first (Audio), then the
        // one A, L or K last marked.
        {0, 1, Qt::Key_Space, {}, movie, true, true, false, true},
        {0, 1, Qt::Key_L, {}, movie, true, false, false, true},
        {0, 1, Qt::Key_Space, {}, movie, true, true, false, true},
        {0, 1, Qt::Key_A, {}, movie, false, true, false, true},
        {0, 1, Qt::Key_K, {}, movie, false, true, false, false},
        {0, 2, Qt::Key_K, {}, still, false, true, true, true},
        {0, 2, Qt::Key_A, {}, still, false, true, true, false},
        {0, 2, Qt::Key_Space, {}, still, false, true, false, true},
        // The generators, then Delete back to a new cue's black.
        {1, 1, Qt::Key_G, {}, "grid://", false, true, false, true},
        {1, 1, Qt::Key_C, {}, "clear://", false, true, false, true},
        {1, 2, Qt::Key_B, {}, "black://", false, true, false, false},
        {1, 2, Qt::Key_G, {}, "grid://", false, true, false, true},
        {0, 1, Qt::Key_Delete, Qt::KeypadModifier, movie, false, true, false, false},
        {0, 1, Qt::Key_Delete, {}, "black://", false, true, false, true},
        // The cue column has no media.
        {1, 0, Qt::Key_G, {}, "", false, false, false, false},
        {1, 0, Qt::Key_Delete, {}, "", false, false, false, false},
    };
    for (std::size_t k = 0; k < steps.size(); ++k) {
        const Step& step = steps[k];
        SCOPED_TRACE("step " + std::to_string(k));
        focusCell(step.row, step.column);
        const int before = controller().undoStack().count();
        const std::vector<Cue> cues = stack_.cues();
        press(step.key, step.modifiers);
        EXPECT_EQ(controller().undoStack().count(), before + (step.edits ? 1 : 0));
        if (step.column == 0) {
            EXPECT_EQ(stack_.cues(), cues);
            continue;
        }
        const MediaOutputState& now = state(step.row, step.column);
        EXPECT_EQ(now.mediaURL.absoluteString(), step.media);
        EXPECT_EQ(!now.muted, step.audio);
        EXPECT_EQ(now.looped, step.loop);
        EXPECT_EQ(now.kenBurns, step.kenBurns);
        expectListMatches("after the key");
    }
    // Undo takes the steps back one by one, to the show as it was loaded.
    while (controller().undoStack().canUndo())
        controller().undo();
    EXPECT_EQ(state(0, 1).mediaURL.absoluteString(), movie);
    EXPECT_TRUE(state(0, 1).muted);
    EXPECT_EQ(state(1, 1).mediaURL.absoluteString(), "black://");
}

// The cue entry keeps its keys over an output cell: digits and "." are typed,
// Return is one GO and opens no chooser.
TEST_F(CueListKeysTest, CueEntryKeysStayTheWindows) {
    focusCell(0, 1);
    const std::string shown = window_->cueEntry().text();
    press(Qt::Key_2);
    press(Qt::Key_Period);
    press(Qt::Key_5);
    EXPECT_EQ(window_->cueEntry().text(), shown + "2.5");
    press(Qt::Key_Backspace);
    press(Qt::Key_Backspace);
    press(Qt::Key_Backspace);
    focusCell(1, 2);
    press(Qt::Key_Return);
    EXPECT_EQ(engine_->currentCue()->id, 2.0) << "the selected row's cue ran";
    EXPECT_EQ(table().cellActions().mediaDialog(), nullptr);
    EXPECT_EQ(controller().undoStack().count(), 0);
}

// F2 offers the movies and stills; the chosen file becomes the cell's media
// in one step of the history. A file that is neither is refused with a word,
// and the cell stays as it was.
TEST_F(CueListKeysTest, SetMediaChoosesAMovieOrAStill) {
    focusCell(1, 2);
    ASSERT_TRUE(cellAction(Command::SetMedia).isEnabled());
    press(Qt::Key_F2);
    QFileDialog* dialog = table().cellActions().mediaDialog();
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->windowModality(), Qt::WindowModal);
    EXPECT_TRUE(dialog->nameFilters().front().contains("*.webm"));
    EXPECT_TRUE(dialog->nameFilters().front().contains("*.png"));
    emit dialog->fileSelected(QString::fromStdString(path("image.png")));
    dialog->close();
    flush();
    EXPECT_EQ(state(1, 2).mediaURL.absoluteString(), url("image.png"));
    EXPECT_EQ(controller().undoStack().undoText(), "Set Media");
    settle();
    expectListMatches("a still chosen");

    press(Qt::Key_F2);
    dialog = table().cellActions().mediaDialog();
    ASSERT_NE(dialog, nullptr);
    emit dialog->fileSelected(QString::fromStdString(path("notes.txt")));
    dialog->close();
    flush();
    EXPECT_EQ(state(1, 2).mediaURL.absoluteString(), url("image.png"));
    auto* refused = window_->findChild<QMessageBox*>("notMediaBox");
    ASSERT_NE(refused, nullptr);
    EXPECT_TRUE(refused->text().contains("notes.txt"));
    refused->close();
}

// While the show is locked the keys change nothing and the status line says
// which command was refused; no chooser opens.
// F moves a movie's or still's fit on (Fit, Fill, Stretch, Fit), each press
// one step of the history, and the Cell menu checks the fit the cell has; a
// generator's cell has none. A cell given a file where it had none takes the
// show's fit for new media; one that had a file keeps the fit it had.
TEST_F(CueListKeysTest, FMovesTheFitOnAndNewMediaTakesTheShowsFit) {
    EXPECT_EQ(state(0, 1).fit, PictureFit::Stretch) << "a file without fits reads as stretch";
    const struct {
        int row, column;
        PictureFit fit;
        bool edits;
    } steps[] = {
        {0, 1, PictureFit::Fit, true}, {0, 1, PictureFit::Fill, true},
        {0, 2, PictureFit::Fit, true}, {0, 1, PictureFit::Stretch, true},
        {0, 1, PictureFit::Fit, true}, {1, 1, PictureFit::Stretch, false},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(std::to_string(step.row) + "," + std::to_string(step.column));
        focusCell(step.row, step.column);
        const int before = controller().undoStack().count();
        press(Qt::Key_F);
        EXPECT_EQ(controller().undoStack().count(), before + (step.edits ? 1 : 0));
        EXPECT_EQ(state(step.row, step.column).fit, step.fit);
        EXPECT_EQ(cellAction(Command::Fit).isChecked(), step.edits && step.fit == PictureFit::Fit);
        EXPECT_EQ(cellAction(Command::Fill).isChecked(),
                  step.edits && step.fit == PictureFit::Fill);
        EXPECT_EQ(cellAction(Command::NextFit).isEnabled(), step.edits);
    }
    controller().undo();
    EXPECT_EQ(state(0, 1).fit, PictureFit::Stretch);

    ShowSettings settings = show_->settings();
    settings.defaultFit = PictureFit::Fill;
    show_->setSettings(settings);
    ASSERT_TRUE(controller().setMediaURL(1, 0, MediaURL::fileURL(path("movie.webm"))));
    EXPECT_EQ(state(1, 1).fit, PictureFit::Fill) << "black had no fit: the show's";
    ASSERT_TRUE(controller().setMediaURL(0, 0, MediaURL::fileURL(path("image.png"))));
    EXPECT_EQ(state(0, 1).fit, PictureFit::Stretch) << "a file had its fit: kept";
}

TEST_F(CueListKeysTest, ALockedShowRefusesTheKeys) {
    window_->setLocked(true);
    const std::vector<Cue> cues = stack_.cues();
    const struct {
        int key;
        const char* named;
    } keys[] = {{Qt::Key_F2, "Set Media"},
                {Qt::Key_G, "Set Media"},
                {Qt::Key_Delete, "Clear Cell"},
                {Qt::Key_Space, "Change Audio"},
                {Qt::Key_F, "Change Fit"}};
    for (const auto& key : keys) {
        focusCell(0, 1);
        press(key.key);
        EXPECT_EQ(stack_.cues(), cues) << key.named;
        EXPECT_EQ(table().cellActions().mediaDialog(), nullptr);
        EXPECT_TRUE(child<QLabel>("refusalLabel").text().contains(QString(key.named) + " refused"))
            << child<QLabel>("refusalLabel").text().toStdString();
    }
}

// Shift+F10 and the Menu key open the cell's context menu, a right click the
// menu of the cell under the pointer (which becomes current); it lists the
// row's Duplicate and Delete, then the cell's commands, and its actions act
// on that cell. The window's Cell menu lists every command with its key.
TEST_F(CueListKeysTest, ContextMenuAndCellMenu) {
    const struct {
        int key;
        Qt::KeyboardModifiers modifiers;
    } openings[] = {{Qt::Key_F10, Qt::ShiftModifier}, {Qt::Key_Menu, Qt::NoModifier}};
    for (const auto& opening : openings) {
        focusCell(1, 1);
        press(opening.key, opening.modifiers);
        QMenu* menu = contextMenu();
        ASSERT_NE(menu, nullptr);
        QStringList names;
        for (QAction* action : menu->actions()) {
            if (!action->isSeparator())
                names << (action->objectName().isEmpty() ? action->text() : action->objectName());
        }
        EXPECT_EQ(names.mid(0, 3), (QStringList{"Duplicate Cue", "Delete Cue", "setMediaAction"}));
        EXPECT_TRUE(names.contains("showInFileManagerAction"));
        menu->close();
        flush();
    }

    const QPoint at = table().viewport()->mapToGlobal(cellPoint(0, 2));
    QContextMenuEvent click(QContextMenuEvent::Mouse, table().viewport()->mapFromGlobal(at), at);
    QApplication::sendEvent(table().viewport(), &click);
    flush();
    EXPECT_EQ(table().currentIndex(), model().index(0, 2));
    QMenu* menu = contextMenu();
    ASSERT_NE(menu, nullptr);
    for (QAction* action : menu->actions()) {
        if (action->objectName() == "gridAction") action->trigger();
    }
    menu->close();
    flush();
    EXPECT_EQ(state(0, 2).mediaURL.absoluteString(), "grid://");

    QMenu& cellMenu = child<QMenu>("cellMenu");
    int listed = 0;
    for (QAction* action : cellMenu.actions()) {
        if (action->isSeparator()) continue;
        ++listed;
        EXPECT_FALSE(action->shortcut().isEmpty()) << action->objectName().toStdString();
    }
    EXPECT_EQ(listed, CellActions::kCommandCount);
}

// The current cell carries the mark while the table has the focus, in the
// accent colour with a line that stands out from the cell's colour, on a
// plain, a selected, the current and the next row, in both looks; other
// cells carry none.
TEST_F(CueListKeysTest, FocusMarkShowsOnEveryRowColour) {
    goAndFinishFade();  // cue 1 on stage, cue 2 next
    for (const bool dark : {false, true}) {
        window_->setDarkMode(dark);
        const struct {
            int row;
            bool selected;
        } cells[] = {{0, false}, {1, false}, {0, true}, {1, true}};
        for (const auto& cell : cells) {
            SCOPED_TRACE(std::string(dark ? "dark" : "light") + " row " + std::to_string(cell.row) +
                         (cell.selected ? " selected" : ""));
            const QModelIndex index = model().index(cell.row, 2);
            table().selectionModel()->setCurrentIndex(
                index, cell.selected
                           ? QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows
                           : QItemSelectionModel::Clear);
            flush();
            const QImage shot = table().viewport()->grab().toImage();
            const QRect rect = table().visualRect(index);
            const QColor background = shot.pixelColor(rect.center().x(), rect.top() + 6);
            const QColor ring = shot.pixelColor(rect.left() + 20, rect.top());
            const QColor line = shot.pixelColor(rect.left() + 20, rect.top() + FocusRing::kWidth);
            EXPECT_EQ(ring.rgb(), Look::accentColour(table().palette()).rgb());
            EXPECT_GE(std::max(Look::contrastRatio(ring, background),
                               Look::contrastRatio(line, background)),
                      Look::kMinimumMarkContrast);
            // The cue cell beside it is not marked.
            const QRect other = table().visualRect(model().index(cell.row, 0));
            EXPECT_EQ(shot.pixelColor(other.left() + 20, other.top()).rgb(),
                      shot.pixelColor(other.left() + 20, other.top() + 6).rgb());
        }
    }
}

// The ring follows the focus from control to control, into the Outputs
// window, and leaves no ring behind; the accent stands out from the window
// and base colours in both looks.
TEST_F(CueListKeysTest, FocusRingFollowsTheFocus) {
    auto* ring = window_->findChild<FocusRing*>();
    ASSERT_NE(ring, nullptr);
    EXPECT_EQ(ring->target(), &table());
    window_->showOutputs();
    QLineEdit* name = window_->patchView()->findChild<QLineEdit*>("nameTextField");
    ASSERT_NE(name, nullptr);
    window_->patchView()->selectRow(0);
    QApplication::setActiveWindow(window_->patchView());
    name->setFocus();
    ASSERT_TRUE(QTest::qWaitFor([&] { return ring->target() == name; }, 20000));
    const auto rings = window_->findChildren<QWidget*>("focusRing");
    ASSERT_EQ(rings.size(), 1);
    EXPECT_EQ(rings.front()->parentWidget(), name);
    EXPECT_EQ(rings.front()->geometry(), name->rect());
    for (const bool dark : {false, true}) {
        const QPalette palette = dark ? Look::darkPalette() : Look::lightPalette();
        const QColor accent = Look::accentColour(palette);
        EXPECT_GE(Look::contrastRatio(accent, palette.color(QPalette::Window)),
                  Look::kMinimumMarkContrast);
        EXPECT_GE(Look::contrastRatio(accent, palette.color(QPalette::Base)),
                  Look::kMinimumMarkContrast);
    }
}

// Show in File Manager asks the desktop's file manager for the cell's file;
// where none answers, its folder opens instead.
TEST(FileManagerTest, ShowsTheFileOrItsFolder) {
    for (const bool offered : {true, false}) {
        SCOPED_TRACE(offered ? "file manager" : "none");
        test::FakeDesktop desktop;
        if (!desktop.running()) GTEST_SKIP() << "dbus-daemon could not start";
        if (offered) desktop.offerFileManager();
        QString opened;
        FileManager files(desktop.address(), [&](const QString& folder) { opened = folder; });
        files.showItem("/media/show/Intro clip.mov");
        if (offered) {
            ASSERT_TRUE(desktop.waitForCalls(1));
            EXPECT_EQ(desktop.calls.front(), "ShowItems file:///media/show/Intro%20clip.mov");
            EXPECT_TRUE(opened.isEmpty());
        } else {
            ASSERT_TRUE(MainQueue::shared().pumpUntil([&] { return !opened.isEmpty(); },
                                                      std::chrono::seconds(10)));
            EXPECT_EQ(opened, "/media/show");
        }
    }
}

}  // namespace
}  // namespace bw
