#include "remote/osc/OscAddressMatcher.h"

#include <algorithm>

namespace bw {
namespace {

void replaceAll(std::string& text, std::string_view from, std::string_view to) {
    std::string result;
    result.reserve(text.size());
    std::size_t start = 0;
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, start)) {
        result.append(text, start, at - start);
        result.append(to);
        start = at + from.size();
    }
    result.append(text, start);
    text = std::move(result);
}

// Escapes the characters that mean something in a regular expression, in the
// order that keeps earlier escapes intact (the backslash first).
std::string escapeForRegex(std::string text) {
    replaceAll(text, "\\", "\\\\");
    for (std::string_view special : {"+", "-", "(", ")", "^", "$", "|", "."}) {
        std::string escaped(1, '\\');
        escaped += special;
        replaceAll(text, special, escaped);
    }
    return text;
}

}  // namespace

const std::string& OscAddressMatcher::validCharsForOSCMethod() {
    static const std::string chars =
        "\"$%&'()+-.0123456789:;<=>@ABCDEFGHIJKLMNOPQRSTUVWXYZ\\^_`abcdefghijklmnopqrstuvwxyz|~!";
    return chars;
}

std::optional<OscAddressMatcher> OscAddressMatcher::fromPattern(std::string_view pattern) {
    auto count = [pattern](char c) { return std::count(pattern.begin(), pattern.end(), c); };
    if (count('[') != count(']') || count('{') != count('}')) return std::nullopt;

    const std::string valid = escapeForRegex(validCharsForOSCMethod());
    const std::string anyRun = "[" + valid + "]*";
    const std::string oneChar = "[" + valid + "]";

    std::string expression = escapeForRegex(std::string(pattern));
    replaceAll(expression, "*", anyRun);
    replaceAll(expression, "?", oneChar);
    replaceAll(expression, "[!", "[^");
    replaceAll(expression, "{", "(");
    replaceAll(expression, "}", ")");
    replaceAll(expression, ",", "|");
    try {
        std::regex regex(expression, std::regex::ECMAScript | std::regex::optimize);
        return OscAddressMatcher(std::move(expression), std::move(regex));
    } catch (const std::regex_error&) {
        return std::nullopt;
    }
}

bool OscAddressMatcher::matches(std::string_view address) const {
    return std::regex_match(address.begin(), address.end(), regex_);
}

}  // namespace bw
