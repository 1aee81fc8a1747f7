#pragma once

#include <string>
#include <string_view>
#include <variant>

#include "show/ShowState.h"

namespace bw {

// One message a web remote page sends, parsed (docs/web-remote.md):
//   {"type": "go"}, {"type": "goto", "cue": "12.5"}, {"type": "panic"},
//   {"type": "passcode", "code": "4711"}.
struct WebRemoteRequest {
    enum class Kind { Go, GoToCue, Panic, Passcode };
    Kind kind = Kind::Go;
    // GoToCue: the cue number.
    double cue = 0.0;
    // Passcode: the digits as typed.
    std::string code;

    // The request in `text`, or why it is not one (a text for the page).
    // Never throws; any input is safe.
    static std::variant<WebRemoteRequest, std::string> parse(std::string_view text);
};

// The messages the server sends, each one compact JSON object.
namespace web_remote {

// {"type": "hello", "version": 1, "control": ..., "passcode": ...}
std::string helloMessage(bool control, bool passcodeSet);
// {"type": "state", "change": ..., every field of `state`}
std::string stateMessage(const ShowState& state, ShowState::Change change);
// {"type": "control", "control": ...}
std::string controlMessage(bool control);
// {"type": "error", "message": ...}
std::string errorMessage(std::string_view text);

}  // namespace web_remote
}  // namespace bw
