#pragma once

#include <concepts>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace bw {

// The bytes of an OSC blob argument.
struct OscBlob {
    std::vector<std::uint8_t> bytes;

    friend bool operator==(const OscBlob&, const OscBlob&) = default;
};

// One argument of an OscMessage, of a kind the codec carries:
//   - a number of integer kind, of any width (type letter 'i'): held as a
//     64-bit signed value; unsigned 64-bit values above INT64_MAX wrap, which
//     leaves their low 32 bits, the ones that are sent, unchanged;
//   - a number of floating-point kind, single or double precision ('f'):
//     held in the precision given, sent as single precision;
//   - a string ('s'), UTF-8;
//   - a blob ('b').
// Decoded arguments are 32-bit integers, single-precision floats, strings and
// blobs.
//
// A plain value: any thread, nothing shared.
class OscArgument {
public:
    using Value = std::variant<std::int64_t, float, double, std::string, OscBlob>;

    template <std::integral T>
    requires(!std::same_as<T, bool>) OscArgument(T value)
        : value_(static_cast<std::int64_t>(value)) {}
    OscArgument(float value) : value_(value) {}
    OscArgument(double value) : value_(value) {}
    OscArgument(std::string value) : value_(std::move(value)) {}
    OscArgument(std::string_view value) : value_(std::string(value)) {}
    OscArgument(const char* value) : value_(std::string(value)) {}
    OscArgument(OscBlob value) : value_(std::move(value)) {}

    const Value& value() const { return value_; }

    // 'i', 'f', 's' or 'b'.
    char typeLetter() const;

    // Each is empty unless the argument is of that kind.
    std::optional<std::int64_t> integerValue() const;
    std::optional<double> floatValue() const;
    const std::string* stringValue() const { return std::get_if<std::string>(&value_); }
    const OscBlob* blobValue() const { return std::get_if<OscBlob>(&value_); }

    // The value as sent: an integer truncated to 32 bits (two's complement), a
    // float converted to single precision.
    std::int32_t int32Value() const;
    float float32Value() const;

    // The text form used in descriptions and log lines: integers in decimal,
    // floats in the shortest form that reads back to the same value in their
    // own precision ("12.5", "1.234", "nan", "inf"), strings as they are,
    // blobs as lower-case hex between angle brackets ("<0a1b2c>").
    std::string description() const;

    // Same kind and equal value. Integers compare by value whatever width they
    // came in, floats by value whatever precision (so 2.5f equals 2.5, and NaN
    // equals nothing); an integer never equals a float.
    friend bool operator==(const OscArgument& a, const OscArgument& b);

    // Lower-case hex between angle brackets, as in description().
    static std::string hexText(std::span<const std::uint8_t> bytes);

private:
    Value value_;
};

}  // namespace bw
