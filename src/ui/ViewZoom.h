#pragma once

#include <optional>
#include <string>

namespace bw {

// How large the show window draws its cue list and stage line: a factor on
// the sizes they are designed at, in steps from half size to four times.
//
// Without the operator's choice the factor follows the screen, so that a
// high-density monitor shows the same physical sizes as an ordinary one:
// the screen's physical density against the 96 dots per inch the designed
// sizes assume, less what the desktop already scales by. The operator's
// choice is kept in the preferences as a number ("1.25"); "Actual size"
// forgets it and goes back to the screen's factor.
class ViewZoom {
public:
    static constexpr const char* kPreference = "WindowZoom";
    static constexpr double kSmallest = 0.5;
    static constexpr double kLargest = 4.0;

    // The screen's factor: its density over 96 and its device pixel ratio,
    // rounded to the nearest step, at least 1 (a low-density screen is not
    // made smaller), at most kLargest. 1 for a density that is not known.
    static double forScreen(double physicalDotsPerInch, double devicePixelRatio);
    // The step above or below `zoom`, kept within the range.
    static double bigger(double zoom);
    static double smaller(double zoom);
    // A saved choice: a number within the range; none for anything else.
    static std::optional<double> parse(const std::optional<std::string>& text);
    static std::string format(double zoom);
};

}  // namespace bw
