#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "show/CueStack.h"
#include "show/ShowTestSupport.h"
#include "support/TempDir.h"

namespace bw {
namespace {

using Entry = test::ShowNotificationLog::Entry;

class CueStackTest : public ::testing::Test {
protected:
    // Checks what must hold after every edit: the ID list mirrors the cues and
    // every cue has one state per output.
    void expectInvariants(std::size_t outputs) {
        const auto& cues = stack().cues();
        ASSERT_EQ(stack().cueIDs().size(), cues.size());
        for (std::size_t i = 0; i < cues.size(); ++i) {
            if (std::isnan(cues[i].id)) {
                EXPECT_TRUE(std::isnan(stack().cueIDs()[i]));
            } else {
                EXPECT_EQ(stack().cueIDs()[i], cues[i].id) << "at " << i;
            }
            EXPECT_EQ(cues[i].outputStates.size(), outputs) << "cue at " << i;
        }
    }

    // Fills the stack with cues of the given IDs (in that order), each with
    // `outputs` default states.
    void fill(std::initializer_list<double> ids, std::size_t outputs = 2) {
        std::vector<Cue> cues;
        for (double id : ids) {
            Cue cue;
            cue.id = id;
            cue.description = "cue " + std::to_string(id);
            cue.outputStates.assign(outputs, MediaOutputState::defaultState());
            cues.push_back(cue);
        }
        stack().replaceCues(cues);
    }

    std::vector<double> ids() const { return f_.stack.cueIDs(); }
    CueStack& stack() { return f_.stack; }
    ShowStatus& status() { return f_.status; }
    test::ShowNotificationLog& log() { return f_.log; }

