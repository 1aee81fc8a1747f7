#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "engine/BufferPlayer.h"
#include "engine/GeneratorPlayer.h"
#include "engine/MediaOutput.h"
#include "media/VideoPlayer.h"
#include "platform/DescriptorBudget.h"
#include "platform/SystemLog.h"
#include "render/RenderTestSupport.h"
#include "render/ShaderScene.h"
#include "support/TempDir.h"

namespace bw {
namespace {

using test::Image;

// Shows a fixed frame and writes down every volume it is given.
class RecordingPlayer : public MediaPlayer {
public:
    explicit RecordingPlayer(GpuBufferRef frame) : frame_(std::move(frame)) {}
    void setVolume(float volume) override { volumes.push_back(volume); }
    void play() override { ++plays; }
    GpuBufferRef frameForTime(const DisplayTimeStamp&) override { return frame_; }

    std::vector<float> volumes;
    int plays = 0;

private:
    GpuBufferRef frame_;
};

MediaOutputState stateFor(const std::string& url) {
    MediaOutputState state;
    state.mediaURL = *MediaURL::fromString(url);
    return state;
}

class MediaOutputTest : public test::RenderTest {
protected:
    Image rendered(MediaOutput& output, std::optional<double> progress) {
        output.render(DisplayTimeStamp{}, progress);
        return test::readPixels(*output.outputBuffer());
    }
};

TEST_F(MediaOutputTest, ANewOutputShowsTheGridAtItsSize) {
    MediaOutput output("Stage", 33, 17);
    const auto players = output.players();
    ASSERT_EQ(players.size(), 1u);
    EXPECT_NE(dynamic_cast<GridPlayer*>(players[0].get()), nullptr);
    const Image grid =
        test::readPixels(*ShaderScene::gridScene().allocAndRenderToBufferSized({33, 17}));
    EXPECT_EQ(rendered(output, std::nullopt).rgba, grid.rgba);
    EXPECT_EQ(output.outputBuffer()->size(), (PixelSize{33, 17}));
}

// A movie's last picture, as a player that has played to its end shows it.
class EndedMoviePlayer : public RecordingPlayer {
public:
    using RecordingPlayer::RecordingPlayer;
    std::optional<PlaybackTime> playbackTime() const override {
        return PlaybackTime{2.0, 2.0, false, ended};
    }
    bool ended = false;
};

// Verifies that a movie ending on black fades its output to black over the
// fixed time from the refresh its end was first seen, and that one that holds
// keeps its last picture.
TEST_F(MediaOutputTest, AMovieThatEndsOnBlackFadesItsOutputToBlack) {
    const Image picture = test::testPattern({13, 7}, 200);
    const auto at = [](double seconds) {
        DisplayTimeStamp stamp;
        stamp.hostTime = static_cast<std::uint64_t>(std::llround((10.0 + seconds) * 1e9));
        return stamp;
    };
    const struct {
        AtMovieEnd atEnd;
        double blackAt[4];  // the black mixed in at 0, 0.25, 0.5 and 2 s after the end
    } cases[] = {{AtMovieEnd::Black, {0.0, 0.5, 1.0, 1.0}}, {AtMovieEnd::Hold, {0, 0, 0, 0}}};
    for (const auto& c : cases) {
        MediaOutput output("Stage", 13, 7);
        auto movie = std::make_shared<EndedMoviePlayer>(test::upload(picture));
        MediaOutputState state = stateFor("black://");
        state.atMovieEnd = c.atEnd;
        state.looped = false;
        movie->setState(state);
        output.replaceRunningPlayer(movie);
        output.render(at(-1.0), std::nullopt);
        EXPECT_EQ(test::compare(test::readPixels(*output.outputBuffer()), picture, 2)
                      .pixelsBeyondTolerance,
                  0u)
            << "playing: the picture";
        movie->ended = true;
        const double seconds[] = {0.0, 0.25, 0.5, 2.0};
        for (int i = 0; i < 4; ++i) {
            SCOPED_TRACE(seconds[i]);
            output.render(at(seconds[i]), std::nullopt);
            Image expected = picture;
            for (std::size_t k = 0; k < expected.rgba.size(); ++k) {
                const double black = k % 4 == 3 ? 255.0 : 0.0;
                expected.rgba[k] = static_cast<std::uint8_t>(
                    std::lround(picture.rgba[k] + (black - picture.rgba[k]) * c.blackAt[i]));
            }
            EXPECT_EQ(test::compare(test::readPixels(*output.outputBuffer()), expected, 2)
                          .pixelsBeyondTolerance,
                      0u);
        }
    }
}

TEST_F(MediaOutputTest, MidFadePixelsAreTheLinearMixOfBothPlayers) {
    MediaOutput output("Stage", 13, 7);
    const Image outgoing = test::testPattern({13, 7});
    Image incoming = test::testPattern({13, 7}, 200);
    std::reverse(incoming.rgba.begin(), incoming.rgba.end());
    output.replaceRunningPlayer(std::make_shared<BufferPlayer>(test::upload(outgoing)));
    output.setNextPlayer(std::make_shared<BufferPlayer>(test::upload(incoming)));
    output.go();
    const Image mixed = rendered(output, 0.25);
    Image expected = outgoing;
    for (std::size_t i = 0; i < expected.rgba.size(); ++i) {
        expected.rgba[i] = static_cast<std::uint8_t>(
            std::lround(outgoing.rgba[i] + (incoming.rgba[i] - outgoing.rgba[i]) * 0.25));
    }
    EXPECT_EQ(test::compare(mixed, expected, 2).pixelsBeyondTolerance, 0u);
    EXPECT_FLOAT_EQ(output.crossfade(), 0.25f);
}

TEST_F(MediaOutputTest, ClearMixesAsTransparent) {
    MediaOutput output("Stage", 6, 4);
    output.replaceRunningPlayer(output.makePlayer(stateFor("black://")));
    output.setNextPlayer(output.makePlayer(stateFor("clear://")));
    output.go();
    const Image half = rendered(output, 0.5);
    const std::uint8_t* pixel = half.at(2, 2);
    EXPECT_EQ(pixel[0], 0);
    EXPECT_NEAR(pixel[3], 128, 1);
    output.completeTransition();
    EXPECT_EQ(rendered(output, std::nullopt).at(2, 2)[3], 0);
}

TEST_F(MediaOutputTest, TheOutgoingVolumeFollowsTheFadeOnEveryTick) {
    MediaOutput output("Stage", 4, 4);
    const GpuBufferRef frame = test::upload(test::testPattern({4, 4}));
    auto outgoing = std::make_shared<RecordingPlayer>(frame);
    auto incoming = std::make_shared<RecordingPlayer>(frame);
    output.replaceRunningPlayer(outgoing);
    output.setNextPlayer(incoming);
    EXPECT_EQ(output.go().started, incoming);
    EXPECT_EQ(incoming->plays, 0) << "started by the caller, outside its locks";
    for (double progress : {0.0, 0.1, 0.5, 0.9}) {
        rendered(output, progress);
    }
    const std::vector<float> expected = {1.0f, 0.9f, 0.5f, 0.1f};
    ASSERT_EQ(outgoing->volumes.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_FLOAT_EQ(outgoing->volumes[i], expected[i]);
    }
    EXPECT_TRUE(incoming->volumes.empty());
    const auto dropped = output.completeTransition();
    EXPECT_EQ(dropped, std::vector<MediaPlayerRef>{outgoing});
    EXPECT_EQ(output.players(), std::vector<MediaPlayerRef>{incoming});
}

// Red over blue when upright: stored portrait, or stored landscape (red left,
// blue right) and turned a quarter clockwise.
GpuBufferRef redOverBlue(bool storedOnItsSide) {
    Image picture{storedOnItsSide ? PixelSize{8, 4} : PixelSize{4, 8}, {}};
    picture.rgba.resize(4 * 8 * 4);
    for (int y = 0; y < picture.size.height; ++y) {
        for (int x = 0; x < picture.size.width; ++x) {
            const bool red = storedOnItsSide ? x < 4 : y < 4;
            std::uint8_t* pixel = picture.at(x, y);
            pixel[0] = red ? 255 : 0;
            pixel[2] = red ? 0 : 255;
            pixel[3] = 255;
        }
    }
    GpuBufferRef buffer = test::upload(picture);
    if (storedOnItsSide) buffer->setOrientation(PictureOrientation::Rotate90);
    return buffer;
}

// Verifies that the mixer places a portrait picture upright on a landscape
// output by its player's fit, with the output's bars beside it.
TEST_F(MediaOutputTest, PicturesArePlacedUprightByTheirFitWithTheOutputsBars) {
    enum Colour { Red, Blue, Clear, Black };
    const struct {
        PictureFit fit;
        PictureBars bars;
        // Columns 2, 7 and 13 of the 16x8 output, in rows 1 and 6.
        Colour top[3];
        Colour bottom[3];
    } cases[] = {
        {PictureFit::Fit, PictureBars::Transparent, {Clear, Red, Clear}, {Clear, Blue, Clear}},
        {PictureFit::Fit, PictureBars::Black, {Black, Red, Black}, {Black, Blue, Black}},
        {PictureFit::Fill, PictureBars::Black, {Red, Red, Red}, {Blue, Blue, Blue}},
        {PictureFit::Stretch, PictureBars::Black, {Red, Red, Red}, {Blue, Blue, Blue}},
    };
    const std::uint8_t colours[][4] = {
        {255, 0, 0, 255}, {0, 0, 255, 255}, {0, 0, 0, 0}, {0, 0, 0, 255}};
    for (bool sideways : {false, true}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(sideways ? "turned" : "portrait") + ", fit " +
                         std::to_string(static_cast<int>(c.fit)) + ", bars " +
                         std::to_string(static_cast<int>(c.bars)));
            MediaOutput output("Stage", 16, 8);
            output.setBars(c.bars);
            auto player = std::make_shared<RecordingPlayer>(redOverBlue(sideways));
            MediaOutputState state = stateFor("black://");
            state.fit = c.fit;
            player->setState(state);
            output.replaceRunningPlayer(player);
            const Image mixed = rendered(output, std::nullopt);
            const int columns[] = {2, 7, 13};
            for (std::size_t i = 0; i < 3; ++i) {
                for (const auto& [row, colour] :
                     {std::pair{1, c.top[i]}, std::pair{6, c.bottom[i]}}) {
                    const std::uint8_t* pixel = mixed.at(columns[i], row);
                    for (int k = 0; k < 4; ++k) {
                        EXPECT_NEAR(pixel[k], colours[colour][k], 2)
                            << "column " << columns[i] << " row " << row << " channel " << k;
                    }
                }
            }
        }
    }
}

