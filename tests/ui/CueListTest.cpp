#include <QAction>
#include <QLineEdit>
#include <QToolButton>
#include <QUndoStack>
#include <functional>
#include <string>
#include <vector>

#include "media/VideoPlayer.h"
#include "ui/CueListTestSupport.h"
#include "ui/cuelist/CueCellDelegate.h"
#include "ui/cuelist/MediaCellDelegate.h"

namespace bw {
namespace {

using test::CueListTest;

// One edit after another, each checked against the stack and the engine;
// then every edit undone back to the show as loaded, and redone again; then
// a reload, which empties the history.
TEST_F(CueListTest, EditScriptKeepsTheListTrueAndUndoesToTheLoadedShow) {
    openShow({cueWith(1, {"black://", "grid://"}), cueWith(2, {"clear://", "black://"}),
              cueWith(3, {"black://", "black://"})});
    const std::vector<Cue> loaded = stack_.cues();
    expectListMatches("loaded");
    EXPECT_FALSE(window_->isWindowModified());

    struct Step {
        const char* name;
        std::function<void()> run;
        bool edits = true;
    };
    const std::vector<Step> script = {
        {"new cue after the last", [&] { window_->newCue(); }},
        {"duplicate cue 2",
         [&] {
             table().selectRow(rowOf(2));
             window_->duplicateSelectedCue();
         }},
        {"GO", [&] { goAndFinishFade(); }, false},
        {"drop a movie on cue 2",
         [&] { controller().setMediaURL(rowOf(2), 0, MediaURL::fileURL(path("movie.webm"))); }},
        {"drop a still on cue 3",
         [&] { controller().setMediaURL(rowOf(3), 1, MediaURL::fileURL(path("image.png"))); }},
        {"loop off on cue 2",
         [&] { model().setData(model().index(rowOf(2), 1), false, CueListModel::LoopedRole); }},
        {"cue 2 becomes 7", [&] { controller().setCueID(rowOf(2), 7.0); }},
        {"fade of cue 3", [&] { controller().setFadeLength(rowOf(3), 4.5); }},
        {"description of cue 1", [&] { controller().setDescription(rowOf(1), "Doors"); }},
        {"pre-wait of cue 3 typed in its column",
         [&] {
             const QModelIndex cell =
                 model().index(rowOf(3), model().timingColumn(CueListModel::Timing::PreWait));
             model().setData(cell, 1.5, CueListModel::PreWaitRole);
         }},
        {"cue 1 continues by itself",
         [&] {
             const QModelIndex cell =
                 model().index(rowOf(1), model().timingColumn(CueListModel::Timing::Continue));
             model().setData(cell, static_cast<int>(CueContinue::AutoFollow),
                             CueListModel::ContinueRole);
         }},
        {"post-wait of cue 1", [&] { controller().setPostWait(rowOf(1), 2.0); }},
        {"GO and the fade's end", [&] { goAndFinishFade(); }, false},
        {"delete the selected cue",
         [&] {
             table().selectRow(rowOf(4));
             window_->deleteSelectedCue();
         }},
        {"GO again", [&] { goAndFinishFade(); }, false},
    };
    int edits = 0;
    for (const Step& step : script) {
        step.run();
        settle();
        expectListMatches(step.name);
        if (step.edits) {
            ++edits;
            EXPECT_TRUE(window_->isWindowModified()) << step.name;
        }
    }
    QUndoStack& history = controller().undoStack();
    ASSERT_EQ(history.count(), edits);
    const std::vector<Cue> edited = stack_.cues();

    while (history.canUndo()) {
        history.undo();
        settle();
        expectListMatches("undo " + history.undoText().toStdString());
    }
    EXPECT_EQ(stack_.cues(), loaded);
    EXPECT_TRUE(window_->isWindowModified());
    while (history.canRedo()) {
        history.redo();
        settle();
        expectListMatches("redo " + history.redoText().toStdString());
    }
    EXPECT_EQ(stack_.cues(), edited);

    window_->openShowFile(QString::fromStdString(*show_->fileURL()));
    finishLoading();
    settle();
    expectListMatches("reloaded");
    EXPECT_EQ(history.count(), 0);
    EXPECT_EQ(stack_.cues(), loaded);
}

// New cue: after the last, after the selected cue, at a typed number; the
// first cue made is armed, and a second one follows the cue on stage.
TEST_F(CueListTest, NewCueLandsWhereTheOperatorAsked) {
    openShow({});
    window_->newCue();
    EXPECT_EQ(stack_.cueIDs(), std::vector<double>{1.0});
    ASSERT_TRUE(engine_->nextCue());
    EXPECT_EQ(engine_->nextCue()->id, 1.0);
    goAndFinishFade();
    window_->newCue();
    EXPECT_EQ(stack_.cueIDs(), (std::vector<double>{1.0, 2.0}));
    EXPECT_EQ(engine_->nextCue()->id, 2.0) << "the second cue follows the one on stage";
    window_->newCue();

    struct Case {
        const char* name;
        std::function<void()> choose;
        double made;
    };
    const std::vector<Case> cases = {
        {"after the selected cue 2: midway", [&] { table().selectRow(1); }, 2.5},
        {"after the last selected cue", [&] { table().selectRow(3); }, 4.0},
        {"at a typed number",
         [&] {
             window_->showView()->deselectAll();
             QTest::keyClick(window_.get(), Qt::Key_7);
         },
         7.0},
    };
    for (const Case& c : cases) {
        c.choose();
        const std::optional<double> selected = window_->showView()->selectedCueID();
        window_->newCue();
        EXPECT_TRUE(stack_.indexOfCue(c.made)) << c.name;
        EXPECT_EQ(window_->showView()->selectedCueID(), selected) << "selection unchanged";
        expectListMatches(c.name);
    }
    EXPECT_EQ(child<QLineEdit>("gotoCueTextField").text(), "") << "the typed number was used";
}

// Deleting: the next cue hands over first (wrapping at the end), the cue on
// stage may go without its picture leaving the stage, and the last cue
// leaves nothing armed.
TEST_F(CueListTest, DeletingKeepsTheShowRunning) {
    openShow({cueWith(1, {"grid://", "black://"}), cueWith(2, {"black://", "clear://"}),
              cueWith(3, {"clear://", "grid://"})});
    goAndFinishFade();  // 1 on stage, 2 next
    table().selectRow(rowOf(2));
    window_->deleteSelectedCue();
    EXPECT_EQ(engine_->nextCue()->id, 3.0);
    EXPECT_FALSE(child<QToolButton>("deleteCueButton").isEnabled());
    EXPECT_EQ(child<QLineEdit>("gotoCueTextField").text(), "");
    expectListMatches("next deleted");

    // The cue on stage goes; an edit of the next cue reloads the engine,
    // and the stage keeps its players.
    const MediaPlayerRef onStage = engine_->outputs()[0]->runningPlayer();
    table().selectRow(rowOf(1));
    window_->deleteSelectedCue();
    controller().setFadeLength(rowOf(3), 2.0);
    EXPECT_EQ(engine_->outputs()[0]->runningPlayer(), onStage);
    EXPECT_EQ(engine_->currentCue()->id, 1.0);
    expectListMatches("current deleted");

    // The last cue, which is next.
    table().selectRow(rowOf(3));
    window_->deleteSelectedCue();
    EXPECT_FALSE(engine_->nextCue());
    engine_->go();
    EXPECT_EQ(engine_->currentCue()->id, 1.0) << "GO had nothing to run";
    expectListMatches("all deleted");
}

// The cue on stage gets a new ID while it fades in: when the fade ends, the
// show runs on from its new place.
TEST_F(CueListTest, RenumberedCueOnStageKeepsTheOrder) {
    openShow({cueWith(1, {"black://", "black://"}), cueWith(2, {"grid://", "grid://"}, 2.0),
              cueWith(3, {"clear://", "clear://"}), cueWith(4, {"black://", "grid://"})});
    goAndFinishFade();  // 1 on stage, 2 next
    child<QAction>("goAction").trigger();
    tick();  // 2 fading in
    ASSERT_EQ(controller().setCueID(rowOf(2), 3.5), 2);
    EXPECT_EQ(engine_->currentCue()->id, 3.5);
    expectListMatches("renumbered");
    advance(10.0);
    tick();
    tick();
    flush();
    ASSERT_TRUE(engine_->nextCue());
    EXPECT_EQ(engine_->nextCue()->id, 4.0) << "the cue after 3.5, not the first cue";
    expectListMatches("fade ended");
}

// The cue cell's editor: a taken or endless ID keeps it open; a good one
// moves the row; a fade that is not a length is not taken.
TEST_F(CueListTest, CueCellEditorRefusesWhatCannotBeAnID) {
    openShow({cueWith(1, {"black://", "black://"}), cueWith(2, {"black://", "black://"}),
              cueWith(3, {"black://", "black://"})});
    QWidget* viewport = table().viewport();
    const CueCellLayout layout = CueCellLayout::of(table().visualRect(model().index(1, 0)));
    auto openEditor = [&](QPoint at) -> CueCellEditor* {
        // A double click as the system delivers it: press and release, then
        // the second press as a double click.
        QTest::mouseClick(viewport, Qt::LeftButton, {}, at);
        QTest::mouseDClick(viewport, Qt::LeftButton, {}, at);
        flush();
        return table().findChild<CueCellEditor*>();
    };
    auto type = [](QLineEdit* field, const char* text) {
        field->selectAll();
        QTest::keyClicks(field, text);
        QTest::keyClick(field, Qt::Key_Return);
        flush();
    };

    CueCellEditor* editor = openEditor(layout.id.center());
    ASSERT_NE(editor, nullptr);
    EXPECT_EQ(editor->focusWidget(), editor->idField());
    for (const char* refused : {"3", "nan", "inf", "-inf"}) {
        type(editor->idField(), refused);
        EXPECT_EQ(table().findChild<CueCellEditor*>(), editor) << refused << ": editor stays";
        EXPECT_EQ(stack_.cueIDs(), (std::vector<double>{1, 2, 3})) << refused;
    }
    type(editor->idField(), "5");
    QApplication::processEvents();
    EXPECT_EQ(stack_.cueIDs(), (std::vector<double>{1, 3, 5}));
    EXPECT_EQ(model().index(2, 0).data().toString(), "5.0") << "the row moved last";
    EXPECT_EQ(child<QLineEdit>("gotoCueTextField").text(), "5.0");

    struct FadeCase {
        const char* text;
        double expected;
    };
    for (const FadeCase& c : {FadeCase{"abc", 0.0}, FadeCase{"-1", 0.0}, FadeCase{"inf", 0.0},
                              FadeCase{"2.5", 2.5}}) {
        const CueCellLayout row0 = CueCellLayout::of(table().visualRect(model().index(0, 0)));
        CueCellEditor* fadeEditor = openEditor(row0.fade.center());
        ASSERT_NE(fadeEditor, nullptr) << c.text;
        EXPECT_EQ(fadeEditor->focusWidget(), fadeEditor->fadeField());
        type(fadeEditor->fadeField(), c.text);
        QApplication::processEvents();
        EXPECT_EQ(stack_.cues()[0].fadeLength, c.expected) << c.text;
    }
}

// Keys in the table: Down and Up with nothing selected pick the rows around
// the cue on stage; Return is GO, never an edit.
TEST_F(CueListTest, TableKeysFollowTheCueOnStage) {
    openShow({cueWith(1, {"black://", "black://"}), cueWith(2, {"black://", "black://"}),
              cueWith(3, {"black://", "black://"})});
    goAndFinishFade();
    goAndFinishFade();  // 2 on stage
    table().setFocus();
    QTest::keyClick(&table(), Qt::Key_Down);
    EXPECT_EQ(table().selectedRow(), 2);
    window_->showView()->deselectAll();
    QTest::keyClick(&table(), Qt::Key_Up);
    EXPECT_EQ(table().selectedRow(), 0);
    window_->showView()->deselectAll();

    // Digits typed in the table are a cue number for the window.
    QTest::keyClick(&table(), Qt::Key_4);
    EXPECT_EQ(child<QLineEdit>("gotoCueTextField").text(), "4");
    QTest::keyClick(&table(), Qt::Key_Backspace);
    EXPECT_EQ(child<QLineEdit>("gotoCueTextField").text(), "");

    const double before = engine_->currentCue()->id;
    QTest::keyClick(&table(), Qt::Key_Return);
    EXPECT_EQ(table().findChild<CueCellEditor*>(), nullptr);
    EXPECT_EQ(engine_->currentCue()->id, before + 1.0) << "Return ran GO once";
}

// The highlight colours as painted, in both looks.
TEST_F(CueListTest, CurrentAndNextRowsArePaintedInTheirColours) {
    openShow({cueWith(1, {"black://", "black://"}), cueWith(2, {"black://", "black://"}),
              cueWith(3, {"black://", "black://"})});
    goAndFinishFade();  // 1 current, 2 next
    struct Look {
        bool dark;
        QRgb current;
        QRgb next;
        QRgb grid;
    };
    const QRgb midlight = QApplication::palette().color(QPalette::Midlight).rgb();
    for (const Look& look : {Look{false, qRgb(0x3F, 0xF5, 0x1D), qRgb(0xFF, 0xF2, 0x1F), midlight},
                             Look{true, qRgb(0x00, 0x80, 0x00), qRgb(0x80, 0x78, 0x00),
                                  qRgb(0x55, 0x55, 0x55)}}) {
        window_->setDarkMode(look.dark);
        QApplication::processEvents();
        const QImage picture = table().viewport()->grab().toImage();
        // A spot of the cue cell with no text on it.
        const QPoint spot = CueCellLayout::of(table().visualRect(model().index(0, 0))).id.topRight()
                            + QPoint(3, 3);
        auto near = [](QRgb a, QRgb b) {
            return std::abs(qRed(a) - qRed(b)) <= 2 && std::abs(qGreen(a) - qGreen(b)) <= 2 &&
                   std::abs(qBlue(a) - qBlue(b)) <= 2;
        };
        EXPECT_TRUE(near(picture.pixel(spot), look.current)) << look.dark;
        EXPECT_TRUE(near(picture.pixel(spot + QPoint(0, CueCellDelegate::kRowHeight)), look.next))
            << look.dark;
        // The grid line after the cue cell of the plain third row.
        const QRect plain = table().visualRect(model().index(2, 0));
        EXPECT_TRUE(near(picture.pixel(plain.right() + 1, plain.center().y()), look.grid))
            << look.dark << " " << std::hex << picture.pixel(plain.right() + 1, plain.center().y());
    }
}

// A movie on stage goes on playing, never restarted, when its sound or
// looping is switched by a click on its box.
TEST_F(CueListTest, MovieOnStageKeepsPlayingWhenItsBoxesChange) {
    openShow({cueWith(1, {url("movie-long.mkv"), "black://"}), cueWith(2, {"black://", "black://"})});
    goAndFinishFade();
    auto player = std::dynamic_pointer_cast<VideoPlayer>(engine_->outputs()[0]->runningPlayer());
    ASSERT_NE(player, nullptr);
    auto framesAfterPlaying = [&] {
        using namespace std::chrono_literals;
        const std::uint64_t start = player->framesDecoded();
        EXPECT_TRUE(MainQueue::shared().pumpUntil(
            [&] {
                advance(0.05);
                tick();
                return player->framesDecoded() > start + 2;
            },
            10s));
        return player->framesDecoded();
    };
    std::uint64_t frames = framesAfterPlaying();
    const QModelIndex cell = model().index(0, 1);
    QStyleOptionViewItem option;
    option.initFrom(table().viewport());
    option.rect = table().visualRect(cell);
    const MediaCellDelegate::Layout layout = MediaCellDelegate::layoutOf(
        option.rect, cell.data(CueListModel::CellTemplateRole).toString(), option);
    ASSERT_EQ(layout.boxes.size(), 2u);
    for (const MediaCellDelegate::Box& box : layout.boxes) {
        const bool was = cell.data(box.role).toBool();
        QTest::mouseClick(table().viewport(), Qt::LeftButton, {}, box.rect.center());
        EXPECT_NE(cell.data(box.role).toBool(), was) << box.label.toStdString();
        EXPECT_EQ(engine_->outputs()[0]->runningPlayer(), player) << box.label.toStdString();
        const std::uint64_t later = framesAfterPlaying();
        EXPECT_GT(later, frames) << "the movie moved on, from where it was";
        frames = later;
    }
    EXPECT_EQ(player->pipelineMuted(), false) << "Audio switched on";
    EXPECT_FALSE(stack_.cues()[0].outputStates[0].looped);
}

}  // namespace
}  // namespace bw
