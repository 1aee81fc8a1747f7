#pragma once

#include <concepts>
#include <cstddef>
#include <string>
#include <string_view>
#include <variant>

#include "remote/osc/OscArgument.h"

namespace bw {

// A value handed to OscMessage::setArguments. Besides the kinds an
// OscArgument carries, it can hold values the codec does not carry, so that
// the setter's filtering rule can be applied to whatever a caller has:
//   - a number of another kind (bool, long double, or any kind a caller names
//     with unsupportedNumber): dropped with the line
//     "Number with unrecognized type: <kind code> (value = <text>).";
//   - nothing (nullptr, or a default-constructed value): dropped silently.
//
// A plain value: any thread, nothing shared.
class OscValue {
public:
    // Codes logged for numbers of kinds the codec does not carry.
    enum class NumberKind : int { Boolean = 1, LongDouble = 2 };

    OscValue() = default;
    OscValue(std::nullptr_t) {}
    OscValue(OscArgument argument) : content_(std::move(argument)) {}
    template <std::integral T>
    requires(!std::same_as<T, bool>) OscValue(T value) : content_(OscArgument(value)) {}
    OscValue(float value) : content_(OscArgument(value)) {}
    OscValue(double value) : content_(OscArgument(value)) {}
    OscValue(std::string value) : content_(OscArgument(std::move(value))) {}
    OscValue(std::string_view value) : content_(OscArgument(value)) {}
    OscValue(const char* value) : content_(OscArgument(value)) {}
    OscValue(OscBlob value) : content_(OscArgument(std::move(value))) {}
    // Logged as "true"/"false".
    OscValue(bool value);
    // Logged in its shortest exact decimal form.
    OscValue(long double value);

    // A number of a kind the codec does not carry, with the code and text to
    // log when it is dropped.
    static OscValue unsupportedNumber(int kindCode, std::string text);

    // The argument, when the value is of a kind the codec carries.
    const OscArgument* argument() const { return std::get_if<OscArgument>(&content_); }
    OscArgument* argument() { return std::get_if<OscArgument>(&content_); }
    bool isUnsupportedNumber() const { return std::holds_alternative<UnsupportedNumber>(content_); }
    // For an unsupported number: its kind code and text; otherwise 0 and "".
    int unsupportedKindCode() const;
    std::string unsupportedText() const;

private:
    struct UnsupportedNumber {
        int kindCode = 0;
        std::string text;
    };

    std::variant<std::monostate, OscArgument, UnsupportedNumber> content_;
};

}  // namespace bw
