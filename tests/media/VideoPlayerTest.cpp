#include <fcntl.h>
#include <gst/check/gsttestclock.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/MediaOutput.h"
#include "media/VideoPlayer.h"
#include "platform/Clock.h"
#include "platform/SystemLog.h"
#include "render/RenderTestSupport.h"
#include "support/Deadline.h"
#include "support/TempDir.h"

// GLib never frees the first block of its quark table once more than 2048
// quarks exist (GStreamer's plugins register thousands): readers use the table
// without a lock. The block is allocated by GLib's load-time constructor, so a
// fast-unwound stack names only g_malloc in libglib.
#if defined(__SANITIZE_ADDRESS__)
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libglib-2.0.so\n";
}
#endif

namespace bw {
namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

// Waits end on their condition; the deadline only ends a test gone wrong.
const std::chrono::milliseconds kDeadline = test::scaled(15s);
// The pictures in each of the two-second test movies.
constexpr std::uint64_t kMoviePictures = 50;

class VideoPlayerTest : public test::RenderTest {
protected:
    void SetUp() override {
        ::setenv("BEAMWRIGHT_AUDIO_SINK", "fakesink", 1);
        // One plugin registry for all test processes (each has its own cache
        // folder), instead of a rebuild per process.
        ::setenv("GST_REGISTRY", BW_TEST_MEDIA_DIR "/../gst-registry.bin", 0);
        test::RenderTest::SetUp();
    }
    void TearDown() override {
        VideoPlayer::waitForStoppedPipelines();
        test::RenderTest::TearDown();
    }

    // A player for a generated file; none (and the test skipped by the caller)
    // when this machine could not make it.
    static std::unique_ptr<VideoPlayer> open(const std::string& name, bool muted = false,
                                             bool looped = false) {
        const std::string path = test::testMediaPath(name);
        if (!std::filesystem::exists(path)) {
            return nullptr;
        }
        return std::make_unique<VideoPlayer>(MediaURL::fileURL(path), muted, looped);
    }

    // Asks for frames, as the render thread does, until `done` holds or the
    // deadline passes.
    static bool tickUntil(VideoPlayer& player, const std::function<bool()>& done,
                          std::chrono::milliseconds timeout = kDeadline) {
        const auto deadline = SteadyClock::now() + timeout;
        while (SteadyClock::now() < deadline) {
            player.frameForTime(DisplayTimeStamp{});
            if (done()) {
                return true;
            }
            std::this_thread::sleep_for(5ms);
        }
        return done();
    }

    static GpuBufferRef firstFrame(VideoPlayer& player) {
        GpuBufferRef frame;
        tickUntil(player,
                  [&] { return (frame = player.frameForTime(DisplayTimeStamp{})) != nullptr; });
        return frame;
    }

