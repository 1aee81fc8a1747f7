#pragma once

#include <QList>
#include <QSize>
#include <QString>
#include <optional>
#include <vector>

#include "show/ScreenChoice.h"

class QScreen;

namespace bw {

// The screens connected now, as an output's screen choice names them.
//
// A screen's connector is the name the display system gives it. Where two
// screens carry the same name (separate X screens of one server are all
// called "screen"), the second and later ones are told apart by their order:
// "screen-2", "screen-3". A screen with no name is called "screen".
//
// Main thread only.
class ScreenList {
public:
    struct Screen {
        QScreen* screen = nullptr;
        ScreenChoice identity;
        QSize size;  // in pixels
        double refreshRate = 0.0;
    };

    // The connected screens, in the system's order.
    static std::vector<Screen> connected();
    static std::vector<Screen> from(const QList<QScreen*>& screens);

    // Which of `screens` `choice` means: the first with the same model and
    // serial number (a monitor keeps them on any connector; only a choice
    // with a serial number matches this way), else the first on the same
    // connector; none when neither is connected.
    static std::optional<std::size_t> match(const ScreenChoice& choice,
                                            const std::vector<ScreenChoice>& screens);
    static std::optional<std::size_t> match(const ScreenChoice& choice,
                                            const std::vector<Screen>& screens);

    // "HDMI-A-1 · DELL U2415 · 1920×1200 · 60 Hz", for a list.
    static QString describe(const Screen& screen);
    // A choice whose screen is not connected: "HDMI-A-1 · DELL U2415".
    static QString describe(const ScreenChoice& choice);
};

}  // namespace bw
