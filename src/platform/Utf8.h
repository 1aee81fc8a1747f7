#pragma once

#include <string_view>

namespace bw {

// Whether `text` is valid UTF-8. A NUL byte is a valid character here (JSON
// and the wire protocols can carry it), unlike in g_utf8_validate.
// Any thread.
bool isUtf8(std::string_view text);

}  // namespace bw
