#include "ui/FocusRing.h"

#include <QApplication>
#include <QEvent>
#include <QPainter>
#include <QPalette>
#include <QWidget>

#include "ui/Look.h"

namespace bw {

// Covers the focused control and paints the ring along its edge.
class FocusRing::Overlay final : public QWidget {
public:
    explicit Overlay(QWidget* target) : QWidget(target) {
        setObjectName("focusRing");
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setAttribute(Qt::WA_NoSystemBackground);
        setFocusPolicy(Qt::NoFocus);
        follow();
        show();
    }

    void follow() {
        setGeometry(parentWidget()->rect());
        raise();
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        const QPalette& palette = parentWidget()->palette();
        painter.setPen(Qt::NoPen);
        painter.setBrush(Look::accentColour(palette));
        const QRect outer = rect();
        const QRect inner = outer.adjusted(kWidth, kWidth, -kWidth, -kWidth);
        painter.drawRect(QRect(outer.left(), outer.top(), outer.width(), kWidth));
        painter.drawRect(QRect(outer.left(), inner.bottom() + 1, outer.width(), kWidth));
        painter.drawRect(QRect(outer.left(), inner.top(), kWidth, inner.height()));
        painter.drawRect(QRect(inner.right() + 1, inner.top(), kWidth, inner.height()));
    }
};

FocusRing::FocusRing(QObject* parent) : QObject(parent) {
    connect(qApp, &QApplication::focusChanged, this,
            [this](QWidget*, QWidget* now) { focusChanged(now); });
    focusChanged(QApplication::focusWidget());
}

FocusRing::~FocusRing() {
    delete overlay_.data();
}

QWidget* FocusRing::target() const {
    return overlay_ ? target_.data() : nullptr;
}

void FocusRing::focusChanged(QWidget* now) {
    if (target_) target_->removeEventFilter(this);
    delete overlay_.data();
    target_ = nullptr;
    if (now == nullptr || now->isWindow()) return;
    target_ = now;
    target_->installEventFilter(this);
    overlay_ = new Overlay(now);
}

bool FocusRing::eventFilter(QObject* watched, QEvent* event) {
    if (watched == target_ && overlay_) {
        switch (event->type()) {
            case QEvent::Resize:
            // A child added later (an editor, a scroll bar) would cover the ring.
            case QEvent::ChildAdded:
            case QEvent::ChildPolished:
                overlay_->follow();
                break;
            default:
                break;
        }
    }
    return QObject::eventFilter(watched, event);
}

void FocusRing::paintMark(QPainter& painter, const QRect& rect, const QPalette& palette,
                          const QColor& background) {
    const QColor accent = Look::accentColour(palette);
    const QColor line =
        Look::contrastRatio(Qt::black, background) >= Look::contrastRatio(Qt::white, background)
            ? QColor(Qt::black)
            : QColor(Qt::white);
    painter.save();
    painter.setBrush(Qt::NoBrush);
    for (int k = 0; k < kWidth; ++k) {
        painter.setPen(QPen(accent, 1));
        painter.drawRect(rect.adjusted(k, k, -k - 1, -k - 1));
    }
    painter.setPen(QPen(line, 1));
    for (int k = kWidth; k < 2 * kWidth; ++k)
        painter.drawRect(rect.adjusted(k, k, -k - 1, -k - 1));
    painter.restore();
}

}  // namespace bw
