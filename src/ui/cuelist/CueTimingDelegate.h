#pragma once

#include <QStyledItemDelegate>

namespace bw {

// Paints and edits the cue list's timing columns: the pre-wait and post-wait
// in seconds (a text field, taking a number from 0 to a day, as the fade
// does) and the continue mode (a choice of none, auto-continue, auto-follow).
// A cue that runs the next one by itself carries a link mark at the foot of
// its continue cell, pointing at the row below. Edits go through the model
// to the cue list controller, one undoable step each.
//
// Main thread only.
class CueTimingDelegate final : public QStyledItemDelegate {
    Q_OBJECT

public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                          const QModelIndex& index) const override;
    void setEditorData(QWidget* editor, const QModelIndex& index) const override;
    void setModelData(QWidget* editor, QAbstractItemModel* model,
                      const QModelIndex& index) const override;
    void updateEditorGeometry(QWidget* editor, const QStyleOptionViewItem& option,
                              const QModelIndex& index) const override;

private:
    // The link mark of a chained cue, at the foot of its continue cell.
    static void paintLink(QPainter* painter, const QStyleOptionViewItem& option,
                          const QModelIndex& index);
};

}  // namespace bw