    static std::size_t warnings(const SystemLog::ScopedCapture& capture) {
        std::size_t count = 0;
        for (const std::string& line : capture.lines()) {
            count += line.find("Warning: cannot play") != std::string::npos ? 1 : 0;
        }
        return count;
    }
};

// Verifies that a movie whose container turns it (stored 32x16, red left of
// blue, tagged rotate-90) carries its turn with its pictures, not in their
// pixels, and that an output fitting it shows it upright: 16x32, red above
// blue, with bars beside it.
TEST_F(VideoPlayerTest, ARotatedMovieIsShownUprightByItsTag) {
    auto player = std::shared_ptr<VideoPlayer>(open("movie-rotate-90.mp4", true, true));
    if (!player) {
        if (std::getenv("CI") != nullptr) FAIL() << "the rotated test movie was not made";
        GTEST_SKIP() << "the rotated test movie was not made (no H.264 encoder)";
    }
    const GpuBufferRef frame = firstFrame(*player);
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(frame->size(), (PixelSize{32, 16})) << "the pixels stay as stored";
    EXPECT_EQ(frame->orientation(), PictureOrientation::Rotate90);
    EXPECT_EQ(player->orientation(), PictureOrientation::Rotate90);

    MediaOutput output("Stage", 32, 32);
    MediaOutputState state;
    state.mediaURL = player->url();
    state.fit = PictureFit::Fit;
    player->setState(state);
    output.replaceRunningPlayer(player);
    output.render(DisplayTimeStamp{}, std::nullopt);
    const test::Image mixed = test::readPixels(*output.outputBuffer());
    const auto near = [&](int x, int y, std::array<int, 4> expected) {
        const std::uint8_t* pixel = mixed.at(x, y);
        for (std::size_t k = 0; k < 4; ++k) {
            if (std::abs(pixel[k] - expected[k]) > 40) return false;
        }
        return true;
    };
    EXPECT_TRUE(near(16, 6, {220, 30, 30, 255})) << "red above";
    EXPECT_TRUE(near(16, 26, {30, 30, 220, 255})) << "blue below";
    for (int x : {3, 28}) {
        EXPECT_TRUE(near(x, 16, {0, 0, 0, 0})) << "transparent bars at column " << x;
    }
}

// An anamorphic movie (square as stored, its pixels twice as wide as high)
// is placed by its displayed shape: under "fit" on a square output it covers
// the middle half of the height, with bars above and below; stretched, all.
TEST_F(VideoPlayerTest, AnAnamorphicMovieIsPlacedByItsDisplayedShape) {
    auto player = std::shared_ptr<VideoPlayer>(open("movie-anamorphic.mkv", true, true));
    if (!player) {
        if (std::getenv("CI") != nullptr) FAIL() << "the anamorphic test movie was not made";
        GTEST_SKIP() << "the anamorphic test movie was not made (no H.264 encoder)";
    }
    const GpuBufferRef frame = firstFrame(*player);
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(frame->size(), (PixelSize{16, 16}));
    EXPECT_DOUBLE_EQ(frame->pixelAspect(), 2.0);
    for (const PictureFit fit : {PictureFit::Fit, PictureFit::Stretch}) {
        SCOPED_TRACE(static_cast<int>(fit));
        MediaOutput output("Stage", 32, 32);
        MediaOutputState state;
        state.mediaURL = player->url();
        state.fit = fit;
        player->setState(state);
        output.replaceRunningPlayer(player);
        output.render(DisplayTimeStamp{}, std::nullopt);
        const test::Image mixed = test::readPixels(*output.outputBuffer());
        const bool fitted = fit == PictureFit::Fit;
        for (const int row : {3, 28})
            EXPECT_EQ(mixed.at(16, row)[3], fitted ? 0 : 255) << row;
        for (const int row : {10, 16, 21})
            EXPECT_GT(mixed.at(16, row)[0], 200) << row;
    }
}

// Interlaced movies (every top field white, every bottom field black) are
// shown deinterlaced, in 8 bits a sample and in the 10 the deinterlacer does
// not take: no picture is striped line by line.
TEST_F(VideoPlayerTest, InterlacedMoviesAreShownDeinterlaced) {
    for (const char* name : {"movie-interlaced.mkv", "movie-interlaced-10bit.mkv"}) {
        SCOPED_TRACE(name);
        auto player = std::shared_ptr<VideoPlayer>(open(name, true, true));
        if (!player) {
            if (std::getenv("CI") != nullptr) FAIL() << "the interlaced test movie was not made";
            GTEST_SKIP() << "the interlaced test movies were not made (no H.264 encoder)";
        }
        const GpuBufferRef frame = firstFrame(*player);
        ASSERT_NE(frame, nullptr);
        MediaOutput output("Stage", 64, 36);
        MediaOutputState state;
        state.mediaURL = player->url();
        player->setState(state);
        output.replaceRunningPlayer(player);
        output.render(DisplayTimeStamp{}, std::nullopt);
        const test::Image mixed = test::readPixels(*output.outputBuffer());
        int largestStep = 0;
        for (int y = 2; y + 1 < 34; ++y) {
            largestStep =
                std::max(largestStep, std::abs(mixed.at(32, y)[1] - mixed.at(32, y + 1)[1]));
        }
        EXPECT_LT(largestStep, 60) << "neighbouring lines differ as fields do";
    }
}

TEST_F(VideoPlayerTest, PrerolledFrameArrivesWithoutPlayAndHoldsStill) {
    auto player = open("movie-h264.mp4");
    ASSERT_TRUE(player);
    EXPECT_EQ(player->url(), MediaURL::fileURL(test::testMediaPath("movie-h264.mp4")));
    const GpuBufferRef frame = firstFrame(*player);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->size(), (PixelSize{66, 38}));

    // Colour bars, left to right: grey, yellow, cyan, green, magenta, red, blue.
    // Catches swapped channels and a wrong row stride.
    const test::Image image = test::readPixels(*frame);
    const auto bar = [&](int index) { return image.at(index * 66 / 7 + 4, 10); };
    EXPECT_GT(bar(1)[0], 150);  // yellow
    EXPECT_GT(bar(1)[1], 150);
    EXPECT_LT(bar(1)[2], 60);
    EXPECT_LT(bar(2)[0], 60);  // cyan
    EXPECT_GT(bar(2)[2], 150);
    EXPECT_GT(bar(5)[0], 150);  // red
    EXPECT_LT(bar(5)[1], 60);
    EXPECT_EQ(bar(5)[3], 255);

    // Paused: later requests and warmUp hand out the same picture.
    std::this_thread::sleep_for(200ms);
    player->warmUp();
    EXPECT_EQ(player->frameForTime(DisplayTimeStamp{}), frame);
    EXPECT_EQ(player->framesDecoded(), 1U);
}

