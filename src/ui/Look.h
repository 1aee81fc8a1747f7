#pragma once

#include <QColor>
#include <QPalette>
#include <functional>
#include <optional>
#include <string>

#include "platform/DesktopAppearance.h"

namespace bw {

// The window's two looks: a dark palette and the style's standard light one
// (its highlight darkened for contrast), both for the Fusion style, every
// colour group filled. Text on its background reads at no less than
// kMinimumContrast in either (tests check this).
//
// Main thread only (palettes of the running application).
class Look {
public:
    static constexpr const char* kDarkValue = "Dark";
    // Text against its background, at the least (WCAG AA for body text).
    static constexpr double kMinimumContrast = 4.5;
    // A mark that is not text (the focus mark) against its background.
    static constexpr double kMinimumMarkContrast = 3.0;

    static QPalette darkPalette();
    static QPalette lightPalette();

    // The choice at window load: the "InterfaceStyle" preference when it is
    // set ("Dark" exactly is dark, any other value light); without it, the
    // desktop's colour scheme (`desktopScheme`, asked only then); without
    // one, the desktop's palette (dark when its window colour is darker
    // than its text).
    static bool prefersDark(const std::optional<std::string>& interfaceStyle,
                            const std::function<DesktopAppearance::ColorScheme()>& desktopScheme,
                            const QPalette& desktopPalette);

    // The application palette as the platform gave it, captured at the first
    // call (before any look is applied).
    static const QPalette& desktopPalette();

    // Fusion and the palette, for the whole application.
    static void apply(bool dark);

    // The text colour of what needs the operator's attention (a status
    // figure that matters, a GO that goes back to the first cue, a movie
    // about to end): amber on the dark look, a deep orange on the light
    // one, each at kMinimumContrast or better on its look's window colour.
    static QColor warningColour(bool dark);

    // The look's accent: the palette's highlight, lightened (dark looks) or
    // darkened (light looks) until it stands out from the window and the
    // base colour by kMinimumMarkContrast. The focus mark is drawn in it.
    static QColor accentColour(const QPalette& palette);

    // WCAG's contrast ratio of two opaque colours, 1 to 21.
    static double contrastRatio(const QColor& a, const QColor& b);
};

}  // namespace bw
