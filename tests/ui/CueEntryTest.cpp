#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/EngineTestSupport.h"
#include "ui/cuelist/CueEntry.h"

namespace bw {
namespace {

// A key as the window hands it on: text, Backspace, Return (auto-repeated
// or not, or going down and up at a time in milliseconds), Escape or the GO
// button.
struct Key {
    enum class Kind {
        text,
        keypadText,
        backspace,
        ret,
        repeatedReturn,
        returnDown,
        returnUp,
        escape,
        goButton
    };
    Kind kind;
    std::string text;
    std::uint64_t at = 0;
};

Key text(std::string t) {
    return {Key::Kind::text, std::move(t)};
}
Key keypad(std::string t) {
    return {Key::Kind::keypadText, std::move(t)};
}
const Key kBackspace{Key::Kind::backspace, {}};
const Key kReturn{Key::Kind::ret, {}};
const Key kRepeatedReturn{Key::Kind::repeatedReturn, {}};
const Key kEscape{Key::Kind::escape, {}};
const Key kGoButton{Key::Kind::goButton, {}};
Key down(std::uint64_t at) {
    return {Key::Kind::returnDown, {}, at};
}
Key up(std::uint64_t at) {
    return {Key::Kind::returnUp, {}, at};
}
// The repeat interval the window would pass on (an X server's 25 a second).
constexpr std::uint64_t kRepeatInterval = 40;

// A cue ID that prints as "1.15" but is not the double 1.15.
const double kMidpoint = std::nextafter(1.15, 2.0);

class CueEntryTest : public test::EngineTest {
protected:
    void press(CueEntry& entry, const Key& key) {
        switch (key.kind) {
            case Key::Kind::text:
                entry.insertText(key.text);
                break;
            case Key::Kind::keypadText:
                entry.insertText(key.text, true);
                break;
            case Key::Kind::backspace:
                entry.backspace();
                break;
            case Key::Kind::ret:
                entry.returnPressed(false);
                break;
            case Key::Kind::repeatedReturn:
                entry.returnPressed(true);
                break;
            case Key::Kind::returnDown:
                entry.returnPressed(false, key.at, kRepeatInterval);
                break;
            case Key::Kind::returnUp:
                entry.returnReleased(key.at);
                break;
            case Key::Kind::escape:
                entry.escapePressed();
                break;
            case Key::Kind::goButton:
                entry.goOrGoToCue();
                break;
        }
    }
};

// Verifies every rule of typing, editing and running a cue number, one
// sequence of keys a row, from the alignment grid with cues 1, the
// midpoint, 2 and 3 in the stack.
TEST_F(CueEntryTest, KeysFollowTheCueEntryRules) {
    struct Case {
        const char* name;
        std::vector<Key> keys;
        std::string field;  // what the field shows afterwards
        double current;     // the cue on stage afterwards (-1: the grid)
        int deselections;
        bool typedNamedNoCue = false;
    };
    const std::vector<Case> cases = {
        {"digits and points append", {text("1"), text("."), text("."), text("5")}, "1..5", -1, 0},
        {"signed whole numbers append", {text("+5"), text("-7")}, "+5-7", -1, 0},
        {"a lone sign is refused", {text("-"), text("+")}, "", -1, 0},
        {"letters, space and comma are refused",
         {text("a"), text(" "), text(","), text("1a"), text("")},
         "",
         -1,
         0},
        {"the keypad's comma is a point", {keypad("1"), keypad(","), keypad("5")}, "1.5", -1, 0},
        {"beyond 64 bits is refused", {text("9223372036854775808")}, "", -1, 0},
        {"the largest 64-bit number is taken",
         {text("9223372036854775807")},
         "9223372036854775807",
         -1,
         0},
        {"backspace removes the last character and stops at empty",
         {text("1"), text("2"), kBackspace, kBackspace, kBackspace},
         "",
         -1,
         0},
        {"escape deselects and keeps the number", {text("2"), kEscape}, "2", -1, 1},
        {"return with nothing typed is GO", {kReturn}, "", 1, 1},
        {"the GO button does the same", {kGoButton}, "", 1, 1},
        {"a typed number goes to its cue", {text("3"), kReturn}, "", 3, 1},
        {"a number shown alike finds the midpoint",
         {text("1"), text("."), text("15"), kReturn},
         "",
         kMidpoint,
         1},
        {"a number naming no cue is a plain GO", {text("7"), kReturn}, "", 1, 1, true},
        {"text that is no number runs nothing",
         {text("1"), text("."), text("."), kReturn},
         "",
         -1,
         1},
        {"an auto-repeated return runs nothing", {text("2"), kRepeatedReturn}, "2", -1, 0},
        {"holding return is one GO", {kReturn, kRepeatedReturn, kRepeatedReturn}, "", 1, 1},
        // An X server repeats a held key as release and press pairs, unflagged.
        {"a key held past the repeat delay is one GO",
         {down(0), up(660), down(660), up(700), down(701), up(1600)},
         "",
         1,
         1},
        {"a press right after a release is still the held key",
         {down(0), up(100), down(100 + kRepeatInterval)},
         "",
         1,
         1},
        {"pressed again after a real release, it counts again",
         {down(0), up(90), down(91 + kRepeatInterval), up(300)},
         "",
         kMidpoint,
         2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        engine_ = std::make_unique<MediaEngine>(
            MediaEngine::Parts{stack_, status_, clock_, nullptr, nullptr});
        stack_.replaceCues({makeCue(1, 0.0, {}), makeCue(kMidpoint, 0.0, {}), makeCue(2, 0.0, {}),
                            makeCue(3, 0.0, {})});
        int deselections = 0;
        CueEntry entry(*engine_, stack_, [&] { ++deselections; });
        for (const Key& key : c.keys)
            press(entry, key);

        EXPECT_EQ(entry.text(), c.field);
        EXPECT_EQ(engine_->currentCue()->id, c.current);
        EXPECT_EQ(deselections, c.deselections);
        if (c.current != -1) {
            ASSERT_TRUE(entry.lastGo());
            EXPECT_EQ(entry.lastGo()->typedNamedNoCue, c.typedNamedNoCue);
            ASSERT_TRUE(entry.lastGo()->ran);
            EXPECT_EQ(entry.lastGo()->ran->id, c.current);
        } else {
            EXPECT_FALSE(entry.lastGo());
        }
    }
}

// Verifies that a GO with nothing to run says so, and that the typed number
// is remembered with the cue that ran instead.
TEST_F(CueEntryTest, LastGoTellsWhatRan) {
    CueEntry entry(*engine_, stack_);
    entry.goOrGoToCue();
    ASSERT_TRUE(entry.lastGo());
    EXPECT_FALSE(entry.lastGo()->ran) << "an empty show runs nothing";

    stack_.replaceCues({makeCue(4, 0.0, {}), makeCue(5, 0.0, {})});
    entry.insertText("9");
    entry.goOrGoToCue();
    EXPECT_EQ(entry.lastGo()->typed, 9.0);
    EXPECT_TRUE(entry.lastGo()->typedNamedNoCue);
    EXPECT_EQ(entry.lastGo()->ran->id, 4.0);

    entry.insertText("4");
    entry.goOrGoToCue();
    EXPECT_FALSE(entry.lastGo()->typedNamedNoCue);
    EXPECT_EQ(entry.lastGo()->ran->id, 4.0) << "the cue on stage runs again";
}

}  // namespace
}  // namespace bw
