#pragma once

#include <string>
#include <string_view>

namespace bw {

// Whether `text` is valid UTF-8. A NUL byte is a valid character here (JSON
// and the wire protocols can carry it), unlike in g_utf8_validate.
// Any thread.
bool isUtf8(std::string_view text);

// `text` as a JSON string literal: in double quotes, escaped, on one line;
// bytes that are not UTF-8 show as U+FFFD. For texts shown to the operator
// (names, descriptions) in line-oriented output.
// Any thread.
std::string jsonQuoted(std::string_view text);

}  // namespace bw
