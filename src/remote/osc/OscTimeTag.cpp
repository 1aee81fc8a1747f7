#include "remote/osc/OscTimeTag.h"

#include <cmath>

namespace bw {

OscTimeTag OscTimeTag::fromUnixSeconds(double unixSeconds) {
    const double ntpSeconds = unixSeconds + kUnixEpochOffsetSeconds;
    // Also false for NaN. The upper bound keeps the conversion to a 64-bit
    // integer defined; such dates are meaningless anyway.
    if (!(ntpSeconds >= 0.0 && ntpSeconds < 9.0e18)) return OscTimeTag{0, 0};
    const auto whole = static_cast<std::uint64_t>(std::trunc(ntpSeconds));
    // The multiplier is 2^32 - 1, so the fraction never overflows 32 bits.
    const double part = std::fmod(ntpSeconds, 1.0) * 4294967295.0;
    return OscTimeTag{static_cast<std::uint32_t>(whole & 0xFFFFFFFFu),
                      static_cast<std::uint32_t>(std::trunc(part))};
}

OscTimeTag OscTimeTag::fromDate(std::chrono::system_clock::time_point date) {
    const std::chrono::duration<double> sinceEpoch = date.time_since_epoch();
    return fromUnixSeconds(sinceEpoch.count());
}

std::array<std::uint8_t, 8> OscTimeTag::bytes() const {
    std::array<std::uint8_t, 8> out{};
    for (int i = 0; i < 4; ++i) {
        out[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(seconds >> (24 - 8 * i));
        out[static_cast<std::size_t>(4 + i)] = static_cast<std::uint8_t>(fraction >> (24 - 8 * i));
    }
    return out;
}

OscTimeTag OscTimeTag::fromBytes(std::span<const std::uint8_t, 8> bytes) {
    OscTimeTag tag{0, 0};
    for (std::size_t i = 0; i < 4; ++i) {
        tag.seconds = (tag.seconds << 8) | bytes[i];
        tag.fraction = (tag.fraction << 8) | bytes[4 + i];
    }
    return tag;
}

}  // namespace bw