    test::StackFixture f_;
};

TEST_F(CueStackTest, NewCueIDWithoutRequestFollowsTheLastCue) {
    EXPECT_EQ(stack().newCueID(), 1.0);
    fill({1, 2, 2.5});
    EXPECT_EQ(stack().newCueID(), 3.0);
    fill({1, 7.9});
    EXPECT_EQ(stack().newCueID(), 8.0);
    EXPECT_EQ(stack().newCueID(std::nan("")), 8.0) << "not-a-number counts as no request";
    EXPECT_EQ(stack().cues().size(), 2u) << "newCueID changes nothing";
}

TEST_F(CueStackTest, NewCueIDWithRequestAvoidsTakenIDs) {
    EXPECT_EQ(stack().newCueID(2.0), 2.0) << "empty stack";
    fill({1, 2, 3});
    EXPECT_EQ(stack().newCueID(2.0), 2.5);
    fill({1, 2});
    EXPECT_EQ(stack().newCueID(2.0), 3.0);
    fill({1, 3});
    EXPECT_EQ(stack().newCueID(2.0), 2.0);
    fill({1, 2, 2, 4});
    EXPECT_EQ(stack().newCueID(2.0), 2.0) << "the first of equal IDs is midway to an equal one";
}

TEST_F(CueStackTest, DuplicateInsertsACopyWithAnIDBetweenNeighbours) {
    fill({1, 2, 3});
    stack().setFadeLength(1, 7.5);
    stack().setMuted(false, 1, 1);
    stack().duplicateCue(1);
    EXPECT_EQ(ids(), (std::vector<double>{1, 2, 2.5, 3}));
    EXPECT_EQ(stack().cues()[2].fadeLength, 7.5);
    EXPECT_EQ(stack().cues()[2].description, stack().cues()[1].description);
    EXPECT_EQ(stack().cues()[2].outputStates, stack().cues()[1].outputStates);
    expectInvariants(2);

    fill({1, 2, 3});
    stack().duplicateCue(2);
    EXPECT_EQ(ids(), (std::vector<double>{1, 2, 3, 4}));

    fill({1, 1.5});
    stack().duplicateCue(0);
    EXPECT_EQ(ids(), (std::vector<double>{1, 1.25, 1.5}));
}

TEST_F(CueStackTest, DuplicateOfASecondEqualIDIsInsertedAfterItUnsorted) {
    fill({1, 1, 5});
    stack().duplicateCue(1);
    // The new ID is midway from the first cue with ID 1 to its neighbour (also
    // 1), and the copy goes right after the duplicated cue.
    EXPECT_EQ(ids(), (std::vector<double>{1, 1, 1, 5}));
    expectInvariants(2);
}

TEST_F(CueStackTest, AddCueCreatesDefaultStatesForEveryOutputAndSorts) {
    stack().setOutputCountSource([] { return std::size_t{3}; });
    fill({1, 2, 4}, 3);
    stack().addCue(3.0);
    EXPECT_EQ(ids(), (std::vector<double>{1, 2, 3, 4}));
    const Cue& cue = stack().cues()[2];
    EXPECT_EQ(cue.description, "");
    EXPECT_EQ(cue.fadeLength, 3.0);
    ASSERT_EQ(cue.outputStates.size(), 3u);
    for (const auto& state : cue.outputStates) {
        EXPECT_EQ(state.mediaURL.absoluteString(), "black://");
        EXPECT_TRUE(state.muted);
        EXPECT_TRUE(state.looped);
        EXPECT_FALSE(state.kenBurns);
    }
    expectInvariants(3);
}

TEST_F(CueStackTest, AddCueWithoutAnOutputCountSourceMatchesTheExistingCues) {
    stack().addCue(1.0);
    EXPECT_TRUE(stack().cues()[0].outputStates.empty());
    fill({1}, 4);
    stack().addCue(2.0);
    expectInvariants(4);
}

TEST_F(CueStackTest, SetCueIDResortsAndKeepsEqualIDsInTheirOrder) {
    fill({1, 2, 3});
    stack().setCueID(2, 0.5);
    EXPECT_EQ(ids(), (std::vector<double>{0.5, 1, 2}));
    EXPECT_EQ(stack().cues()[0].description, "cue 3.000000");

    // Cue "3" (at the top) now shares ID 2 with cue "2"; being earlier in the
    // list, it stays ahead of it.
    stack().setCueID(0, 2.0);
    EXPECT_EQ(ids(), (std::vector<double>{1, 2, 2}));
    EXPECT_EQ(stack().cues()[1].description, "cue 3.000000");
    EXPECT_EQ(stack().cues()[2].description, "cue 2.000000");
    stack().setCueID(2, 2.0);  // re-setting the later one keeps the order too
    EXPECT_EQ(stack().cues()[2].description, "cue 2.000000");
    EXPECT_EQ(stack().indexOfCue(2.0), 1u);
    expectInvariants(2);
}

TEST_F(CueStackTest, IndexOfCueMatchesExactValuesOnly) {
    fill({1, 2});
    stack().duplicateCue(0);  // 1.5
    EXPECT_EQ(stack().indexOfCue(1.5), 1u);
    EXPECT_EQ(stack().indexOfCue(1.5000000001), std::nullopt);
    EXPECT_EQ(stack().indexOfCue(3.0), std::nullopt);
    EXPECT_EQ(stack().indexOfCue(std::nan("")), std::nullopt);
}

TEST_F(CueStackTest, NotANumberIDsSortLastAndNeverMatch) {
    fill({3, 1, 2});
    stack().setCueID(1, std::nan(""));
    ASSERT_EQ(ids().size(), 3u);
    EXPECT_EQ(ids()[0], 2.0);
    EXPECT_EQ(ids()[1], 3.0);
    EXPECT_TRUE(std::isnan(ids()[2]));
    stack().addCue(-std::numeric_limits<double>::infinity());
    EXPECT_EQ(ids()[0], -std::numeric_limits<double>::infinity());
    EXPECT_TRUE(std::isnan(ids()[3]));
    stack().duplicateCue(3);  // a NaN cue's copy gets NaN + 1
    EXPECT_TRUE(std::isnan(ids()[4]));
    expectInvariants(2);
}

TEST_F(CueStackTest, EditsReplaceSingleFields) {
    fill({1, 2});
    stack().setDescription(0, "Walk-in");
    stack().setFadeLength(1, 0.0);
    stack().setLooped(false, 1, 0);
    stack().setKenBurns(true, 0, 1);
    EXPECT_EQ(stack().cues()[0].description, "Walk-in");
    EXPECT_EQ(stack().cues()[1].fadeLength, 0.0);
    EXPECT_FALSE(stack().cues()[0].outputStates[1].looped);
    EXPECT_TRUE(stack().cues()[1].outputStates[0].kenBurns);
    EXPECT_TRUE(stack().cues()[0].outputStates[0].looped) << "other states untouched";

    // New media takes the given fit only where the cell held no file.
    stack().setFit(PictureFit::Fill, 1, 1);
    const struct {
        MediaURL url;
        PictureFit given, kept;
        const char* why;
    } media[] = {
        {MediaURL::generator(MediaURL::Generator::Clear), PictureFit::Fit, PictureFit::Fill,
         "a generator keeps the cell's"},
        {MediaURL::fileURL("/media/a.png"), PictureFit::Fit, PictureFit::Fit,
         "a first file takes the given one"},
        {MediaURL::fileURL("/media/b.mov"), PictureFit::Stretch, PictureFit::Fit,
         "a file after a file keeps the cell's"},
    };
    for (const auto& m : media) {
        stack().setMediaURL(m.url, 1, 1, m.given);
        EXPECT_EQ(stack().cues()[1].outputStates[1].fit, m.kept) << m.why;
    }
    EXPECT_EQ(stack().cues()[1].outputStates[0].fit, PictureFit::Stretch);

    stack().deleteCue(0);
    EXPECT_EQ(ids(), (std::vector<double>{2}));
    expectInvariants(2);
}

TEST_F(CueStackTest, OutOfRangePositionsLeaveTheStackUntouched) {
    fill({1, 2});
    status().setDirty(false);
    const auto before = stack().cues();
    stack().deleteCue(2);
    stack().duplicateCue(5);
    stack().setCueID(2, 9.0);
    stack().setMuted(false, 2, 0);
    stack().setMediaURL(MediaURL::generator(MediaURL::Generator::Grid), 0, 2);
    EXPECT_EQ(stack().cues(), before);
    EXPECT_FALSE(status().isDirty());
}

TEST_F(CueStackTest, SetMediaURLFitsTheFlagsToTheMedia) {
    const auto media = test::testMediaDir();
    fill({1}, 1);
    auto setFlags = [&](bool muted, bool looped, bool kenBurns) {
        stack().setMuted(muted, 0, 0);
        stack().setLooped(looped, 0, 0);
        stack().setKenBurns(kenBurns, 0, 0);
    };
    auto state = [&] { return stack().cues()[0].outputStates[0]; };

    setFlags(false, false, true);
    stack().setMediaURL(MediaURL::fileURL((media / "movie.webm").string()), 0, 0);
    EXPECT_EQ(state().mediaURL.path(), (media / "movie.webm").string());
    EXPECT_FALSE(state().muted) << "a movie keeps its sound setting";
    EXPECT_FALSE(state().looped);
    EXPECT_FALSE(state().kenBurns) << "only an image moves";

    setFlags(false, false, true);
    stack().setMediaURL(MediaURL::fileURL((media / "image.png").string()), 0, 0);
    EXPECT_TRUE(state().muted);
    EXPECT_TRUE(state().looped);
    EXPECT_TRUE(state().kenBurns) << "an image keeps its motion";

    setFlags(false, false, true);
    stack().setMediaURL(MediaURL::generator(MediaURL::Generator::Grid), 0, 0);
    EXPECT_EQ(state().mediaURL.absoluteString(), "grid://");
    EXPECT_TRUE(state().muted);
    EXPECT_TRUE(state().looped);
    EXPECT_FALSE(state().kenBurns);

    setFlags(false, false, true);
    stack().setMediaURL(MediaURL::fileURL((media / "gone.mov").string()), 0, 0);
    EXPECT_TRUE(state().muted) << "a missing file has no type";
    EXPECT_TRUE(state().looped);
    EXPECT_FALSE(state().kenBurns);

    setFlags(false, false, true);
    stack().setMediaURL(MediaURL::fileURL((media / "movie-without-extension").string()), 0, 0);
    EXPECT_FALSE(state().muted) << "a movie recognised by its content";
    EXPECT_FALSE(state().kenBurns);
}

TEST_F(CueStackTest, OutputColumnsAreAddedAndRemovedAcrossAllCues) {
    fill({1, 2, 3}, 3);
    stack().setMediaURL(MediaURL::generator(MediaURL::Generator::Grid), 2, 0);
    stack().setMediaURL(MediaURL::generator(MediaURL::Generator::Clear), 0, 2);
    stack().removeOutputState(1);
    expectInvariants(2);
    EXPECT_EQ(stack().cues()[0].outputStates[1].mediaURL.absoluteString(), "grid://");
    EXPECT_EQ(stack().cues()[2].outputStates[0].mediaURL.absoluteString(), "clear://");

    stack().addOutputState();
    expectInvariants(3);
    EXPECT_EQ(stack().cues()[1].outputStates[2], MediaOutputState::defaultState());
}

TEST_F(CueStackTest, EditsPostTheDirtyFlagOnceUntilItIsCleared) {
    fill({1, 2, 3});
    status().setDirty(false);
    log().entries.clear();

    stack().addCue(4.0);  // replaces the list twice
    stack().setDescription(0, "a");
    stack().setCueID(1, 9.0);
    stack().addOutputState();
    EXPECT_EQ(log().entries, (std::vector<Entry>{{"ShowDirtyStatusChanged", true}}));

    status().setDirty(false);
    stack().removeOutputState(0);
    EXPECT_EQ(log().entries, (std::vector<Entry>{{"ShowDirtyStatusChanged", true},
                                                 {"ShowDirtyStatusChanged", false},
                                                 {"ShowDirtyStatusChanged", true}}));
}

TEST_F(CueStackTest, ColumnEditsOnAnEmptyStackStillMarkTheShowModified) {
    status().setDirty(false);
    stack().addOutputState();
    EXPECT_TRUE(status().isDirty());
    EXPECT_TRUE(stack().cues().empty());
}

// Verifies that every edit tells each observer once, after it is complete
// (sorted, the IDs matching the cues), and that a refused edit tells nobody.
TEST_F(CueStackTest, ObserversHearEachEditOnceWhenItIsComplete) {
    const MediaURL grid = MediaURL::generator(MediaURL::Generator::Grid);
    using Edit = std::function<void(CueStack&)>;
    const std::vector<Edit> edits = {
        [](CueStack& s) { s.addCue(1.5); },
        [](CueStack& s) { s.duplicateCue(0); },
        [](CueStack& s) { s.deleteCue(1); },
        [](CueStack& s) { s.setCueID(0, 9.0); },
        [](CueStack& s) { s.setFadeLength(2, 0.0); },
        [](CueStack& s) { s.setDescription(2, "Finale"); },
        [&](CueStack& s) { s.setMediaURL(grid, 1, 0); },
        [](CueStack& s) { s.setMuted(false, 0, 1); },
        [](CueStack& s) { s.setLooped(false, 1, 1); },
        [](CueStack& s) { s.setKenBurns(true, 0, 2); },
        [](CueStack& s) { s.addOutputState(); },
        [](CueStack& s) { s.removeOutputState(0); },
        [](CueStack& s) { s.replaceCues({}); },
    };
    const std::vector<Edit> refused = {
        [](CueStack& s) { s.duplicateCue(3); },
        [](CueStack& s) { s.deleteCue(3); },
        [](CueStack& s) { s.setCueID(3, 9.0); },
        [](CueStack& s) { s.setFadeLength(3, 0.0); },
        [](CueStack& s) { s.setDescription(3, "x"); },
        [&](CueStack& s) { s.setMediaURL(grid, 2, 0); },
        [](CueStack& s) { s.setMuted(false, 0, 3); },
    };
    for (const auto& [list, expectedCalls] : {std::pair{&edits, 1}, std::pair{&refused, 0}}) {
        for (std::size_t k = 0; k < list->size(); ++k) {
            fill({1, 2, 3});
            int calls = 0;
            bool complete = true;
            const auto token = stack().addObserver([&] {
                ++calls;
                const auto& cues = stack().cues();
                const auto& cueIDs = stack().cueIDs();
                complete = complete && std::is_sorted(cueIDs.begin(), cueIDs.end()) &&
                           std::equal(cues.begin(), cues.end(), cueIDs.begin(), cueIDs.end(),
                                      [](const Cue& cue, double id) { return cue.id == id; });
            });
            (*list)[k](stack());
            stack().removeObserver(token);
            EXPECT_EQ(calls, expectedCalls) << "edit " << k;
            EXPECT_TRUE(complete) << "edit " << k;
        }
    }
}

// Verifies that an observer may add and remove observers while it is called:
// one removed then is not called again, one added then hears the next edit.
TEST_F(CueStackTest, ObserversMayComeAndGoWhileTheyAreCalled) {
    fill({1});
    std::vector<std::string> heard;
    CueStack::ObserverToken later = 0;
    CueStack::ObserverToken added = 0;
    const CueStack::ObserverToken first = stack().addObserver([&] {
        heard.push_back("first");
        stack().removeObserver(later);
        if (added == 0) added = stack().addObserver([&] { heard.push_back("added"); });
    });
    later = stack().addObserver([&] { heard.push_back("later"); });

    stack().setDescription(0, "a");
    EXPECT_EQ(heard, (std::vector<std::string>{"first"}));
    stack().setDescription(0, "b");
    EXPECT_EQ(heard, (std::vector<std::string>{"first", "first", "added"}));
    stack().removeObserver(first);
    stack().removeObserver(added);
    stack().removeObserver(12345);  // unknown: ignored
    stack().setDescription(0, "c");
    EXPECT_EQ(heard.size(), 3u);
}

}  // namespace
}  // namespace bw