// The prerolled picture reaches the appsink on a streaming thread at any
// moment: frame requests made back to back, with no pause between them, meet
// it at every point of a request, and every player still shows it.
TEST_F(VideoPlayerTest, APrerolledPictureIsNeverLostToAFrameRequestUnderWay) {
    for (int round = 0; round < 12; ++round) {
        auto player = open("movie-vp8.webm");
        ASSERT_TRUE(player);
        GpuBufferRef frame;
        const auto deadline = SteadyClock::now() + kDeadline;
        while (!(frame = player->frameForTime(DisplayTimeStamp{})) &&
               SteadyClock::now() < deadline) {
        }
        ASSERT_TRUE(frame) << "round " << round;
        EXPECT_EQ(player->framesDecoded(), 1U);
    }
}

// The picture on show is known again by its buffer and timestamp, without a
// reference that would keep a pooled buffer from its pool; a pooled buffer
// handed out again with another picture is not taken for it, and a picture
// without a timestamp is held so that its buffer cannot come back as another.
TEST(VideoPlayerShownPictureTest, KnowsItsPictureAgainAndNoRefilledBuffer) {
    struct Case {
        const char* what;
        GstClockTime shownPts;
        GstClockTime laterPts;  // the same buffer when it comes out again
        bool same;
        int references;  // on the buffer while it is the one shown
    };
    for (const Case c :
         {Case{"handed out again", 40'000'000, 40'000'000, true, 1},
          Case{"refilled by its pool", 40'000'000, 80'000'000, false, 1},
          Case{"no timestamp, held", GST_CLOCK_TIME_NONE, GST_CLOCK_TIME_NONE, true, 2}}) {
        GstBuffer* const buffer = gst_buffer_new();
        GstBuffer* const other = gst_buffer_new();
        GST_BUFFER_PTS(buffer) = c.shownPts;
        GST_BUFFER_PTS(other) = c.shownPts;
        {
            VideoPlayer::ShownPicture shown;
            shown.remember(buffer);
            EXPECT_EQ(GST_MINI_OBJECT_REFCOUNT_VALUE(buffer), c.references) << c.what;
            EXPECT_FALSE(shown.is(other)) << c.what;
            if (c.references == 1) GST_BUFFER_PTS(buffer) = c.laterPts;
            EXPECT_EQ(shown.is(buffer), c.same) << c.what;
            shown.remember(other);
            EXPECT_EQ(GST_MINI_OBJECT_REFCOUNT_VALUE(buffer), 1) << c.what;
        }
        gst_buffer_unref(other);
        gst_buffer_unref(buffer);
    }
}

TEST_F(VideoPlayerTest, WarmUpUploadsThePrerolledFrame) {
    auto player = open("movie-vp8.webm");
    ASSERT_TRUE(player);
    const auto deadline = SteadyClock::now() + kDeadline;
    while (player->framesDecoded() == 0 && SteadyClock::now() < deadline) {
        player->warmUp();
        std::this_thread::sleep_for(5ms);
    }
    ASSERT_EQ(player->framesDecoded(), 1U);
    EXPECT_TRUE(player->frameForTime(DisplayTimeStamp{}));
}

TEST_F(VideoPlayerTest, PlayAdvancesThroughNewPictures) {
    auto player = open("movie-h264.mp4");
    ASSERT_TRUE(player);
    const GpuBufferRef first = firstFrame(*player);
    ASSERT_TRUE(first);
    player->play();
    EXPECT_TRUE(tickUntil(*player, [&] { return player->framesDecoded() >= 10; }));
    EXPECT_NE(player->frameForTime(DisplayTimeStamp{}), first);
    EXPECT_FALSE(player->failed());
}

TEST_F(VideoPlayerTest, MutedMovieIgnoresVolumeAndUnmutedFollowsIt) {
    auto muted = open("movie-sound.mkv", true);
    auto unmuted = open("movie-sound.mkv", false);
    if (!muted) {
        GTEST_SKIP() << "no movie with sound on this machine";
    }
    EXPECT_TRUE(muted->isMuted());
    EXPECT_TRUE(muted->pipelineMuted());
    EXPECT_FALSE(unmuted->pipelineMuted());
    muted->play();
    unmuted->play();
    // The level reaches the pipeline on its own thread, a moment later.
    for (float volume : {0.75F, 0.25F, 0.0F}) {
        muted->setVolume(volume);
        unmuted->setVolume(volume);
        EXPECT_TRUE(tickUntil(*unmuted, [&] { return std::abs(unmuted->volume() - volume) < 1e-6; }));
        EXPECT_DOUBLE_EQ(muted->volume(), 1.0);
    }
    EXPECT_TRUE(muted->pipelineMuted());
    EXPECT_TRUE(firstFrame(*muted));
}

