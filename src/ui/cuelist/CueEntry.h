#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "remote/CueRunner.h"
#include "show/Cue.h"

namespace bw {

class CueStack;
class MediaEngine;

// The show window's keyboard cue entry and GO, without the window: the
// number the operator types, and what Return, keypad Enter, Escape,
// Backspace and the GO button do with it. The window hands it the keys no
// control took; tests drive it directly.
//
// - Typed text is kept only when it is exactly "." or a whole decimal
//   integer ([+-]?[0-9]+, within signed 64-bit range), and is appended;
//   anything else is ignored. A keypad's decimal key that gives "," counts
//   as ".".
// - GO-or-go-to-cue: an empty field is a plain GO. Otherwise the field is
//   read as a cue number (C locale, the whole text); text that is no number
//   empties the field and runs nothing. A number runs GO to that cue: the
//   cue with exactly that ID, else the first cue shown with the same digits
//   (an ID such as 1.15000000000000002 is typed as "1.15"); a number naming
//   no cue runs a plain GO, as remote commands do, and lastGo() says so.
//   The field is emptied and every row deselected afterwards.
// - Selecting a row of the cue list shows its cue's ID in the field and arms
//   that exact cue: GO then goes to it, even where another cue's ID reads
//   the same. Typing after that makes the field typed text again.
// - Holding Return down is one GO: a press flagged as the platform's repeat
//   is ignored, and so is one that comes no later than the repeat interval
//   after the key's release (an X server repeats a held key as release and
//   press pairs, with no flag on them). The key counts again once it was
//   really up for longer than that.
//
// Main thread only; the engine and stack must outlive it.
class CueEntry {
public:
    // What the last GO ran, for the window to show.
    struct LastGo {
        // The number typed for it; none for a plain GO.
        std::optional<double> typed;
        // The typed number named no cue, so a plain GO ran instead.
        bool typedNamedNoCue = false;
        // A plain GO after the last cue of a show that stops there: nothing ran.
        bool endOfShow = false;
        // The cue on stage after it; none when GO found nothing to run.
        std::optional<Cue> ran;
    };

    // `deselectAll` clears the cue list's selection (nothing until there is
    // one).
    CueEntry(MediaEngine& engine, const CueStack& stack, std::function<void()> deselectAll = {});

    const std::string& text() const { return text_; }
    const std::optional<LastGo>& lastGo() const { return lastGo_; }

    // A key's text; `fromKeypad` for keys of the numeric keypad.
    void insertText(std::string_view text, bool fromKeypad = false);
    // Removes the last character; an empty field stays empty.
    void backspace();
    // Return or keypad Enter went down at `at` (the event's time stamp, in
    // milliseconds): GO-or-go-to-cue, unless it is the repeat of a held key
    // (above) for a repeat interval of `repeatInterval` milliseconds. Returns
    // whether it ran.
    bool returnPressed(bool autoRepeat, std::uint64_t at = 0, std::uint64_t repeatInterval = 0);
    // Return or keypad Enter went up at `at`.
    void returnReleased(std::uint64_t at);
    // Deselects every row; the typed number stays.
    void escapePressed();
    // The GO button, and Return.
    void goOrGoToCue(GoSource source = GoSource::Button);
    // The cue list's selection changed: the selected cue's ID, or none
    // (which empties a field that showed the selected cue, and keeps typed
    // digits).
    void selectCue(std::optional<double> id);
    // Empties the field.
    void clear();
    // The cue a selected row armed, while the field still shows it.
    std::optional<double> armedCue() const { return armed_; }

    // Whether `text` is text the field takes.
    static bool isAcceptedText(std::string_view text);

private:
    // The ID to go to for `typed`: exact, else by its shown digits.
    std::optional<double> cueIdFor(double typed) const;
    void finish();

    MediaEngine& engine_;
    const CueStack& stack_;
    std::function<void()> deselectAll_;
    std::string text_;
    std::optional<double> armed_;
    std::optional<LastGo> lastGo_;
    // When Return last went up, while that release may still be a repeat's.
    std::optional<std::uint64_t> returnReleasedAt_;
};

}  // namespace bw
