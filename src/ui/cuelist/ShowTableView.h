#pragma once

#include <QDropEvent>
#include <QTableView>
#include <chrono>
#include <memory>
#include <optional>

#include "platform/MediaURL.h"

namespace bw {

class CellActions;
class CueTimingDelegate;
class CueListController;
class CueListModel;
class MediaCatalog;

// The cue table: rows of cues, one selected at a time; the first column
// edits in place, the others take media dragged onto them.
//
// Keys: Return and keypad Enter never start an edit, they go up to the
// window (GO); so do text keys, Backspace and Escape (cue entry). Down or Up
// with no row selected selects the row after or before the cue on stage.
// The current cell carries the focus mark while the table has the focus;
// the cell commands (CellActions: F2, B, C, G, Delete, A, L, K, Space, the
// context menu) act on it. A right click opens the context menu of the cell
// under the pointer.
//
// Drops: a movie or a still from a file manager, or a generator tile, onto
// an output cell. The cell under the drag is highlighted while it would be
// taken; anything else (other files, column 0, outside the rows) is refused
// without a highlight. The drop is answered as a link, or a copy when the
// source offers no link, never as a move: the file manager must never delete
// the operator's file. Everything is checked again when the drop lands.
// While the show is locked nothing is taken, and the controller says why
// when a drag comes in.
class ShowTableView final : public QTableView {
    Q_OBJECT

public:
    // How long a drag waits for a file's kind before it is refused (the
    // lookup goes on; the next move over the cell asks again).
    static constexpr std::chrono::milliseconds kKindWait{150};

    ShowTableView(CueListModel& model, CueListController& controller, MediaCatalog& catalog,
                  QWidget* parent = nullptr);
    ~ShowTableView() override;

    // Grid lines for the look: dark grey when dark, the palette's midlight
    // otherwise.
    void setDarkMode(bool dark);

    // Type, rows and columns at `zoom` times their size (1: as designed);
    // the output columns stretch over the width the list has.
    void setZoom(double zoom);
    double zoom() const { return zoom_; }
    // `size` device-independent pixels at the list's zoom.
    int scaled(int size) const;

    // The selected row, if any.
    std::optional<int> selectedRow() const;
    void selectRow(int row);
    using QTableView::edit;

    CellActions& cellActions() const { return *cellActions_; }

protected:
    void resizeEvent(QResizeEvent* event) override;
    // While the list is locked no editor opens: the controller says why.
    bool edit(const QModelIndex& index, EditTrigger trigger, QEvent* event) override;
    bool event(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    // The media a drag carries, when the list takes it at all: a movie or a
    // still, or a generator, offered as a link or a copy.
    std::optional<MediaURL> draggedMedia(const QDropEvent& event);
    // The output cell at `position`; invalid for anything else.
    QModelIndex outputCellAt(const QPoint& position) const;
    // Accepts or refuses a drag entering or moving at the event's position.
    void answerDrag(QDragMoveEvent* event, bool entering);
    static std::optional<Qt::DropAction> dropActionFor(Qt::DropActions offered);
    // The cue column and the timing columns beside it at their widths; the
    // output columns share the rest, none narrower than its thumbnail and
    // flags need (the list scrolls sideways then).
    void sizeColumns();

    class GridStyle;

    CueListModel& model_;
    CueListController& controller_;
    MediaCatalog& catalog_;
    // Owned here: a widget does not own a style set on it.
    std::unique_ptr<GridStyle> style_;
    double zoom_ = 1.0;
    CellActions* cellActions_ = nullptr;
    CueTimingDelegate* timingDelegate_ = nullptr;
};

}  // namespace bw