// Records what a whole pass of the movie sends to the sound output, muted and
// not: muted, every sample is silence (below -100 dBFS), whatever level the
// fade asks for; unmuted, the tone is there.
TEST_F(VideoPlayerTest, AMutedMovieSendsOnlySilenceToTheSoundOutput) {
    const std::string movie = test::testMediaPath("movie-sound.mkv");
    if (!std::filesystem::exists(movie)) {
        GTEST_SKIP() << "no movie with sound on this machine";
    }
    test::TempDir dir;
    for (const bool muted : {true, false}) {
        SCOPED_TRACE(muted ? "muted" : "unmuted");
        const std::string wav = (dir.path() / (muted ? "muted.wav" : "unmuted.wav")).string();
        ::setenv(
            "BEAMWRIGHT_AUDIO_SINK",
            ("audioconvert ! audio/x-raw,format=S16LE ! wavenc ! filesink location=" + wav).c_str(),
            1);
        {
            VideoPlayer player(MediaURL::fileURL(movie), muted, false);
            player.setVolume(1.0F);
            player.play();
            ASSERT_TRUE(tickUntil(player, [&] { return player.ended(); }));
        }
        ASSERT_TRUE(VideoPlayer::waitForStoppedPipelines(kDeadline));
        std::ifstream in(wav, std::ios::binary);
        std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
        // The data chunk follows a 44-byte header that gives its length; tags
        // may follow it.
        constexpr std::size_t kHeader = 44;
        ASSERT_GT(bytes.size(), kHeader);
        std::uint32_t length = 0;
        std::memcpy(&length, bytes.data() + kHeader - 4, sizeof length);
        const std::size_t end = std::min<std::size_t>(bytes.size(), kHeader + length);
        ASSERT_GT(end, kHeader + 48000) << "hardly any sound recorded";
        int peak = 0;
        for (std::size_t i = kHeader; i + 1 < end; i += 2) {
            const auto sample =
                static_cast<std::int16_t>(static_cast<std::uint8_t>(bytes[i]) |
                                          (static_cast<std::uint8_t>(bytes[i + 1]) << 8));
            peak = std::max(peak, std::abs(static_cast<int>(sample)));
        }
        const double dbfs = 20.0 * std::log10(std::max(peak, 1) / 32768.0);
        if (muted) {
            EXPECT_EQ(peak, 0) << dbfs << " dBFS";
        } else {
            EXPECT_GT(dbfs, -40.0);
        }
    }
    ::setenv("BEAMWRIGHT_AUDIO_SINK", "fakesink", 1);
}

TEST_F(VideoPlayerTest, LoopedMovieRunsOnPastItsEnd) {
    auto player = open("movie-h264.mp4", false, true);
    ASSERT_TRUE(player);
    EXPECT_TRUE(player->isLooped());
    ASSERT_TRUE(firstFrame(*player));
    player->play();
    // More pictures shown than the movie has: it went on past its end.
    EXPECT_TRUE(
        tickUntil(*player, [&] { return player->framesDecoded() > kMoviePictures + 3; }));
    EXPECT_GE(player->loopCount(), 1U);
    EXPECT_FALSE(player->ended());
    EXPECT_FALSE(player->failed());
}

TEST_F(VideoPlayerTest, UnloopedMovieHoldsItsLastPicture) {
    auto player = open("movie-vp8.webm");
    ASSERT_TRUE(player);
    ASSERT_TRUE(firstFrame(*player));
    player->play();
    ASSERT_TRUE(tickUntil(*player, [&] { return player->ended(); }));
    const GpuBufferRef last = player->frameForTime(DisplayTimeStamp{});
    const std::uint64_t frames = player->framesDecoded();
    ASSERT_TRUE(last);
    // Pictures skipped while this thread waited are not counted: more than
    // the first says only that it played.
    EXPECT_GT(frames, 1U);
    std::this_thread::sleep_for(300ms);  // room for a picture that should not come
    EXPECT_EQ(player->frameForTime(DisplayTimeStamp{}), last);
    EXPECT_EQ(player->framesDecoded(), frames);
    EXPECT_EQ(player->loopCount(), 0U);
}

TEST_F(VideoPlayerTest, EveryGeneratedCodecDecodesAFirstFrame) {
    SystemLog::ScopedCapture capture;
    int tried = 0;
    for (const char* name : {"movie-h264.mp4", "movie-hevc.mkv", "movie-prores.mov",
                             "movie-vp8.webm", "movie-vp9.webm", "movie-mjpeg.avi", "movie-hap.mov",
                             "movie-sound.mkv", "movie-without-extension"}) {
        auto player = open(name);
        if (!player) {
            continue;
        }
        ++tried;
        const GpuBufferRef frame = firstFrame(*player);
        ASSERT_TRUE(frame) << name;
        EXPECT_GE(frame->size().width, 64) << name;
        EXPECT_FALSE(player->failed()) << name;
    }
    EXPECT_GE(tried, 3);
    EXPECT_EQ(warnings(capture), 0U);
}

