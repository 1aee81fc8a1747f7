#include <gtest/gtest.h>

#include <cstdlib>

#include "engine/MediaOutput.h"
#include "media/ImagePlayer.h"
#include "media/VideoPlayer.h"
#include "platform/SystemLog.h"
#include "render/RenderTestSupport.h"
#include "support/TempDir.h"

namespace bw {
namespace {

class PlayerSelectionTest : public test::RenderTest {};

// The file's content type decides, not its name: a movie without an
// extension is still a movie.
TEST_F(PlayerSelectionTest, MovieAndImageFilesGetTheirOwnPlayers) {
    setenv("BEAMWRIGHT_AUDIO_SINK", "fakesink", 1);
    MediaOutput output("Stage", 4, 4);
    for (const char* name : {"movie.webm", "movie-without-extension"}) {
        MediaOutputState state;
        state.mediaURL = MediaURL::fileURL((test::testMediaDir() / name).string());
        state.muted = false;
        const MediaPlayerRef player = output.makePlayer(state);
        auto* movie = dynamic_cast<VideoPlayer*>(player.get());
        ASSERT_NE(movie, nullptr) << name;
        EXPECT_FALSE(movie->isMuted());
        EXPECT_EQ(player->state(), state);
    }
    MediaOutputState image;
    image.mediaURL = MediaURL::fileURL((test::testMediaDir() / "image.png").string());
    image.kenBurns = true;
    const MediaPlayerRef player = output.makePlayer(image);
    EXPECT_NE(dynamic_cast<ImagePlayer*>(player.get()), nullptr);
    EXPECT_EQ(player->state(), image);
}

// Verifies that a sound file on a cue, which no player takes, says in the
// log why its output is black; text (no media at all) is black without it.
TEST_F(PlayerSelectionTest, SoundFileShowsBlackAndSaysWhy) {
    MediaOutput output("Stage", 4, 4);
    SystemLog::ScopedCapture log;
    for (const char* name : {"sound.wav", "notes.txt"}) {
        MediaOutputState state;
        state.mediaURL = MediaURL::fileURL((test::testMediaDir() / name).string());
        const MediaPlayerRef player = output.makePlayer(state);
        EXPECT_EQ(dynamic_cast<VideoPlayer*>(player.get()), nullptr) << name;
        EXPECT_EQ(dynamic_cast<ImagePlayer*>(player.get()), nullptr) << name;
    }
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "Warning: cannot play " + (test::testMediaDir() / "sound.wav").string() +
                            ": the file has sound but no picture; the output shows black");
}

// Verifies that a moving still takes a change of its Loop box in place, and
// that another picture or Ken Burns needs a new player.
TEST_F(PlayerSelectionTest, StillTakesItsLoopBoxInPlace) {
    MediaOutput output("Stage", 4, 4);
    MediaOutputState state;
    state.mediaURL = MediaURL::fileURL((test::testMediaDir() / "anim-loop.gif").string());
    const MediaPlayerRef player = output.makePlayer(state);
    ASSERT_NE(dynamic_cast<ImagePlayer*>(player.get()), nullptr);
    MediaOutputState looped = state;
    looped.looped = !state.looped;
    EXPECT_TRUE(player->adoptState(looped));
    EXPECT_EQ(player->state(), looped);
    MediaOutputState kenBurns = looped;
    kenBurns.kenBurns = true;
    EXPECT_FALSE(player->adoptState(kenBurns));
    MediaOutputState other = looped;
    other.mediaURL = MediaURL::fileURL((test::testMediaDir() / "image.png").string());
    EXPECT_FALSE(player->adoptState(other));
}

}  // namespace
}  // namespace bw
