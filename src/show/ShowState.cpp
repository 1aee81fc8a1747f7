#include "show/ShowState.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "show/NumberText.h"

namespace bw {
namespace {

std::string mediaName(const MediaURL& url) {
    if (const std::optional<MediaURL::Generator> kind = url.generatorKind()) {
        switch (*kind) {
            case MediaURL::Generator::Black:
                return "black";
            case MediaURL::Generator::Clear:
                return "clear";
            case MediaURL::Generator::Grid:
                return "grid";
        }
    }
    return url.lastPathComponent();
}

}  // namespace

const char* ShowState::modeName(Mode mode) {
    switch (mode) {
        case Mode::Standby:
            return "standby";
        case Mode::Fading:
            return "fading";
        case Mode::Panic:
            return "panic";
        case Mode::Locked:
            return "locked";
        case Mode::Ended:
            return "ended";
    }
    return "standby";
}

const char* ShowState::changeName(Change change) {
    switch (change) {
        case Change::Tick:
            return "tick";
        case Change::Go:
            return "go";
        case Change::FadeEnd:
            return "fadeEnd";
        case Change::NextCue:
            return "next";
        case Change::Load:
            return "load";
        case Change::Edit:
            return "edit";
        case Change::Panic:
            return "panic";
        case Change::Lock:
            return "lock";
        case Change::GoIgnored:
            return "goIgnored";
        case Change::Clock:
            return "clock";
        case Change::Health:
            return "health";
    }
    return "tick";
}

ShowState::CueLine ShowState::lineFor(const std::optional<Cue>& cue) {
    if (!cue) return {};
    return {formatCueNumber(cue->id), cue->description};
}

std::string cueListJson(const std::vector<Cue>& cues) {
    nlohmann::json list = nlohmann::json::array();
    for (const Cue& cue : cues) {
        nlohmann::json outputs = nlohmann::json::array();
        for (const MediaOutputState& state : cue.outputStates) {
            outputs.push_back({{"media", mediaName(state.mediaURL)},
                               {"muted", state.muted},
                               {"looped", state.looped},
                               {"kenBurns", state.kenBurns}});
        }
        list.push_back({{"id", formatCueNumber(cue.id)},
                        {"description", cue.description},
                        {"fade", cue.fadeLength},
                        {"outputs", std::move(outputs)}});
    }
    // Texts that are not UTF-8 (a file name from an old file system) are
    // replaced rather than failing the whole list.
    return list.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::vector<std::string> splitUtf8(std::string_view text, std::size_t maxBytes) {
    maxBytes = std::max<std::size_t>(maxBytes, 4);
    std::vector<std::string> pieces;
    while (text.size() > maxBytes) {
        std::size_t cut = maxBytes;
        // Back off continuation bytes (10xxxxxx) so the cut falls before a
        // character's first byte.
        while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
            --cut;
        if (cut == 0) cut = maxBytes;  // not UTF-8 at all: cut where it is
        pieces.emplace_back(text.substr(0, cut));
        text.remove_prefix(cut);
    }
    pieces.emplace_back(text);
    return pieces;
}

}  // namespace bw