TEST_F(VideoPlayerTest, DamagedAndMissingFilesWarnOnceAndShowNothing) {
    for (const char* name : {"corrupt.png", "notes.txt", "no-such-movie.mp4"}) {
        SystemLog::ScopedCapture capture;
        auto player = std::make_unique<VideoPlayer>(MediaURL::fileURL(test::testMediaPath(name)),
                                                    false, true);
        player->play();
        EXPECT_TRUE(tickUntil(*player, [&] { return player->failed(); })) << name;
        EXPECT_FALSE(player->frameForTime(DisplayTimeStamp{})) << name;
        player.reset();
        VideoPlayer::waitForStoppedPipelines();
        ASSERT_EQ(warnings(capture), 1U) << name;
        EXPECT_NE(capture.lines().back().find(test::testMediaPath(name) + ": "), std::string::npos);
    }
}

TEST_F(VideoPlayerTest, TruncatedMoviePlaysWhatDecodesThenStops) {
    SystemLog::ScopedCapture capture;
    auto player = open("movie-truncated.mkv");
    ASSERT_TRUE(player);
    player->play();
    EXPECT_TRUE(tickUntil(*player, [&] { return player->ended() || player->failed(); }));
    EXPECT_TRUE(player->frameForTime(DisplayTimeStamp{}));
    EXPECT_TRUE(tickUntil(*player, [&] { return warnings(capture) > 0; }));
    std::this_thread::sleep_for(100ms);  // room for a second warning that should not come
    EXPECT_EQ(warnings(capture), 1U);
}

TEST_F(VideoPlayerTest, ReleasingAPlayingMovieReturns) {
    auto player = open("movie-sound.mkv", false, true);
    if (!player) {
        GTEST_SKIP() << "no movie with sound on this machine";
    }
    ASSERT_TRUE(firstFrame(*player));
    player->play();
    tickUntil(*player, [&] { return player->framesDecoded() >= 5; });

    // Released on a thread without a GL context (the main thread's case); a
    // hang fails here instead of stalling the suite.
    auto released =
        std::async(std::launch::async, [p = std::move(player)]() mutable { p.reset(); });
    EXPECT_EQ(released.wait_for(kDeadline), std::future_status::ready);

    // Released on the render thread.
    auto second = open("movie-h264.mp4", false, true);
    second->play();
    tickUntil(*second, [&] { return second->framesDecoded() >= 5; });
    second.reset();
    auto stopped = std::async(std::launch::async, [] { VideoPlayer::waitForStoppedPipelines(); });
    EXPECT_EQ(stopped.wait_for(kDeadline), std::future_status::ready);
}

// Several movies playing at once, their pictures taken as the render thread
// takes them. Verifies that no picture is held in a way that keeps the
// decoder's sink from reusing what it hands out (GStreamer reports that as a
// CRITICAL, which fails any test).
TEST_F(VideoPlayerTest, SeveralPlayingMoviesTakeTheirPicturesCleanly) {
    // Started at once, as a cue gone to straight by number starts them: the
    // loop's flushing seek then comes while pictures are already taken.
    std::vector<std::unique_ptr<VideoPlayer>> players;
    for (int round = 0; round < 3; ++round) {
        for (const char* name : {"movie-h264.mp4", "movie-vp8.webm", "movie-mjpeg.avi"}) {
            if (auto player = open(name, true, true)) {
                player->play();
                players.push_back(std::move(player));
            }
        }
    }
    ASSERT_GE(players.size(), 3U);
    // Each through its first loop and on: the movies loop, so every one
    // gets there however busy the machine.
    const auto allPastTenPictures = [&] {
        return std::ranges::all_of(players, [](const auto& p) { return p->framesDecoded() > 10; });
    };
    const auto deadline = SteadyClock::now() + kDeadline;
    while (!allPastTenPictures() && SteadyClock::now() < deadline) {
        for (auto& player : players) {
            player->frameForTime(DisplayTimeStamp{});
        }
        std::this_thread::sleep_for(1ms);
    }
    for (auto& player : players) {
        EXPECT_GT(player->framesDecoded(), 10U);
        EXPECT_FALSE(player->failed());
    }
}

