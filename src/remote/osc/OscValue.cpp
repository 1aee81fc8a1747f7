#include "remote/osc/OscValue.h"

#include <charconv>

namespace bw {

OscValue::OscValue(bool value)
    : content_(UnsupportedNumber{static_cast<int>(NumberKind::Boolean), value ? "true" : "false"}) {
}

OscValue::OscValue(long double value) {
    char text[128];
    const auto result = std::to_chars(text, text + sizeof text, value);
    content_ =
        UnsupportedNumber{static_cast<int>(NumberKind::LongDouble), std::string(text, result.ptr)};
}

OscValue OscValue::unsupportedNumber(int kindCode, std::string text) {
    OscValue value;
    value.content_ = UnsupportedNumber{kindCode, std::move(text)};
    return value;
}

int OscValue::unsupportedKindCode() const {
    const auto* number = std::get_if<UnsupportedNumber>(&content_);
    return number ? number->kindCode : 0;
}

std::string OscValue::unsupportedText() const {
    const auto* number = std::get_if<UnsupportedNumber>(&content_);
    return number ? number->text : std::string();
}

}  // namespace bw
