#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <span>

namespace bw {

// An OSC time tag: seconds since 1 January 1900 and a binary fraction of a
// second, as NTP counts them. The parser never reads time tags (bundle
// elements are handled at once); only the sending side writes them.
//
// A plain value: any thread, nothing shared.
struct OscTimeTag {
    // Seconds between 1 January 1900 and the Unix epoch.
    static constexpr double kUnixEpochOffsetSeconds = 2208988800.0;

    std::uint32_t seconds = 0;
    std::uint32_t fraction = 1;

    // Seconds 0, fraction 1: "handle at once". Also the default value.
    static constexpr OscTimeTag immediate() { return OscTimeTag{0, 1}; }

    // From a Unix time in seconds: seconds := trunc(t + offset) and
    // fraction := trunc(fmod(t + offset, 1) * (2^32 - 1)). Seconds wrap modulo
    // 2^32 past 2036, as NTP eras do; times before 1900 and NaN give 0/0.
    static OscTimeTag fromUnixSeconds(double unixSeconds);
    static OscTimeTag fromDate(std::chrono::system_clock::time_point date);

    // Big-endian seconds, then big-endian fraction.
    std::array<std::uint8_t, 8> bytes() const;
    static OscTimeTag fromBytes(std::span<const std::uint8_t, 8> bytes);

    friend bool operator==(const OscTimeTag&, const OscTimeTag&) = default;
};

}  // namespace bw