// A title card made as a one-frame movie, looped and armed as the next cue,
// ends its pass while still paused. Verifies that it neither stalls other
// movies' loops while it waits nor the player when GO starts it, and that
// it then keeps showing its picture.
TEST_F(VideoPlayerTest, LoopedOneFrameMoviesWaitForGoWithoutStallingOtherMovies) {
    std::vector<std::unique_ptr<VideoPlayer>> cards;
    for (const char* name : {"movie-1frame.mp4", "movie-1frame.mov"}) {
        if (auto card = open(name, true, true)) {
            cards.push_back(std::move(card));
        }
    }
    ASSERT_FALSE(cards.empty()) << "no one-frame movie on this machine";
    for (auto& card : cards) {
        ASSERT_TRUE(firstFrame(*card));
    }

    // A 2 s movie playing meanwhile still loops past its end.
    auto running = open("movie-h264.mp4", true, true);
    ASSERT_TRUE(running);
    running->play();
    EXPECT_TRUE(tickUntil(*running, [&] { return running->loopCount() >= 1; }));

    auto started = std::async(std::launch::async, [&] {
        for (auto& card : cards) card->play();
    });
    ASSERT_EQ(started.wait_for(kDeadline), std::future_status::ready);
    for (auto& card : cards) {
        const std::uint64_t before = card->loopCount();
        EXPECT_TRUE(tickUntil(*card, [&] { return card->loopCount() >= before + 10; }));
        EXPECT_TRUE(card->frameForTime(DisplayTimeStamp{}));
        EXPECT_FALSE(card->failed());
    }
    const std::uint64_t loops = running->loopCount();
    EXPECT_TRUE(tickUntil(*running, [&] { return running->loopCount() > loops; }));
}

// A movie file that never answers (a named pipe nobody writes to) hangs its
// pipeline while it opens. Verifies that this stops only that movie: its
// player starts, changes volume and is released without waiting, another
// movie plays on, and quitting is told in time that a pipeline did not stop.
TEST_F(VideoPlayerTest, AHangingPipelineStopsOnlyItsOwnMovie) {
    test::TempDir dir;
    const std::string fifo = dir.path() / "hangs.mp4";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    auto stuck = std::make_unique<VideoPlayer>(MediaURL::fileURL(fifo), false, true);
    auto other = open("movie-h264.mp4", true, true);
    ASSERT_TRUE(other);

    auto calls = std::async(std::launch::async, [&] {
        stuck->play();
        stuck->setVolume(0.5F);
        stuck->frameForTime(DisplayTimeStamp{});
        stuck.reset();
    });
    ASSERT_EQ(calls.wait_for(kDeadline), std::future_status::ready);

    other->play();
    EXPECT_TRUE(tickUntil(*other, [&] { return other->framesDecoded() >= 10; }));
    other.reset();
    EXPECT_FALSE(VideoPlayer::waitForStoppedPipelines(300ms));

    // A writer handing over a whole movie at every open lets the stuck
    // pipeline go on; it then stops as it was told and is freed.
    const std::string movie = test::readFile(test::testMediaPath("movie.webm"));
    std::atomic<bool> serving{true};
    std::thread writer([&] {
        // A reader that closes early gives EPIPE here instead of SIGPIPE.
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
        while (serving) {
            const int fd = ::open(fifo.c_str(), O_WRONLY);
            if (fd < 0) break;
            if (serving) (void)!::write(fd, movie.data(), movie.size());
            ::close(fd);
        }
    });
    EXPECT_TRUE(VideoPlayer::waitForStoppedPipelines(kDeadline));
    serving = false;
    ::close(::open(fifo.c_str(), O_RDONLY | O_NONBLOCK));  // releases the writer's open
    writer.join();
}

// Verifies that a movie takes a state in place only for its own file and
// motion flag, and then holds the new muted and looped flags.
TEST_F(VideoPlayerTest, AdoptsTheFlagsOfItsOwnMovieOnly) {
    auto player = open("movie-h264.mp4", true, true);
    ASSERT_TRUE(player);
    const MediaURL other = MediaURL::fileURL(test::testMediaPath("movie-vp8.webm"));
    EXPECT_FALSE(player->adoptState(MediaOutputState{other, false, false, false}));
    EXPECT_FALSE(player->adoptState(MediaOutputState{player->url(), false, false, true}));
    EXPECT_TRUE(player->isMuted());
    EXPECT_TRUE(player->isLooped());
    EXPECT_FALSE(player->state());

    const MediaOutputState state{player->url(), false, false, false};
    EXPECT_TRUE(player->adoptState(state));
    EXPECT_EQ(player->state(), state);
    EXPECT_FALSE(player->isMuted());
    EXPECT_FALSE(player->isLooped());
}

// Verifies that sound turned on while the movie plays comes at the level last
// asked for while it was off, and that it can be turned off again.
TEST_F(VideoPlayerTest, SoundTurnedOnPlaysAtTheLevelAskedForMeanwhile) {
    auto player = open("movie-sound.mkv", true, true);
    if (!player) {
        GTEST_SKIP() << "no movie with sound on this machine";
    }
    player->play();
    player->setVolume(0.4F);
    ASSERT_TRUE(tickUntil(*player, [&] { return player->framesDecoded() >= 3; }));
    EXPECT_DOUBLE_EQ(player->volume(), 1.0);

    ASSERT_TRUE(player->adoptState(MediaOutputState{player->url(), false, true, false}));
    EXPECT_TRUE(tickUntil(*player, [&] { return !player->pipelineMuted(); }));
    EXPECT_NEAR(player->volume(), 0.4, 1e-6);
    ASSERT_TRUE(player->adoptState(MediaOutputState{player->url(), true, true, false}));
    EXPECT_TRUE(tickUntil(*player, [&] { return player->pipelineMuted(); }));
}

