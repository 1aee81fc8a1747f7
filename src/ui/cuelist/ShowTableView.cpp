#include "ui/cuelist/ShowTableView.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QDragEnterEvent>
#include <QDragLeaveEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QMimeData>
#include <QProxyStyle>
#include <QStyleFactory>
#include <cmath>

#include "media/MediaCatalog.h"
#include "ui/cuelist/CellActions.h"
#include "ui/cuelist/CueCellDelegate.h"
#include "ui/cuelist/CueListController.h"
#include "ui/cuelist/CueListModel.h"
#include "ui/cuelist/CueTimingDelegate.h"
#include "ui/cuelist/MediaCellDelegate.h"
#include "ui/cuelist/MediaDrag.h"

namespace bw {

// Fusion with the grid in the look's colour.
class ShowTableView::GridStyle final : public QProxyStyle {
public:
    GridStyle() : QProxyStyle(QStyleFactory::create("Fusion")) {}

    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* returnData) const override {
        if (hint == SH_Table_GridLineColor) return static_cast<int>(grid.rgba());
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }

    QColor grid;
};

ShowTableView::ShowTableView(CueListModel& model, CueListController& controller,
                             MediaCatalog& catalog, QWidget* parent)
    : QTableView(parent),
      model_(model),
      controller_(controller),
      catalog_(catalog),
      style_(std::make_unique<GridStyle>()) {
    setStyle(style_.get());
    setObjectName("tableView");
    setAccessibleName(tr("Cues"));
    setModel(&model_);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::SelectedClicked |
                    QAbstractItemView::EditKeyPressed);
    auto* mediaDelegate = new MediaCellDelegate(this);
    setItemDelegate(mediaDelegate);
    setItemDelegateForColumn(0, new CueCellDelegate(controller_, this));
    timingDelegate_ = new CueTimingDelegate(this);
    setWordWrap(false);
    setTabKeyNavigation(false);
    // Rows follow the cue IDs; only media is dropped, onto cells.
    setDragEnabled(false);
    setDragDropMode(QAbstractItemView::DropOnly);
    setDropIndicatorShown(false);
    viewport()->setAcceptDrops(true);
    setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);

    verticalHeader()->hide();
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    horizontalHeader()->setHighlightSections(false);
    connect(&model_, &QAbstractItemModel::modelReset, this, &ShowTableView::sizeColumns);
    setZoom(1.0);
    connect(&controller_, &CueListController::rowToShow, this,
            [this](int row) { scrollTo(model_.index(row, 0), QAbstractItemView::EnsureVisible); });
    setDarkMode(false);
    cellActions_ = new CellActions(*this, model_, controller_, catalog_, *mediaDelegate);
}

ShowTableView::~ShowTableView() {
    // Nothing may paint with the style once it is gone.
    setStyle(nullptr);
}

void ShowTableView::setDarkMode(bool dark) {
    // The application's palette, which the look has just set.
    style_->grid =
        dark ? QColor(0x55, 0x55, 0x55) : QApplication::palette().color(QPalette::Midlight);
    model_.setDarkMode(dark);
    viewport()->update();
}

void ShowTableView::setZoom(double zoom) {
    zoom_ = zoom;
    QFont font = QApplication::font();
    font.setPointSizeF(font.pointSizeF() * zoom);
    setFont(font);
    horizontalHeader()->setFont(font);
    verticalHeader()->setDefaultSectionSize(scaled(CueCellDelegate::kRowHeight));
    // The output columns share the width the list is given (sizeColumns).
    horizontalHeader()->setMinimumSectionSize(scaled(CueListModel::kTimingColumnWidth));
    horizontalHeader()->setDefaultSectionSize(scaled(CueListModel::kOutputColumnWidth));
    sizeColumns();
    viewport()->update();
}

int ShowTableView::scaled(int size) const {
    return static_cast<int>(std::lround(size * zoom_));
}

void ShowTableView::resizeEvent(QResizeEvent* event) {
    QTableView::resizeEvent(event);
    sizeColumns();
}