TEST_F(MediaOutputTest, APlayerWithoutAFrameKeepsThePreviousFramePublished) {
    MediaOutput output("Stage", 4, 4);
    const Image first = rendered(output, std::nullopt);
    output.replaceRunningPlayer(std::make_shared<BufferPlayer>(nullptr));
    EXPECT_EQ(rendered(output, std::nullopt).rgba, first.rgba);
}

// A tick with the same pictures, fade and size as the last mix publishes that
// frame again instead of drawing it anew; any change draws.
TEST_F(MediaOutputTest, OnlyATickWithSomethingNewIsMixedAgain) {
    MediaOutput output("Stage", 4, 4);
    auto still = std::make_shared<BufferPlayer>(test::upload(test::testPattern({4, 4})));
    output.replaceRunningPlayer(still);
    output.render(DisplayTimeStamp{}, std::nullopt);
    const GpuBufferRef drawn = output.outputBuffer();
    output.render(DisplayTimeStamp{}, std::nullopt);
    EXPECT_EQ(output.outputBuffer(), drawn) << "the same still is not drawn again";

    output.replaceRunningPlayer(
        std::make_shared<BufferPlayer>(test::upload(test::testPattern({4, 4}, 90))));
    output.render(DisplayTimeStamp{}, std::nullopt);
    EXPECT_NE(output.outputBuffer(), drawn) << "a new picture is drawn";
    const GpuBufferRef second = output.outputBuffer();

    output.setSize(6, 4);
    output.render(DisplayTimeStamp{}, std::nullopt);
    EXPECT_EQ(output.outputBuffer()->size(), (PixelSize{6, 4})) << "a new size is drawn";

    // A crossfade draws each new fade value, and not a repeated one.
    output.setNextPlayer(std::make_shared<RecordingPlayer>(drawn));
    output.go();
    GpuBufferRef last = output.outputBuffer();
    for (const double progress : {0.25, 0.5}) {
        output.render(DisplayTimeStamp{}, progress);
        EXPECT_NE(output.outputBuffer(), last) << progress;
        last = output.outputBuffer();
        output.render(DisplayTimeStamp{}, progress);
        EXPECT_EQ(output.outputBuffer(), last) << progress;
    }
    EXPECT_NE(second, nullptr);
}