// Verifies that looping turned on for a movie started unlooped takes it past
// its end, whether it comes while the first pass plays or after the movie
// ended, and that it goes on looping from then on.
TEST_F(VideoPlayerTest, LoopingTurnedOnTakesAnUnloopedMoviePastItsEnd) {
    for (const bool afterTheEnd : {false, true}) {
        auto player = open("movie-vp8.webm");
        ASSERT_TRUE(player);
        ASSERT_TRUE(firstFrame(*player));
        player->play();
        if (afterTheEnd) {
            ASSERT_TRUE(tickUntil(*player, [&] { return player->ended(); }));
        } else {
            ASSERT_TRUE(tickUntil(*player, [&] { return player->framesDecoded() >= 5; }));
        }
        ASSERT_TRUE(player->adoptState(MediaOutputState{player->url(), false, true, false}));
        const std::uint64_t frames = player->framesDecoded();
        // The second seam comes when the demuxer has sent the pass, a few
        // pictures before they are shown; then most of a pass more is shown
        // (pictures skipped while this thread waited are not counted, so it
        // is waited for).
        EXPECT_TRUE(tickUntil(*player, [&] {
            return player->loopCount() >= 2 && player->framesDecoded() > frames + 30;
        })) << "after the end: " << afterTheEnd;
        EXPECT_FALSE(player->ended());
        EXPECT_FALSE(player->failed());
    }
}

// Verifies that looping turned off lets the pass under way play to its end:
// the movie then ends, and its last picture stays.
TEST_F(VideoPlayerTest, LoopingTurnedOffEndsTheMovieAfterThisPass) {
    auto player = open("movie-vp8.webm", false, true);
    ASSERT_TRUE(player);
    ASSERT_TRUE(firstFrame(*player));
    player->play();
    ASSERT_TRUE(tickUntil(*player, [&] { return player->framesDecoded() >= 5; }));
    ASSERT_TRUE(player->adoptState(MediaOutputState{player->url(), false, false, false}));
    const std::uint64_t framesAtChange = player->framesDecoded();
    ASSERT_TRUE(tickUntil(*player, [&] { return player->ended(); }));
    player->frameForTime(DisplayTimeStamp{});  // the last picture, if not taken yet
    const GpuBufferRef last = player->frameForTime(DisplayTimeStamp{});
    const std::uint64_t frames = player->framesDecoded();
    // More than the dozen pictures that may wait decoded at the change (six
    // in the sink, six taken): the pass played on; skipped pictures are not
    // counted, so this asks for far fewer than the 45 left.
    EXPECT_GT(frames, framesAtChange + 12) << "the pass played on to its end";
    std::this_thread::sleep_for(300ms);  // room for a picture that should not come
    EXPECT_EQ(player->frameForTime(DisplayTimeStamp{}), last);
    EXPECT_EQ(player->framesDecoded(), frames);
    EXPECT_EQ(player->loopCount(), 0U);
    EXPECT_FALSE(player->failed());
}

// How many refreshes show each picture of a one-second movie at `fps` on a
// display at `hz`, ticked by hand: the pipeline's clock (a test clock) and the
// host clock move together from tick to tick, and each tick asks for the
// picture on screen one refresh later, as the display link does. The first
// and last runs are left out (the first includes the prerolled picture).
std::vector<int> cadence(int fps, int hz) {
    ManualClock host(0);
    bw::Clock* const previous = setSystemClock(&host);
    constexpr GstClockTime kStart = 1'000'000'000;
    GstClock* const clock = gst_test_clock_new_with_start_time(kStart);
    GstTestClock* const testClock = GST_TEST_CLOCK(clock);
    auto player = std::make_unique<VideoPlayer>(
        MediaURL::fileURL(test::testMediaPath("cadence-" + std::to_string(fps) + ".webm")), true,
        false, clock);
    std::vector<int> runs;
    if (player->frameForTime(DisplayTimeStamp{}) == nullptr) {
        const auto deadline = std::chrono::steady_clock::now() + kDeadline;
        while (!player->frameForTime(DisplayTimeStamp{}) &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(2ms);
        }
    }
    player->play();
    // Playing: the sink waits on the clock for its next picture.
    gst_test_clock_wait_for_next_pending_id(testClock, nullptr);

    const std::uint64_t period = 1'000'000'000ULL / static_cast<std::uint64_t>(hz);
    std::uint64_t shown = player->framesDecoded();
    int run = 0;
    for (std::uint64_t j = 0; j < static_cast<std::uint64_t>(hz) * 9 / 10; ++j) {
        // A phase off the pictures' own times, as a real display's is.
        const std::uint64_t now = kStart + j * period + period / 3;
        gst_test_clock_set_time(testClock, now);
        host.setHostTimeNanoseconds(static_cast<std::int64_t>(now));
        // The sink's waits that are due are released one by one; everything
        // due by now has reached the sink once it waits for a later picture.
        // The ticks stop short of the movie's end, so a later one always
        // comes; the time-out only ends a test that went wrong.
        auto idleSince = std::chrono::steady_clock::now();
        for (;;) {
            GstClockID next = nullptr;
            const bool waiting = gst_test_clock_peek_next_pending_id(testClock, &next);
            const GstClockTime at = waiting ? gst_clock_id_get_time(next) : 0;
            if (next != nullptr) gst_clock_id_unref(next);
            if (waiting && at > now) break;
            if (waiting) {
                if (GstClockID done = gst_test_clock_process_next_clock_id(testClock))
                    gst_clock_id_unref(done);
                idleSince = std::chrono::steady_clock::now();
                continue;
            }
            if (std::chrono::steady_clock::now() - idleSince > kDeadline) break;
            std::this_thread::sleep_for(1ms);
        }
        DisplayTimeStamp stamp;
        stamp.hostTime = now + period;
        stamp.refreshPeriod = period;
        stamp.frameNumber = j;
        player->frameForTime(stamp);
        if (player->framesDecoded() != shown) {
            runs.push_back(run);
            run = 0;
            shown = player->framesDecoded();
        }
        ++run;
    }
    player.reset();
    VideoPlayer::waitForStoppedPipelines();
    gst_object_unref(clock);
    setSystemClock(previous);
    if (!runs.empty()) runs.erase(runs.begin());
    return runs;
}

