#pragma once

#include <QAction>
#include <QFileDialog>
#include <QList>
#include <QObject>
#include <QPersistentModelIndex>
#include <QPointer>
#include <QString>
#include <array>
#include <optional>

#include "ui/FileManager.h"
#include "ui/cuelist/CueListModel.h"

class QMenu;
class QPoint;

namespace bw {

class CueListController;
class MediaCatalog;
class MediaCellDelegate;
class ShowTableView;

// The commands on the cue table's current cell, as actions shared by the
// table's keys, its context menu and the window's Cell menu, which lists
// them with their keys:
//
//   Set Media…            F2      a file chooser for movies and stills
//   Black, Clear, Grid    B C G   the generators
//   Clear Cell            Delete  back to what a new cue shows: black
//   Audio, Loop, Ken Burns A L K  toggle that box (and mark it)
//   Fit, Fill, Stretch    Ctrl+1 2 3  how a movie or still sits on its output
//   Next Fit              F       Fit, then Fill, then Stretch, then Fit
//   Toggle Marked Box     Space   toggles the marked box: the first box of
//                                 the cell until A, L or K marks another
//   Show in File Manager  Ctrl+Shift+F
//   Cell Menu             Shift+F10, Menu: the context menu at the cell
//
// None of these keys is one the window's cue entry takes (digits, ".", "+",
// "-", Return, Enter, Escape, Backspace), and the keys act only while the
// table has the focus. The keypad's Delete (its "." key without Num Lock)
// never clears a cell: it belongs to the cue entry's keypad. Every edit goes
// through the controller: it can be undone, and is refused while the show is
// locked, with the controller's refusal.
//
// The context menu (right click, or the keys above) holds the row's actions
// the window gives (Duplicate, Delete) and then these.
//
// Main thread only; the view, model, controller and catalog must outlive
// it.
class CellActions final : public QObject {
    Q_OBJECT

public:
    enum class Command {
        SetMedia,
        Black,
        Clear,
        Grid,
        ClearCell,
        Audio,
        Loop,
        KenBurns,
        Fit,
        Fill,
        Stretch,
        NextFit,
        ToggleMarkedBox,
        ShowInFileManager,
        CellMenu,
    };
    static constexpr int kCommandCount = static_cast<int>(Command::CellMenu) + 1;

    CellActions(ShowTableView& view, CueListModel& model, CueListController& controller,
                MediaCatalog& catalog, MediaCellDelegate& delegate);
    ~CellActions() override;

    QAction* action(Command command) const { return actions_[static_cast<int>(command)]; }
    // The cell commands in menu order, with separators.
    void addTo(QMenu& menu) const;
    // The actions on the whole row that the context menu lists first.
    void setRowActions(QList<QAction*> actions) { rowActions_ = std::move(actions); }

    // The current cell when it is an output cell; invalid otherwise.
    QModelIndex cell() const;
    // The box Space toggles in the current cell; none without boxes.
    std::optional<CueListModel::Role> markedBox() const;

    // The context menu for the current cell, at `globalPosition`.
    void popUpMenu(const QPoint& globalPosition);

    // Tests show files elsewhere.
    void setFileManager(FileManager fileManager) { fileManager_ = std::move(fileManager); }

    // The file chooser Set Media opens, while it is open.
    QFileDialog* mediaDialog() const { return mediaDialog_; }

private:
    void run(Command command);
    void chooseMedia();
    void takeChosenFile(const QPersistentModelIndex& cell, const QString& file);
    void setGenerator(MediaURL::Generator generator);
    void toggle(CueListModel::Role box);
    void setFit(PictureFit fit);
    // The current cell's fit; none for a cell without a movie or still.
    std::optional<PictureFit> fit() const;
    // The current cell's boxes, in the order they are painted.
    std::vector<CueListModel::Role> boxes() const;
    void setMarkedBox(std::optional<CueListModel::Role> box);
    // Enables and checks the actions for the current cell.
    void update();

    ShowTableView& view_;
    CueListModel& model_;
    CueListController& controller_;
    MediaCatalog& catalog_;
    MediaCellDelegate& delegate_;
    FileManager fileManager_;
    std::array<QAction*, kCommandCount> actions_{};
    QList<QAction*> rowActions_;
    std::optional<CueListModel::Role> markedBox_;
    QPointer<QFileDialog> mediaDialog_;
};

}  // namespace bw