void ShowTableView::sizeColumns() {
    QHeaderView* header = horizontalHeader();
    if (model_.columnCount() == 0) return;
    // The timing columns come after the outputs in the model and stand
    // beside the cue column on screen.
    for (int column = 1; column < model_.columnCount(); ++column) {
        setItemDelegateForColumn(column, model_.timingOf(column) ? timingDelegate_ : nullptr);
    }
    const CueListModel::Timing timings[] = {CueListModel::Timing::PreWait,
                                            CueListModel::Timing::Continue,
                                            CueListModel::Timing::PostWait};
    int fixedWidth = scaled(CueCellDelegate::kColumnWidth);
    for (int k = 0; k < 3; ++k) {
        const int column = model_.timingColumn(timings[k]);
        header->moveSection(header->visualIndex(column), 1 + k);
        header->setSectionResizeMode(column, QHeaderView::Fixed);
        const int width =
            scaled(timings[k] == CueListModel::Timing::Continue ? CueListModel::kContinueColumnWidth
                                                                : CueListModel::kTimingColumnWidth);
        setColumnWidth(column, width);
        fixedWidth += width;
    }
    header->setSectionResizeMode(0, QHeaderView::Fixed);
    setColumnWidth(0, scaled(CueCellDelegate::kColumnWidth));
    const int outputs = model_.timingColumn(CueListModel::Timing::PreWait) - 1;
    const bool roomy =
        viewport()->width() - fixedWidth >= outputs * scaled(CueListModel::kOutputColumnWidth);
    for (int column = 1; column <= outputs; ++column) {
        header->setSectionResizeMode(column, roomy ? QHeaderView::Stretch : QHeaderView::Fixed);
        if (!roomy) setColumnWidth(column, scaled(CueListModel::kOutputColumnWidth));
    }
}

std::optional<int> ShowTableView::selectedRow() const {
    const QModelIndexList rows = selectionModel()->selectedRows();
    if (rows.isEmpty()) return std::nullopt;
    return rows.front().row();
}