// A premultiplied picture that covers its output pixel for pixel is published
// as it is, with nothing drawn; one the mixer would change in any way (its
// size, straight alpha, a turn, a crossfade) is mixed.
TEST_F(MediaOutputTest, OnlyAPictureCoveringItsOutputAsItIsGoesOutUnmixed) {
    struct Case {
        const char* what;
        PixelSize picture;
        bool straightAlpha;
        PictureOrientation orientation;
        bool asItIs;
    };
    const Case cases[] = {
        {"covering", {4, 4}, false, PictureOrientation::Rotate0, true},
        {"another size", {2, 4}, false, PictureOrientation::Rotate0, false},
        {"straight alpha", {4, 4}, true, PictureOrientation::Rotate0, false},
        {"turned", {4, 4}, false, PictureOrientation::Rotate180, false},
    };
    for (const Case& c : cases) {
        MediaOutput output("Stage", 4, 4);
        const Image image = test::testPattern(c.picture);
        const GpuBufferRef picture = test::upload(image);
        PictureEncoding encoding;
        encoding.straightAlpha = c.straightAlpha;
        picture->setEncoding(encoding);
        picture->setOrientation(c.orientation);
        output.replaceRunningPlayer(std::make_shared<RecordingPlayer>(picture));
        const Image shown = rendered(output, std::nullopt);
        EXPECT_EQ(output.outputBuffer() == picture, c.asItIs) << c.what;
        if (c.asItIs) {
            EXPECT_EQ(shown.rgba, image.rgba) << c.what;
        }
    }
    MediaOutput output("Stage", 4, 4);
    const GpuBufferRef picture = test::upload(test::testPattern({4, 4}));
    output.setNextPlayer(std::make_shared<RecordingPlayer>(picture));
    output.go();
    output.render(DisplayTimeStamp{}, 0.5);
    EXPECT_NE(output.outputBuffer(), picture) << "mid-fade";
}

