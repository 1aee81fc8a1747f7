#include "remote/osc/OscArgument.h"

#include <charconv>
#include <limits>

namespace bw {

namespace {

template <class... Ts>
struct Overloaded : Ts... {
    using Ts::operator()...;
};
// Spelled out for compilers without aggregate deduction (clang 14).
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

template <class Number>
std::string numberText(Number value) {
    char text[64];
    const auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

}  // namespace

char OscArgument::typeLetter() const {
    return std::visit(Overloaded{[](std::int64_t) { return 'i'; }, [](float) { return 'f'; },
                                 [](double) { return 'f'; }, [](const std::string&) { return 's'; },
                                 [](const OscBlob&) { return 'b'; }},
                      value_);
}

std::optional<std::int64_t> OscArgument::integerValue() const {
    if (const auto* integer = std::get_if<std::int64_t>(&value_)) return *integer;
    return std::nullopt;
}

std::optional<double> OscArgument::floatValue() const {
    if (const auto* single = std::get_if<float>(&value_)) return *single;
    if (const auto* real = std::get_if<double>(&value_)) return *real;
    return std::nullopt;
}

std::int32_t OscArgument::int32Value() const {
    const auto integer = integerValue();
    // Conversion to an unsigned type is modular; back to int32 it is two's
    // complement (C++20).
    return integer ? static_cast<std::int32_t>(static_cast<std::uint32_t>(*integer)) : 0;
}

float OscArgument::float32Value() const {
    static_assert(std::numeric_limits<float>::is_iec559,
                  "double to float conversion must round and overflow to infinity as IEEE 754");
    if (const auto* single = std::get_if<float>(&value_)) return *single;
    if (const auto* real = std::get_if<double>(&value_)) return static_cast<float>(*real);
    return 0.0f;
}

std::string OscArgument::description() const {
    return std::visit(
        Overloaded{[](std::int64_t v) { return numberText(v); },
                   [](float v) { return numberText(v); }, [](double v) { return numberText(v); },
                   [](const std::string& v) { return v; },
                   [](const OscBlob& v) { return hexText(v.bytes); }},
        value_);
}

bool operator==(const OscArgument& a, const OscArgument& b) {
    if (a.typeLetter() != b.typeLetter()) return false;
    if (const auto integer = a.integerValue()) return integer == b.integerValue();
    if (const auto real = a.floatValue()) return *real == *b.floatValue();
    return a.value_ == b.value_;
}

std::string OscArgument::hexText(std::span<const std::uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * bytes.size() + 2);
    text.push_back('<');
    for (const std::uint8_t byte : bytes) {
        text.push_back(kDigits[byte >> 4]);
        text.push_back(kDigits[byte & 0x0F]);
    }
    text.push_back('>');
    return text;
}

}  // namespace bw
