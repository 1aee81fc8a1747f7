#include <gtest/gtest.h>

#include <cstdlib>

#include "engine/MediaOutput.h"
#include "media/ImagePlayer.h"
#include "media/VideoPlayer.h"
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

}  // namespace
}  // namespace bw