TEST_F(MediaOutputTest, GoDuringAFadeWithoutANextPlayerKeepsTheIncomingOneRunning) {
    MediaOutput output("Stage", 4, 4);
    const GpuBufferRef frame = test::upload(test::testPattern({4, 4}));
    auto incoming = std::make_shared<RecordingPlayer>(frame);
    output.setNextPlayer(incoming);
    EXPECT_EQ(output.go().started, incoming);
    rendered(output, 0.5);
    const MediaOutput::GoResult second = output.go();
    EXPECT_FALSE(second.started) << "not started again";
    const auto players = output.players();
    ASSERT_EQ(players.size(), 2u);
    EXPECT_NE(dynamic_cast<BufferPlayer*>(players[0].get()), nullptr);
    EXPECT_EQ(players[1], incoming);
}

TEST_F(MediaOutputTest, ResizingReplacesGeneratorPlayersAtOnceAndKeepsOthers) {
    MediaOutput output("Stage", 8, 6);
    const auto still = std::make_shared<BufferPlayer>(test::upload(test::testPattern({2, 2})));
    output.setNextPlayer(output.makePlayer(stateFor("clear://")));
    output.go();  // [grid, clear]
    output.setNextPlayer(output.makePlayer(stateFor("black://")));
    output.setSize(5, 3);
    const auto players = output.players();
    ASSERT_EQ(players.size(), 2u);
    auto* grid = dynamic_cast<GridPlayer*>(players[0].get());
    auto* clear = dynamic_cast<ClearPlayer*>(players[1].get());
    auto* black = dynamic_cast<BlackPlayer*>(output.nextPlayer().get());
    ASSERT_TRUE(grid && clear && black);
    EXPECT_EQ(grid->size(), (PixelSize{5, 3}));
    EXPECT_EQ(clear->size(), (PixelSize{5, 3}));
    EXPECT_EQ(black->size(), (PixelSize{5, 3}));
    EXPECT_EQ(clear->state()->mediaURL.absoluteString(), "clear://");

    output.replaceRunningPlayer(still);
    output.setSize(7, 7);
    EXPECT_EQ(output.runningPlayer(), still);
    EXPECT_EQ(rendered(output, std::nullopt).size, (PixelSize{7, 7}));
}