// The same, worked out: frame k is due at its time in the file (rounded to
// whole milliseconds) and a tick shows the latest frame due one refresh on.
std::vector<int> expectedCadence(int fps, int hz) {
    const std::int64_t period = 1'000'000'000 / hz;
    std::vector<int> runs;
    std::int64_t shownFrame = 0;
    int run = 0;
    for (std::int64_t j = 0; j < hz * 9 / 10; ++j) {
        const std::int64_t due = j * period + period / 3 + period;
        std::int64_t frame = 0;
        const auto fileTime = [fps](std::int64_t k) {
            return (k * 2000 + fps) / (2 * fps) * 1'000'000;
        };
        while (frame + 1 < fps && fileTime(frame + 1) <= due) ++frame;
        if (frame != shownFrame) {
            runs.push_back(run);
            run = 0;
            shownFrame = frame;
        }
        ++run;
    }
    if (!runs.empty()) runs.erase(runs.begin());
    return runs;
}

// Each tick shows the picture on screen at its display time: 30 fps at 60 Hz
// shows every picture twice, 25 fps at 60 Hz keeps its steady 2-3 cadence,
// 60 fps at 50 Hz leaves a picture out now and then, never shows one late.
TEST_F(VideoPlayerTest, PicturesKeepTheirCadenceOnTheDisplay) {
    if (!std::filesystem::exists(test::testMediaPath("cadence-25.webm")))
        GTEST_SKIP() << "no cadence movies";
    struct Case {
        int fps;
        int hz;
    };
    for (const Case c : {Case{24, 60}, Case{25, 60}, Case{30, 60}, Case{50, 60}, Case{60, 60},
                         Case{24, 50}, Case{25, 50}, Case{30, 50}, Case{50, 50}, Case{60, 50}}) {
        const std::vector<int> runs = cadence(c.fps, c.hz);
        EXPECT_EQ(runs, expectedCadence(c.fps, c.hz)) << c.fps << " fps at " << c.hz << " Hz";
        ASSERT_GT(runs.size(), 10U);
        if (c.hz % c.fps == 0) {
            for (const int shown : runs)
                EXPECT_EQ(shown, c.hz / c.fps) << c.fps << " fps at " << c.hz << " Hz";
        }
    }
}

// Verifies that a sound file in a movie's container says in the log why its
// output stays black, once, instead of showing black without a word.
TEST_F(VideoPlayerTest, SoundWithoutPictureSaysSoInTheLog) {
    SystemLog::ScopedCapture capture;
    auto player = open("sound-only.mkv", true);
    if (!player) GTEST_SKIP() << "sound-only.mkv was not made here (no opusenc)";
    player->play();
    EXPECT_TRUE(tickUntil(*player, [&] { return player->failed(); }));
    EXPECT_FALSE(player->frameForTime(DisplayTimeStamp{}));
    player.reset();
    VideoPlayer::waitForStoppedPipelines();
    ASSERT_EQ(warnings(capture), 1U);
    EXPECT_NE(capture.lines().back().find(test::testMediaPath("sound-only.mkv") +
                                          ": the file has sound but no picture"),
              std::string::npos)
        << capture.lines().back();
}

}  // namespace
}  // namespace bw
