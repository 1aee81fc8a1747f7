#include "remote/SyncMessage.h"

#include <charconv>
#include <cstdio>
#include <vector>

namespace bw {

namespace {

template <class... Ts>
struct Overloaded : Ts... {
    using Ts::operator()...;
};
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

std::string optionalCueText(const std::optional<double>& id) {
    return id ? SyncMessage::cueIDText(*id) : std::string();
}

std::string optionalTimeText(const std::optional<std::int64_t>& time) {
    return time ? std::to_string(*time) : std::string();
}

// Reads the arguments of one message against its type letters.
class ArgumentReader {
public:
    explicit ArgumentReader(const OscMessage& message) : arguments_(message.arguments()) {}

    std::optional<std::int32_t> int32() {
        if (index_ >= arguments_.size() || arguments_[index_].typeLetter() != 'i') return fail();
        return arguments_[index_++].int32Value();
    }
    const std::string* string() {
        if (index_ >= arguments_.size() || arguments_[index_].typeLetter() != 's') {
            failed_ = true;
            return nullptr;
        }
        return arguments_[index_++].stringValue();
    }
    bool failed() const { return failed_; }

private:
    std::optional<std::int32_t> fail() {
        failed_ = true;
        return std::nullopt;
    }

    const std::vector<OscArgument>& arguments_;
    std::size_t index_ = 0;
    bool failed_ = false;
};

}  // namespace

std::string SyncMessage::cueIDText(double id) {
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", id);
    // The shortest text that reads back exactly, so that logs stay readable.
    for (int precision = 1; precision < 17; ++precision) {
        char shorter[32];
        std::snprintf(shorter, sizeof shorter, "%.*g", precision, id);
        if (parseCueID(shorter) == id) return shorter;
    }
    return text;
}

std::optional<double> SyncMessage::parseCueID(std::string_view text) {
    double value = 0.0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::int64_t> SyncMessage::parseTime(std::string_view text) {
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

OscMessage SyncMessage::encode(const Body& body) {
    return std::visit(
        Overloaded{
            [](const Hello& hello) {
                return OscMessage(std::string(kHelloAddress),
                                  {hello.name, hello.roundTripMicroseconds, hello.token});
            },
            [](const Welcome& welcome) {
                return OscMessage(std::string(kWelcomeAddress), {welcome.token});
            },
            [](const Go& go) {
                return OscMessage(std::string(kGoAddress),
                                  {go.session, go.sequence, cueIDText(go.cueID),
                                   std::to_string(go.startTime)});
            },
            [](const State& state) {
                return OscMessage(std::string(kStateAddress),
                                  {state.session, state.sequence, optionalCueText(state.currentCue),
                                   optionalCueText(state.nextCue),
                                   optionalTimeText(state.currentStartTime)});
            },
        },
        body);
}

SyncMessage::Parsed SyncMessage::parse(const OscMessage& message) {
    const std::string& address = message.addressPattern();
    ArgumentReader read(message);
    const auto wrong = [&address](const char* why) {
        return Parsed{std::nullopt, address + ": " + why};
    };
    if (address == kHelloAddress) {
        Hello hello;
        const std::string* name = read.string();
        const auto roundTrip = read.int32();
        const auto token = read.int32();
        if (read.failed()) return wrong("expected a name, a round trip and a token (,sii)");
        hello.name = *name;
        hello.roundTripMicroseconds = *roundTrip;
        hello.token = *token;
        return Parsed{hello, {}};
    }
    if (address == kWelcomeAddress) {
        const auto token = read.int32();
        if (read.failed()) return wrong("expected a token (,i)");
        return Parsed{Welcome{*token}, {}};
    }
    if (address == kGoAddress) {
        const auto session = read.int32();
        const auto sequence = read.int32();
        const std::string* cue = read.string();
        const std::string* start = read.string();
        if (read.failed()) return wrong("expected session, sequence, cue and start (,iiss)");
        const auto cueID = parseCueID(*cue);
        const auto startTime = parseTime(*start);
        if (!cueID) return wrong("the cue ID is not a number");
        if (!startTime) return wrong("the start time is not a whole number");
        return Parsed{Go{*session, *sequence, *cueID, *startTime}, {}};
    }
    if (address == kStateAddress) {
        const auto session = read.int32();
        const auto sequence = read.int32();
        const std::string* current = read.string();
        const std::string* next = read.string();
        const std::string* start = read.string();
        if (read.failed()) {
            return wrong("expected session, sequence, current, next and start (,iisss)");
        }
        State state{*session, *sequence, std::nullopt, std::nullopt, std::nullopt};
        if (!current->empty() && !(state.currentCue = parseCueID(*current))) {
            return wrong("the current cue ID is not a number");
        }
        if (!next->empty() && !(state.nextCue = parseCueID(*next))) {
            return wrong("the next cue ID is not a number");
        }
        if (!start->empty() && !(state.currentStartTime = parseTime(*start))) {
            return wrong("the start time is not a whole number");
        }
        return Parsed{state, {}};
    }
    return wrong("not a sync message");
}

}  // namespace bw
