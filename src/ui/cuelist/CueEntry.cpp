#include "ui/cuelist/CueEntry.h"

#include <charconv>
#include <cstdint>
#include <utility>

#include "engine/MediaEngine.h"
#include "show/CueStack.h"
#include "show/NumberText.h"

namespace bw {

CueEntry::CueEntry(MediaEngine& engine, const CueStack& stack, std::function<void()> deselectAll)
    : engine_(engine), stack_(stack), deselectAll_(std::move(deselectAll)) {}

bool CueEntry::isAcceptedText(std::string_view text) {
    if (text == ".") return true;
    std::string_view digits = text;
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
        digits.remove_prefix(1);
    }
    if (digits.empty()) return false;  // a lone sign
    for (const char c : digits) {
        if (c < '0' || c > '9') return false;
    }
    // Within signed 64-bit range, as the number it spells.
    std::int64_t value = 0;
    const char* begin = text.data() + (text.front() == '+' ? 1 : 0);
    const auto [end, error] = std::from_chars(begin, text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
}

void CueEntry::insertText(std::string_view text, bool fromKeypad) {
    if (fromKeypad && text == ",") text = ".";
    if (!isAcceptedText(text)) return;
    text_.append(text);
    armed_.reset();
}

void CueEntry::backspace() {
    // The field holds only accepted text, which is ASCII: a character is a byte.
    if (!text_.empty()) text_.pop_back();
    armed_.reset();
}

void CueEntry::selectCue(std::optional<double> id) {
    if (id) {
        armed_ = id;
        text_ = formatCueNumber(*id);
    } else if (armed_) {
        // The field showed the row that is no longer selected; typed digits
        // stay.
        clear();
    }
}

void CueEntry::clear() {
    text_.clear();
    armed_.reset();
}

bool CueEntry::returnPressed(bool autoRepeat, std::uint64_t at, std::uint64_t repeatInterval) {
    const std::optional<std::uint64_t> releasedAt = std::exchange(returnReleasedAt_, std::nullopt);
    if (autoRepeat) return false;
    // A press at the moment of its own release, or within the repeat
    // interval of it, is the held key repeating.
    if (releasedAt && at >= *releasedAt && at - *releasedAt <= repeatInterval) return false;
    goOrGoToCue(GoSource::Key);
    return true;
}

void CueEntry::returnReleased(std::uint64_t at) {
    returnReleasedAt_ = at;
}

void CueEntry::escapePressed() {
    if (deselectAll_) deselectAll_();
}

std::optional<double> CueEntry::cueIdFor(double typed) const {
    if (stack_.indexOfCue(typed)) return typed;
    const std::string shown = formatCueNumber(typed);
    for (const double id : stack_.cueIDs()) {
        if (formatCueNumber(id) == shown) return id;
    }
    return std::nullopt;
}

void CueEntry::goOrGoToCue(GoSource source) {
    LastGo go;
    // GO runs the next cue, or loads one from the stack first; with neither
    // it does nothing.
    const bool runs = engine_.nextCue().has_value() || !stack_.cues().empty();
    if (text_.empty()) {
        go.endOfShow = engine_.cueGoRuns().endOfShow;
        engine_.go(source);
    } else if (armed_ && stack_.indexOfCue(*armed_)) {
        // The selected row's own cue, by its exact ID.
        go.typed = armed_;
        engine_.goToCue(*armed_, source);
    } else {
        const std::optional<double> typed = parseCueNumber(text_);
        if (!typed) {
            finish();
            return;
        }
        go.typed = typed;
        const std::optional<Cue> next = engine_.nextCue();
        if (next && next->id == *typed) {
            engine_.goToCue(*typed, source);
        } else if (const std::optional<double> id = cueIdFor(*typed)) {
            engine_.goToCue(*id, source);
        } else {
            go.typedNamedNoCue = true;
            engine_.go(source);
        }
    }
    // Dropped by the GO guard: nothing ran, and what was typed stays.
    if (engine_.lastIgnoredGo()) return;
    if (runs) go.ran = engine_.currentCue();
    lastGo_ = std::move(go);
    finish();
}

void CueEntry::finish() {
    clear();
    if (deselectAll_) deselectAll_();
}

}  // namespace bw
