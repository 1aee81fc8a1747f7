#pragma once

#include <QColor>
#include <QObject>
#include <QPointer>
#include <QRect>

class QPainter;
class QPalette;
class QWidget;

namespace bw {

// The focus mark: a ring in the look's accent colour (Look::accentColour)
// around whichever control of the application has the keyboard focus, in
// every window (the show window, the Outputs window, their dialogs). In a
// dark booth the operator sees at a glance where the keys go.
//
// The ring is a small transparent widget laid over the focused control, the
// control's own child, so it follows the control wherever it moves and never
// takes a click or a drop. Windows themselves (menus, popups) get none. Item
// views draw the mark on their current cell as well, through paintMark().
//
// Main thread only. One per application; the object that owns it decides
// how long marks are drawn.
class FocusRing final : public QObject {
    Q_OBJECT

public:
    // The ring's width in pixels, inside the control's edge.
    static constexpr int kWidth = 2;

    explicit FocusRing(QObject* parent = nullptr);
    ~FocusRing() override;

    // The control the ring is drawn around now; null when none is.
    QWidget* target() const;

    // Draws the mark inside `rect`, on a surface of colour `background`: a
    // ring of kWidth pixels in the accent colour, and inside it one as wide in
    // black or white, whichever stands out more from the background, so that
    // the mark shows on any row colour (the selection's is close to the
    // accent itself).
    static void paintMark(QPainter& painter, const QRect& rect, const QPalette& palette,
                          const QColor& background);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    class Overlay;

    void focusChanged(QWidget* now);

    QPointer<QWidget> target_;
    QPointer<Overlay> overlay_;
};

}  // namespace bw