TEST_F(MediaOutputTest, PlayerSelectionFallsBackToBlack) {
    MediaOutput output("Stage", 4, 4);
    EXPECT_NE(dynamic_cast<BlackPlayer*>(output.makePlayer(stateFor("black://")).get()), nullptr);
    EXPECT_NE(dynamic_cast<ClearPlayer*>(output.makePlayer(stateFor("clear://")).get()), nullptr);
    EXPECT_NE(dynamic_cast<GridPlayer*>(output.makePlayer(stateFor("grid://")).get()), nullptr);
    // Exact text only: any other URL, a missing file and a file of no media
    // type play as black.
    for (const std::string& url :
         {std::string("Grid://"), std::string("clear:///"),
          MediaURL::fileURL("/nonexistent/movie.webm").absoluteString(),
          MediaURL::fileURL((test::testMediaDir() / "notes.txt").string()).absoluteString()}) {
        const auto state = MediaURL::fromString(url);
        if (!state) {
            continue;
        }
        MediaOutputState s;
        s.mediaURL = *state;
        EXPECT_NE(dynamic_cast<BlackPlayer*>(output.makePlayer(s).get()), nullptr) << url;
    }
    const MediaPlayerRef grid = output.makePlayer(stateFor("grid://"));
    EXPECT_EQ(dynamic_cast<GridPlayer&>(*grid).size(), (PixelSize{4, 4}));
    grid->play();
    grid->setVolume(0.3f);
    EXPECT_EQ(grid->frameForTime({}), grid->frameForTime({})) << "rendered once, then cached";
}

// Verifies that a movie which would leave the process short of file
// descriptors is refused with a warning and plays as black, and that it plays
// once they are there again.
TEST_F(MediaOutputTest, AMovieIsRefusedWhenFileDescriptorsRunShort) {
    MediaOutput output("Stage", 4, 4);
    MediaOutputState movie;
    movie.mediaURL = MediaURL::fileURL((test::testMediaDir() / "movie-h264.mp4").string());
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    const std::optional<DescriptorBudget::Count> now = DescriptorBudget::count();
    ASSERT_TRUE(now);
    const std::size_t enough =
        now->open + MediaOutput::kDescriptorReserve + VideoPlayer::kDescriptorsNeeded;
    ASSERT_LE(enough, saved.rlim_max) << "the hard limit leaves no room for the test";

    const struct {
        std::size_t limit;
        bool plays;
    } cases[] = {{enough - 1, false}, {enough + 8, true}};
    ::setenv("BEAMWRIGHT_AUDIO_SINK", "fakesink", 1);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.limit);
#if defined(__SANITIZE_THREAD__)
        // GStreamer's threads synchronise in code built without
        // ThreadSanitizer, which reports their hand-overs as races: only
        // the refusal, which builds no pipeline, is checked there.
        if (c.plays) continue;
#endif
        rlimit lowered = saved;
        lowered.rlim_cur = c.limit;
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
        SystemLog::ScopedCapture log;
        const MediaPlayerRef player = output.makePlayer(movie);
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
        EXPECT_EQ(dynamic_cast<VideoPlayer*>(player.get()) != nullptr, c.plays);
        EXPECT_EQ(dynamic_cast<BlackPlayer*>(player.get()) != nullptr, !c.plays);
        EXPECT_EQ(player->state(), movie);
        const std::vector<std::string> lines = log.lines();
        const bool warned = std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
            return line.find("movie-h264.mp4: too few file descriptors left") != std::string::npos;
        });
        EXPECT_EQ(warned, !c.plays);
    }
    // The movie's pipeline thread ends before the test does.
    EXPECT_TRUE(VideoPlayer::waitForStoppedPipelines());
}

}  // namespace
}  // namespace bw
