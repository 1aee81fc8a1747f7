#include "ui/CentringSpacer.h"

#include <QAction>
#include <QEvent>
#include <QToolBar>
#include <algorithm>
#include <cmath>

namespace bw {

namespace {

constexpr int kRestingWidth = 1;

}  // namespace

CentringSpacer::CentringSpacer(QToolBar* toolBar) : QWidget(toolBar), toolBar_(toolBar) {
    setObjectName("centringSpacer");
    setFixedWidth(kRestingWidth);
    // Clicks on the spacer are the toolbar's (it is empty space).
    setAttribute(Qt::WA_TransparentForMouseEvents);
    toolBar_->installEventFilter(this);
}

int CentringSpacer::widthFor(int barWidth, int nextWidth, int ownX) {
    const double width = (barWidth - nextWidth) * 0.5 - ownX - kItemSpacing;
    return std::max(0, static_cast<int>(std::lround(width)));
}

void CentringSpacer::recompute() {
    const QList<QAction*> actions = toolBar_->actions();
    qsizetype own = -1;
    for (qsizetype k = 0; k < actions.size(); ++k) {
        if (toolBar_->widgetForAction(actions[k]) == this) own = k;
    }
    const int ownX = x();
    if (own < 0 || ownX <= 0) {
        setFixedWidth(kRestingWidth);
        return;
    }
    QWidget* next =
        own + 1 < actions.size() ? toolBar_->widgetForAction(actions[own + 1]) : nullptr;
    setFixedWidth(next != nullptr ? widthFor(toolBar_->width(), next->width(), ownX) : 0);
}

bool CentringSpacer::eventFilter(QObject* watched, QEvent* event) {
    // The toolbar's layout has placed the items for the new size by the
    // time its resize event reaches filters, so x() is current.
    if (watched == toolBar_ && event->type() == QEvent::Resize) recompute();
    return QWidget::eventFilter(watched, event);
}

}  // namespace bw
