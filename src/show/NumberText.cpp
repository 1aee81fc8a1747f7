#include "show/NumberText.h"

#include <array>
#include <charconv>
#include <cmath>

namespace bw {

std::string formatCueNumber(double value) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";

    // to_chars in general format with a precision is "%.15g" without the
    // decimal comma that a user locale would put into printf's output.
    std::array<char, 64> buffer{};
    auto [end, error] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                      std::chars_format::general, 15);
    std::string text(buffer.data(), error == std::errc() ? end : buffer.data());
    if (text.find_first_of(".en") == std::string::npos) text += ".0";
    return text;
}

}  // namespace bw
