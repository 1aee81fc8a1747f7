#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace bw {

// How cue IDs and fade lengths are shown to the operator: "nan", "inf" and
// "-inf" for the non-finite values; otherwise at most 15 significant digits,
// fixed or exponent notation as "%.15g" chooses, with ".0" added to a whole
// number ("1.0", "2.5", "1e+16"). Independent of the process locale.
// Any thread.
std::string formatCueNumber(double value);

// A cue number typed or sent by the operator: the C library's string-to-double
// conversion in the C locale (decimal, exponent and hexadecimal notation,
// "inf", "infinity" and "nan" in any letter case), consuming the whole
// non-empty text; white space anywhere, or a NUL, rejects it.
// Any thread.
std::optional<double> parseCueNumber(std::string_view text);

// A cue number typed by the operator into a cue list field: decimal notation
// only (an optional sign, digits with an optional fraction, at least one
// digit before or after the point, and an optional exponent), the whole
// non-empty text, no white space. The value must be finite: hexadecimal,
// "inf" and "nan" are refused, and so is a decimal text too large for a
// double ("1e999"); one too small reads as the nearest double (zero or a
// subnormal). Independent of the process locale.
// Any thread.
std::optional<double> parseFiniteCueNumber(std::string_view text);

}  // namespace bw