void ShowTableView::selectRow(int row) {
    const QModelIndex index = model_.index(row, 0);
    selectionModel()->setCurrentIndex(
        index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    scrollTo(index, QAbstractItemView::EnsureVisible);
}

// The keypad's "." key gives Delete while Num Lock is off; it belongs to the
// cue entry's keypad and never clears a cell. Taking the shortcut's key here
// keeps the Clear Cell shortcut from it.
static bool isKeypadDelete(const QKeyEvent& key) {
    return key.key() == Qt::Key_Delete && key.modifiers().testFlag(Qt::KeypadModifier);
}

bool ShowTableView::event(QEvent* event) {
    if (event->type() == QEvent::ShortcutOverride &&
        isKeypadDelete(*static_cast<QKeyEvent*>(event))) {
        event->accept();
        return true;
    }
    return QTableView::event(event);
}

void ShowTableView::contextMenuEvent(QContextMenuEvent* event) {
    if (event->reason() == QContextMenuEvent::Mouse) {
        const QModelIndex index = indexAt(viewport()->mapFromGlobal(event->globalPos()));
        if (!index.isValid()) return;
        selectionModel()->setCurrentIndex(
            index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        cellActions_->popUpMenu(event->globalPos());
    } else if (currentIndex().isValid()) {
        cellActions_->action(CellActions::Command::CellMenu)->trigger();
    }
    event->accept();
}

void ShowTableView::keyPressEvent(QKeyEvent* event) {
    if (isKeypadDelete(*event)) {
        event->ignore();
        return;
    }
    const bool nothingSelected = !selectedRow().has_value();
    const std::optional<int> current = model_.currentRow();
    switch (event->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
        case Qt::Key_Escape:
        case Qt::Key_Backspace:
            // The window's: GO and cue entry.
            event->ignore();
            return;
        case Qt::Key_F2:
            // The item view takes F2 as its edit key before any shortcut: on
            // an output cell it sets the media.
            if (cellActions_->cell().isValid()) {
                cellActions_->action(CellActions::Command::SetMedia)->trigger();
                return;
            }
            break;
        case Qt::Key_Down:
            if (nothingSelected && current && *current < model_.rowCount() - 1) {
                selectRow(*current + 1);
                return;
            }
            break;
        case Qt::Key_Up:
            if (nothingSelected && current && *current > 0) {
                selectRow(*current - 1);
                return;
            }
            break;
        default:
            // Typed text is a cue number for the window, not a search here.
            if (!event->text().isEmpty() && event->text().front().isPrint() &&
                !(event->modifiers() & (Qt::ControlModifier | Qt::AltModifier))) {
                event->ignore();
                return;
            }
            break;
    }
    QTableView::keyPressEvent(event);
}

std::optional<Qt::DropAction> ShowTableView::dropActionFor(Qt::DropActions offered) {
    if (offered & Qt::LinkAction) return Qt::LinkAction;
    if (offered & Qt::CopyAction) return Qt::CopyAction;
    // A source that offers only a move would delete the file after the drop.
    return std::nullopt;
}

std::optional<MediaURL> ShowTableView::draggedMedia(const QDropEvent& event) {
    if (!dropActionFor(event.possibleActions())) return std::nullopt;
    const std::optional<MediaURL> url = MediaDrag::mediaURL(*event.mimeData());
    if (!url) return std::nullopt;
    if (url->isFileURL()) {
        const std::optional<MediaKind> kind = catalog_.kindWithin(*url, kKindWait);
        if (kind != MediaKind::Movie && kind != MediaKind::Image) return std::nullopt;
    }
    return url;
}

QModelIndex ShowTableView::outputCellAt(const QPoint& position) const {
    const QModelIndex index = indexAt(position);
    if (!index.isValid() || index.column() < 1 ||
        model_.stateAt(index.row(), index.column() - 1) == nullptr) {
        return {};
    }
    return index;
}

bool ShowTableView::edit(const QModelIndex& index, EditTrigger trigger, QEvent* event) {
    // Clicks without an edit trigger still reach the delegate (a checkbox):
    // its change is refused by the controller.
    const bool opensEditor = trigger != NoEditTriggers && (editTriggers() & trigger) &&
                             (model_.flags(index) & Qt::ItemIsEditable);
    if (opensEditor && controller_.refuseWhileLocked(tr("Edit Cue"))) return false;
    return QTableView::edit(index, trigger, event);
}

void ShowTableView::answerDrag(QDragMoveEvent* event, bool entering) {
    if (controller_.isLocked()) {
        model_.setDropTarget({});
        if (entering) controller_.refuseWhileLocked(tr("Drop Media"));
        event->ignore();
        return;
    }
    const std::optional<MediaURL> url = draggedMedia(*event);
    const QModelIndex cell = url ? outputCellAt(event->position().toPoint()) : QModelIndex();
    model_.setDropTarget(cell);
    if (!url) {
        event->ignore();
        return;
    }
    event->setDropAction(*dropActionFor(event->possibleActions()));
    if (cell.isValid()) {
        event->accept(visualRect(cell));
    } else if (entering) {
        // Taken, but not here: the drag is followed to the output cells.
        event->accept();
    } else {
        event->ignore(visualRect(indexAt(event->position().toPoint())));
    }
}

void ShowTableView::dragEnterEvent(QDragEnterEvent* event) {
    answerDrag(event, true);
}

void ShowTableView::dragMoveEvent(QDragMoveEvent* event) {
    answerDrag(event, false);
}

void ShowTableView::dragLeaveEvent(QDragLeaveEvent* event) {
    model_.setDropTarget({});
    event->accept();
}

void ShowTableView::dropEvent(QDropEvent* event) {
    model_.setDropTarget({});
    // The drag may end elsewhere than it was last answered, and the file may
    // be gone since: everything is checked again.
    const std::optional<MediaURL> url = draggedMedia(*event);
    const QModelIndex cell = url ? outputCellAt(event->position().toPoint()) : QModelIndex();
    if (!cell.isValid() || controller_.isLocked()) {
        event->ignore();
        return;
    }
    controller_.setMediaURL(cell.row(), cell.column() - 1, *url);
    event->setDropAction(*dropActionFor(event->possibleActions()));
    event->accept();
}

}  // namespace bw
