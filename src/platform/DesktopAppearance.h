#pragma once

#include <string>

namespace bw {

// The desktop's own light or dark preference, asked once when the window
// opens: the settings portal's org.freedesktop.appearance color-scheme over
// D-Bus, else GNOME's org.gnome.desktop.interface color-scheme setting.
//
// Any thread; the portal is asked with a short timeout, so a desktop that
// does not answer costs at most that once.
class DesktopAppearance {
public:
    enum class ColorScheme { NoPreference, Dark, Light };

    // On the user's session bus, or on the bus at `busAddress` (tests).
    static ColorScheme colorScheme(const std::string& busAddress = {});

    // The portal's number (0 none, 1 dark, 2 light) as a scheme; anything
    // else is no preference.
    static ColorScheme fromPortalValue(unsigned value);

    static constexpr int kPortalTimeoutMs = 500;
};

}  // namespace bw
