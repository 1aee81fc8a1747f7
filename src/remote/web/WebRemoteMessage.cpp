#include "remote/web/WebRemoteMessage.h"

#include <cmath>
#include <nlohmann/json.hpp>

#include "show/NumberText.h"

namespace bw {
namespace {

using nlohmann::json;

// Passcodes are 4 to 12 digits; a longer text is refused before it is compared.
constexpr std::size_t kMaxPasscodeLength = 12;
constexpr std::size_t kMaxCueText = 32;

json cueLine(const ShowState::CueLine& line) {
    return {{"id", line.id}, {"description", line.description}};
}

// A non-negative number, or null for the "none" the state gives as -1.
json orNull(double value) {
    return value >= 0.0 && std::isfinite(value) ? json(value) : json();
}

// Texts from the show may hold invalid UTF-8 (a description pasted from
// elsewhere); they are sent with the bad bytes replaced, never refused.
std::string dumped(const json& message) {
    return message.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace

std::variant<WebRemoteRequest, std::string> WebRemoteRequest::parse(std::string_view text) {
    const json message = json::parse(text, nullptr, false);
    if (message.is_discarded()) return std::string("not a JSON message");
    if (!message.is_object()) return std::string("a message is a JSON object");
    const auto type = message.find("type");
    if (type == message.end() || !type->is_string()) return std::string("the message has no type");
    const std::string& name = type->get_ref<const std::string&>();
    WebRemoteRequest request;
    if (name == "go") {
        request.kind = Kind::Go;
    } else if (name == "panic") {
        request.kind = Kind::Panic;
    } else if (name == "goto") {
        const auto cue = message.find("cue");
        std::optional<double> number;
        if (cue != message.end() && cue->is_string() &&
            cue->get_ref<const std::string&>().size() <= kMaxCueText) {
            number = parseCueNumber(cue->get_ref<const std::string&>());
        } else if (cue != message.end() && cue->is_number() && std::isfinite(cue->get<double>())) {
            number = cue->get<double>();
        }
        if (!number || !std::isfinite(*number)) return std::string("goto needs a cue number");
        request.kind = Kind::GoToCue;
        request.cue = *number;
    } else if (name == "passcode") {
        const auto code = message.find("code");
        if (code == message.end() || !code->is_string() ||
            code->get_ref<const std::string&>().size() > kMaxPasscodeLength) {
            return std::string("passcode needs the code as a text of digits");
        }
        request.kind = Kind::Passcode;
        request.code = code->get<std::string>();
    } else {
        return "unknown message type \"" + dumped(json(name.substr(0, kMaxCueText))) + "\"";
    }
    return request;
}

namespace web_remote {

std::string helloMessage(bool control, bool passcodeSet) {
    return dumped(
        {{"type", "hello"}, {"version", 1}, {"control", control}, {"passcode", passcodeSet}});
}

std::string stateMessage(const ShowState& state, ShowState::Change change) {
    json fade;
    if (state.fadeProgress >= 0.0) {
        fade = {{"progress", state.fadeProgress},
                {"elapsed", state.fadeElapsed},
                {"remaining", state.fadeRemaining}};
    }
    json movie;
    if (state.movieElapsed >= 0.0) {
        movie = {{"elapsed", state.movieElapsed},
                 {"remaining", orNull(state.movieRemaining)},
                 {"loops", state.movieLoops}};
    }
    return dumped({{"type", "state"},
                   {"change", ShowState::changeName(change)},
                   {"current", cueLine(state.current)},
                   {"next", cueLine(state.next)},
                   {"nextWraps", state.nextWraps},
                   {"fade", fade},
                   {"movie", movie},
                   {"autoIn", orNull(state.autoIn)},
                   {"mode", ShowState::modeName(state.mode)},
                   {"locked", state.locked},
                   {"framesDropped", state.framesDropped},
                   {"fps", std::isfinite(state.framesPerSecond) ? state.framesPerSecond : 0.0},
                   {"clock", state.clock},
                   {"clockLost", state.clockLost},
                   {"warnings", state.warnings},
                   {"detail", state.detail}});
}

std::string controlMessage(bool control) {
    return dumped({{"type", "control"}, {"control", control}});
}

std::string errorMessage(std::string_view text) {
    return dumped({{"type", "error"}, {"message", std::string(text)}});
}

}  // namespace web_remote
}  // namespace bw
