#include "show/NumberText.h"

#include <locale.h>
#include <stdlib.h>

#include <array>
#include <charconv>
#include <cmath>

namespace bw {
namespace {

// The C locale, made once, for parsing numbers whatever LC_NUMERIC says.
class CLocale {
public:
    CLocale() : locale_(::newlocale(LC_ALL_MASK, "C", nullptr)) {}
    ~CLocale() {
        if (locale_ != nullptr) ::freelocale(locale_);
    }
    CLocale(const CLocale&) = delete;
    CLocale& operator=(const CLocale&) = delete;

    locale_t get() const { return locale_; }

    static const CLocale& shared() {
        static const CLocale locale;
        return locale;
    }

private:
    locale_t locale_;
};

bool isCLocaleSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// How many digits `text` starts with from `at` on.
std::size_t digitsFrom(std::string_view text, std::size_t at) {
    std::size_t end = at;
    while (end < text.size() && isDigit(text[end]))
        ++end;
    return end - at;
}

// [+-] digits [. digits] [(e|E) [+-] digits], with a digit on at least one
// side of the point, and nothing else.
bool isDecimalNotation(std::string_view text) {
    std::size_t at = 0;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) ++at;
    std::size_t mantissaDigits = digitsFrom(text, at);
    at += mantissaDigits;
    if (at < text.size() && text[at] == '.') {
        ++at;
        const std::size_t fraction = digitsFrom(text, at);
        at += fraction;
        mantissaDigits += fraction;
    }
    if (mantissaDigits == 0) return false;
    if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
        ++at;
        if (at < text.size() && (text[at] == '+' || text[at] == '-')) ++at;
        const std::size_t exponent = digitsFrom(text, at);
        if (exponent == 0) return false;
        at += exponent;
    }
    return at == text.size();
}

}  // namespace

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

std::optional<double> parseCueNumber(std::string_view text) {
    if (text.empty() || isCLocaleSpace(text.front())) return std::nullopt;
    const locale_t locale = CLocale::shared().get();
    if (locale == nullptr) return std::nullopt;
    // strtod needs a terminated string; a NUL inside stops it early and so
    // fails the whole-text rule.
    const std::string terminated(text);
    const char* begin = terminated.c_str();
    char* end = nullptr;
    const double value = ::strtod_l(begin, &end, locale);
    if (end != begin + terminated.size()) return std::nullopt;
    return value;
}

std::optional<double> parseFiniteCueNumber(std::string_view text) {
    // The grammar check leaves strtod only decimal text to convert; what it
    // cannot hold comes back as infinity (an overflow), refused here.
    if (!isDecimalNotation(text)) return std::nullopt;
    const std::optional<double> value = parseCueNumber(text);
    if (!value || !std::isfinite(*value)) return std::nullopt;
    return value;
}

}  // namespace bw
