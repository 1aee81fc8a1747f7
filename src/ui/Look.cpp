#include "ui/Look.h"

#include <QApplication>
#include <QStyle>
#include <QStyleFactory>
#include <algorithm>
#include <cmath>

namespace bw {

namespace {

double relativeLuminance(const QColor& colour) {
    auto linear = [](double channel) {
        return channel <= 0.04045 ? channel / 12.92 : std::pow((channel + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * linear(colour.redF()) + 0.7152 * linear(colour.greenF()) +
           0.0722 * linear(colour.blueF());
}

}  // namespace

QPalette Look::darkPalette() {
    const QColor window(0x2B, 0x2B, 0x2B);
    const QColor text(0xE6, 0xE6, 0xE6);
    const QColor base(0x1E, 0x1E, 0x1E);
    const QColor button(0x35, 0x35, 0x35);
    const QColor disabledText(0x80, 0x80, 0x80);

    QPalette palette;
    for (const QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
        palette.setColor(group, QPalette::Window, window);
        palette.setColor(group, QPalette::WindowText, text);
        palette.setColor(group, QPalette::Base, base);
        palette.setColor(group, QPalette::AlternateBase, QColor(0x26, 0x26, 0x26));
        palette.setColor(group, QPalette::Text, text);
        palette.setColor(group, QPalette::Button, button);
        palette.setColor(group, QPalette::ButtonText, text);
        palette.setColor(group, QPalette::BrightText, Qt::white);
        palette.setColor(group, QPalette::Highlight, QColor(0x2F, 0x65, 0xCA));
        palette.setColor(group, QPalette::HighlightedText, Qt::white);
        palette.setColor(group, QPalette::ToolTipBase, button);
        palette.setColor(group, QPalette::ToolTipText, text);
        palette.setColor(group, QPalette::PlaceholderText, QColor(0xA0, 0xA0, 0xA0));
        palette.setColor(group, QPalette::Link, QColor(0x8A, 0xB4, 0xF8));
        palette.setColor(group, QPalette::LinkVisited, QColor(0xC5, 0x8A, 0xF9));
    }
    // Disabled: the same surfaces, their text greyed.
    for (int role = 0; role < QPalette::NColorRoles; ++role) {
        const auto colorRole = static_cast<QPalette::ColorRole>(role);
        palette.setColor(QPalette::Disabled, colorRole, palette.color(QPalette::Active, colorRole));
    }
    for (const QPalette::ColorRole role :
         {QPalette::WindowText, QPalette::Text, QPalette::ButtonText, QPalette::PlaceholderText}) {
        palette.setColor(QPalette::Disabled, role, disabledText);
    }
    palette.setColor(QPalette::Disabled, QPalette::Highlight, QColor(0x3A, 0x3A, 0x3A));
    // The bevels Fusion draws from.
    for (const QPalette::ColorGroup group :
         {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        palette.setColor(group, QPalette::Light, QColor(0x4A, 0x4A, 0x4A));
        palette.setColor(group, QPalette::Midlight, QColor(0x3A, 0x3A, 0x3A));
        palette.setColor(group, QPalette::Mid, QColor(0x24, 0x24, 0x24));
        palette.setColor(group, QPalette::Dark, QColor(0x1A, 0x1A, 0x1A));
        palette.setColor(group, QPalette::Shadow, QColor(0x10, 0x10, 0x10));
    }
    return palette;
}

QPalette Look::lightPalette() {
    QStyle* fusion = QStyleFactory::create("Fusion");
    QPalette palette = fusion != nullptr ? fusion->standardPalette() : QPalette();
    delete fusion;
    // Fusion's standard highlight gives its white text 3.7:1; darken it until
    // selected text reads at 4.5:1 as well.
    for (const QPalette::ColorGroup group :
         {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        QColor highlight = palette.color(group, QPalette::Highlight);
        const QColor text = palette.color(group, QPalette::HighlightedText);
        for (int step = 0; step < 20 && contrastRatio(text, highlight) < kMinimumContrast; ++step) {
            highlight = highlight.darker(110);
        }
        palette.setColor(group, QPalette::Highlight, highlight);
    }
    return palette;
}

bool Look::prefersDark(const std::optional<std::string>& interfaceStyle,
                       const std::function<DesktopAppearance::ColorScheme()>& desktopScheme,
                       const QPalette& desktop) {
    if (interfaceStyle) return *interfaceStyle == kDarkValue;
    switch (desktopScheme()) {
        case DesktopAppearance::ColorScheme::Dark:
            return true;
        case DesktopAppearance::ColorScheme::Light:
            return false;
        case DesktopAppearance::ColorScheme::NoPreference:
            break;
    }
    return relativeLuminance(desktop.color(QPalette::Window)) <
           relativeLuminance(desktop.color(QPalette::WindowText));
}

const QPalette& Look::desktopPalette() {
    static const QPalette palette = QApplication::palette();
    return palette;
}

void Look::apply(bool dark) {
    desktopPalette();  // captured before the first change
    if (QApplication::style()->name() != QLatin1String("fusion")) {
        QApplication::setStyle(QStyleFactory::create("Fusion"));
    }
    QApplication::setPalette(dark ? darkPalette() : lightPalette());
}

QColor Look::warningColour(bool dark) {
    return dark ? QColor(0xFF, 0xB4, 0x54) : QColor(0xA3, 0x44, 0x00);
}

QColor Look::accentColour(const QPalette& palette) {
    const QColor window = palette.color(QPalette::Active, QPalette::Window);
    const QColor base = palette.color(QPalette::Active, QPalette::Base);
    const bool dark = relativeLuminance(window) <
                      relativeLuminance(palette.color(QPalette::Active, QPalette::WindowText));
    QColor accent = palette.color(QPalette::Active, QPalette::Highlight);
    for (int step = 0; step < 30 && std::min(contrastRatio(accent, window),
                                             contrastRatio(accent, base)) < kMinimumMarkContrast;
         ++step) {
        accent = dark ? accent.lighter(110) : accent.darker(110);
    }
    return accent;
}

double Look::contrastRatio(const QColor& a, const QColor& b) {
    const double la = relativeLuminance(a);
    const double lb = relativeLuminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

}  // namespace bw
