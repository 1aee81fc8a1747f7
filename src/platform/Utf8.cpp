#include "platform/Utf8.h"

#include <glib.h>

#include <algorithm>
#include <nlohmann/json.hpp>

namespace bw {

bool isUtf8(std::string_view text) {
    // Addresses, commands and most names are ASCII (NUL included): nothing
    // more to check.
    if (std::all_of(text.begin(), text.end(),
                    [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
        return true;
    }
    // g_utf8_validate stops at a NUL, so each run between NULs is checked on
    // its own.
    while (!text.empty()) {
        std::size_t nul = text.find('\0');
        std::string_view run = text.substr(0, nul);
        if (!g_utf8_validate(run.data(), static_cast<gssize>(run.size()), nullptr)) return false;
        if (nul == std::string_view::npos) break;
        text.remove_prefix(nul + 1);
    }
    return true;
}

std::string jsonQuoted(std::string_view text) {
    return nlohmann::json(std::string(text))
        .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace bw
