#pragma once

#include <string>

namespace bw {

// How cue IDs and fade lengths are shown to the operator: "nan", "inf" and
// "-inf" for the non-finite values; otherwise at most 15 significant digits,
// fixed or exponent notation as "%.15g" chooses, with ".0" added to a whole
// number ("1.0", "2.5", "1e+16"). Independent of the process locale.
// Any thread.
std::string formatCueNumber(double value);

}  // namespace bw
