#pragma once

#include <QWidget>

class QToolBar;

namespace bw {

// A toolbar spacer that keeps the item after it centred in the toolbar: on
// every resize of the toolbar it sets its own fixed width to
//
//   max(0, (W_bar - W_next) * 0.5 - x_own - kItemSpacing)
//
// (W_bar: the toolbar's width; W_next: the following item's width; x_own:
// this spacer's x). With no item after it the width is 0; while it has no
// positive x (not laid out yet, or first in the bar) it keeps its resting
// width of one pixel. The toolbar lays its items out kItemSpacing apart
// (see ShowWindow), which is what the formula subtracts.
//
// Main thread only. Add it to `toolBar` with QToolBar::addWidget before the
// item to centre; the toolbar owns it.
class CentringSpacer : public QWidget {
    Q_OBJECT

public:
    static constexpr int kItemSpacing = 6;

    explicit CentringSpacer(QToolBar* toolBar);

    // The width the rule gives; exposed for the window's tests.
    static int widthFor(int barWidth, int nextWidth, int ownX);

    // Applies the rule to the toolbar as it is laid out now.
    void recompute();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QToolBar* toolBar_;
};

}  // namespace bw
