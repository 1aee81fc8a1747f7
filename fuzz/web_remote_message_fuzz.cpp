// Feeds arbitrary bytes to the web remote's message parser, as a page's text
// frame would bring them. It never throws; a request it takes is one of the
// four kinds, with a finite cue number and a passcode of at most 12 bytes,
// and an error text is never empty. Errors are sent back to the page, so
// they must encode as JSON.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string_view>
#include <variant>

#include "remote/web/WebRemoteMessage.h"

namespace {

void check(bool holds, const char* what) {
    if (holds) return;
    std::fprintf(stderr, "web_remote_message_fuzz: %s\n", what);
    __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto parsed = bw::WebRemoteRequest::parse(text);
    if (const auto* why = std::get_if<std::string>(&parsed)) {
        check(!why->empty(), "an empty error text");
        const auto answer =
            nlohmann::json::parse(bw::web_remote::errorMessage(*why), nullptr, false);
        check(answer.is_object() && answer["type"] == "error", "an error that is not JSON");
        return 0;
    }
    const auto& request = std::get<bw::WebRemoteRequest>(parsed);
    using Kind = bw::WebRemoteRequest::Kind;
    check(request.kind == Kind::Go || request.kind == Kind::GoToCue ||
              request.kind == Kind::Panic || request.kind == Kind::Passcode,
          "an unknown kind");
    check(std::isfinite(request.cue), "a cue number that is not finite");
    check(request.code.size() <= 12, "a passcode longer than 12 bytes");
    return 0;
}
