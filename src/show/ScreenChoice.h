#pragma once

#include <string>

namespace bw {

// The screen an output's window is meant to fill, as the display system names
// it: the connector it is plugged into ("HDMI-A-1") and the monitor's model
// and serial number as its EDID gives them (either may be empty). Model and
// serial follow a monitor from one connector to another; the connector finds
// a monitor that gives neither.
struct ScreenChoice {
    std::string connector;
    std::string model;
    std::string serial;

    friend bool operator==(const ScreenChoice&, const ScreenChoice&) = default;
};

}  // namespace bw
