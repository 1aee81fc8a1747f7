#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "show/ShowState.h"

namespace bw {
namespace {

TEST(ShowStateTest, CueListJsonNamesEachCueAndItsOutputs) {
    Cue movie{12.5, "Opening \"night\"", 2.0, {}};
    MediaOutputState file;
    file.mediaURL = MediaURL::fileURL("/shows/media/walk-in.mov");
    file.muted = false;
    file.looped = false;
    movie.outputStates = {file, MediaOutputState{MediaURL::generator(MediaURL::Generator::Grid)}};
    Cue blackout{13, "", 0.5, {MediaOutputState{}, MediaOutputState{}}};

    const nlohmann::json list = nlohmann::json::parse(cueListJson({movie, blackout}));
    const nlohmann::json expected = nlohmann::json::parse(R"([
      {"id": "12.5", "description": "Opening \"night\"", "fade": 2.0, "outputs": [
        {"media": "walk-in.mov", "muted": false, "looped": false, "kenBurns": false},
        {"media": "grid", "muted": true, "looped": true, "kenBurns": false}]},
      {"id": "13.0", "description": "", "fade": 0.5, "outputs": [
        {"media": "black", "muted": true, "looped": true, "kenBurns": false},
        {"media": "black", "muted": true, "looped": true, "kenBurns": false}]}])");
    EXPECT_EQ(list, expected);
    EXPECT_EQ(cueListJson({}), "[]");
}

TEST(ShowStateTest, TextNotUtf8StillGivesAList) {
    Cue cue{1, std::string("bad \xff byte"), 1.0, {}};
    const nlohmann::json list = nlohmann::json::parse(cueListJson({cue}));
    EXPECT_EQ(list.at(0).at("description"), "bad \xef\xbf\xbd byte");
}

TEST(ShowStateTest, SplitUtf8CutsOnlyBetweenCharactersAndKeepsEveryByte) {
    struct Case {
        std::string text;
        std::size_t maxBytes;
        std::vector<std::string> pieces;
    };
    const std::vector<Case> cases = {
        {"", 8, {""}},
        {"abcdefgh", 8, {"abcdefgh"}},
        {"abcdefghij", 4, {"abcd", "efgh", "ij"}},
        // "ü" is two bytes and "€" three: never split inside them.
        {"abcü€x", 4, {"abc", "ü", "€x"}},
        {"€€€", 4, {"€", "€", "€"}},
        // Not UTF-8 at all: cut where the limit falls.
        {"\x80\x80\x80\x80\x80", 4, {"\x80\x80\x80\x80", "\x80"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(splitUtf8(c.text, c.maxBytes), c.pieces) << c.text;
    }
}

TEST(ShowStateTest, NamesAreTheWordsControllersSee) {
    using Mode = ShowState::Mode;
    EXPECT_STREQ(ShowState::modeName(Mode::Standby), "standby");
    EXPECT_STREQ(ShowState::modeName(Mode::Fading), "fading");
    EXPECT_STREQ(ShowState::modeName(Mode::Panic), "panic");
    EXPECT_STREQ(ShowState::modeName(Mode::Locked), "locked");
    EXPECT_STREQ(ShowState::modeName(Mode::Ended), "ended");
    EXPECT_EQ(ShowState::lineFor(Cue{2.25, "Dawn", 1.0, {}}), (ShowState::CueLine{"2.25", "Dawn"}));
    EXPECT_EQ(ShowState::lineFor(std::nullopt), ShowState::CueLine{});
}

}  // namespace
}  // namespace bw
