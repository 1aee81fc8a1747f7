#pragma once

#include <QRect>
#include <QString>
#include <QStyledItemDelegate>
#include <optional>
#include <vector>

#include "ui/cuelist/CueListModel.h"

namespace bw {

// Paints an output cell in one of three forms, from the model's cell
// template: a movie (thumbnail, file name, Audio and Loop boxes), a still
// (thumbnail, file name, Ken Burns box) or a generator (its picture and name;
// missing media and unknown URLs also take this form, with their text on two
// lines). A cell whose picture is still being made shows an empty frame.
// The cell under a drag that may land there is filled with the highlight
// colour first.
//
// A movie's or still's cell also names its fit ("Fit", "Fill", "Stretch")
// in a small frame at the end of its name line; a click there moves it on to
// the next (as the F key does).
//
// The checkboxes and the fit are painted, not widgets: a click on one sets
// its flag through the model. Cells keep nothing of their own.
//
// The view's current cell, while the view has the focus, carries the focus
// mark, and so does its marked box (the one Space toggles).
class MediaCellDelegate final : public QStyledItemDelegate {
    Q_OBJECT

public:
    struct Box {
        CueListModel::Role role;
        QString label;
        QRect rect;
    };
    struct Layout {
        QRect picture;
        QRect text;
        std::vector<Box> boxes;
        // Empty in a cell without a fit.
        QRect fit;
    };

    explicit MediaCellDelegate(QObject* parent = nullptr);

    // Whether cells of `cellTemplate` have a fit: movies' and stills'.
    static bool hasFit(const QString& cellTemplate);
    // Fit, then Fill, then Stretch, then Fit again.
    static PictureFit nextFit(PictureFit fit);
    // The word the cell shows: "Fit", "Fill", "Stretch".
    static QString fitLabel(PictureFit fit);

    // Where the parts of the cell at `rect` with template `cellTemplate` sit.
    static Layout layoutOf(const QRect& rect, const QString& cellTemplate,
                           const QStyleOptionViewItem& option);

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    // The box (a CueListModel::Role) marked in the focused cell; none: no box.
    void setMarkedBox(std::optional<int> role) { markedBox_ = role; }

    bool editorEvent(QEvent* event, QAbstractItemModel* model, const QStyleOptionViewItem& option,
                     const QModelIndex& index) override;

private:
    std::optional<int> markedBox_;
};

}  // namespace bw
