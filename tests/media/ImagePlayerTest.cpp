#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <ostream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "engine/MediaEngine.h"
#include "engine/MediaOutput.h"
#include "media/ImagePlayer.h"
#include "media/Thumbnail.h"
#include "platform/Clock.h"
#include "platform/GLibHandle.h"
#include "platform/MainQueue.h"
#include "platform/NotificationCenter.h"
#include "platform/SystemLog.h"
#include "render/RenderTestSupport.h"
#include "show/CueStack.h"
#include "show/ShowStatus.h"
#include "support/Deadline.h"
#include "support/OutsidePeer.h"
#include "support/TempDir.h"

namespace bw {

// Sizes in failure messages as WIDTHxHEIGHT.
void PrintTo(const PixelSize& size, std::ostream* out) {
    *out << size.width << "x" << size.height;
}

namespace {

using namespace std::chrono_literals;
using test::Image;
using Rgba = std::array<std::uint8_t, 4>;

constexpr auto kDecodeWait = 60s;

MediaURL fileURL(const std::filesystem::path& path) {
    return MediaURL::fileURL(path.string());
}

// A 64x48 picture of 4x4 flat cells of 16x12 pixels, each its own colour.
Rgba cellColour(int column, int row) {
    return {static_cast<std::uint8_t>(40 + column * 60), static_cast<std::uint8_t>(30 + row * 70),
            static_cast<std::uint8_t>(200 - column * 20 - row * 30), 255};
}

Image cellPicture() {
    Image image = test::testPattern({64, 48});
    for (int y = 0; y < 48; ++y) {
        for (int x = 0; x < 64; ++x) {
            const Rgba colour = cellColour(x / 16, y / 12);
            std::copy(colour.begin(), colour.end(), image.at(x, y));
        }
    }
    return image;
}

::testing::AssertionResult pixelNear(const Image& image, int x, int y, Rgba expected,
                                     int tolerance) {
    const std::uint8_t* pixel = image.at(x, y);
    for (std::size_t c = 0; c < 4; ++c) {
        if (std::abs(pixel[c] - expected[c]) > tolerance) {
            return ::testing::AssertionFailure()
                   << "pixel (" << x << "," << y << ") is " << int(pixel[0]) << "," << int(pixel[1])
                   << "," << int(pixel[2]) << "," << int(pixel[3]) << ", expected "
                   << int(expected[0]) << "," << int(expected[1]) << "," << int(expected[2]) << ","
                   << int(expected[3]);
        }
    }
    return ::testing::AssertionSuccess();
}

// Saves `picture` as a JPEG at `path`; with `turned`, tagged "turn 90
// degrees clockwise to show".
bool saveJpeg(GdkPixbuf* picture, const std::filesystem::path& path, bool turned) {
    const std::filesystem::path plain =
        turned ? std::filesystem::path(path.string() + ".plain.jpg") : path;
    if (!gdk_pixbuf_save(picture, plain.c_str(), "jpeg", nullptr, nullptr)) return false;
    if (!turned) return true;
    std::string command = "timeout 60 gst-launch-1.0 -q filesrc location='";
    command.append(plain.string()).append("' ! jpegparse");
    command.append(" ! taginject 'tags=\"image-orientation=rotate-90\"' ! jifmux");
    command.append(" ! filesink location='").append(path.string()).append("'");
    return std::system(command.c_str()) == 0;
}

// A picture of `size`, its left half red and its right half blue.
GObjectPtr<GdkPixbuf> redBluePicture(PixelSize size) {
    GObjectPtr<GdkPixbuf> picture(
        gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, size.width, size.height));
    gdk_pixbuf_fill(picture.get(), 0x0000F0FFu);
    GObjectPtr<GdkPixbuf> left(
        gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, size.width / 2, size.height));
    gdk_pixbuf_fill(left.get(), 0xF00000FFu);
    gdk_pixbuf_copy_area(left.get(), 0, 0, size.width / 2, size.height, picture.get(), 0, 0);
    return picture;
}

constexpr Rgba kRed{0xF0, 0, 0, 255};
constexpr Rgba kBlue{0, 0, 0xF0, 255};

class ImagePlayerTest : public test::RenderTest {
protected:
    // The player's first frame once its file is decoded.
    GpuBufferRef decodedFrame(ImagePlayer& player) {
        EXPECT_TRUE(player.waitUntilDecoded(kDecodeWait));
        return player.frameForTime(DisplayTimeStamp{});
    }

    test::TempDir dir_;
};

TEST_F(ImagePlayerTest, WithoutKenBurnsEveryFrameIsTheSameUploadedPicture) {
    const Image pattern = test::testPattern({64, 48});
    ASSERT_TRUE(test::savePng(pattern, dir_ / "pattern.png"));
    ImagePlayer player(fileURL(dir_ / "pattern.png"), false, {64, 48});
    EXPECT_FALSE(player.kenBurns());

    const GpuBufferRef first = decodedFrame(player);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(player.frameForTime(DisplayTimeStamp{}), first);
    EXPECT_EQ(player.frameForTime(DisplayTimeStamp{}), first);
    const auto difference = test::compare(test::readPixels(*first), pattern, 0);
    EXPECT_TRUE(difference.sameSize);
    EXPECT_EQ(difference.pixelsBeyondTolerance, 0u);
}

TEST_F(ImagePlayerTest, PicturesArePremultipliedAndOpaqueWithoutAlpha) {
    Image translucent;
    translucent.size = {2, 1};
    translucent.rgba = {200, 100, 50, 128, 255, 255, 255, 0};
    ASSERT_TRUE(test::savePng(translucent, dir_ / "translucent.png"));
    ImagePlayer player(fileURL(dir_ / "translucent.png"), false, {2, 1});
    const GpuBufferRef frame = decodedFrame(player);
    ASSERT_NE(frame, nullptr);
    const Image pixels = test::readPixels(*frame);
    EXPECT_TRUE(pixelNear(pixels, 0, 0, {100, 50, 25, 128}, 1));
    EXPECT_TRUE(pixelNear(pixels, 1, 0, {0, 0, 0, 0}, 0));

    // Scaled down, transparent white lends no colour to its neighbours: every
    // pixel keeps the translucent colour's proportions to its alpha.
    Image stripes;
    stripes.size = {40, 2};
    for (int i = 0; i < 80; ++i) {
        const bool clear = i % 2 == 1;
        stripes.rgba.insert(stripes.rgba.end(), {255, 255, 255, 0});
        if (!clear) std::copy_n(translucent.rgba.begin(), 4, stripes.rgba.end() - 4);
    }
    ASSERT_TRUE(test::savePng(stripes, dir_ / "stripes.png"));
    ImagePlayer scaled(fileURL(dir_ / "stripes.png"), false, {30, 1});
    const GpuBufferRef scaledFrame = decodedFrame(scaled);
    ASSERT_NE(scaledFrame, nullptr);
    ASSERT_EQ(scaledFrame->size(), (PixelSize{30, 2}));
    const Image scaledPixels = test::readPixels(*scaledFrame);
    for (int x = 0; x < 30; ++x) {
        const std::uint8_t* pixel = scaledPixels.at(x, 1);
        EXPECT_NEAR(pixel[0] * 128, pixel[3] * 100, 2 * 128) << "x " << x;
        EXPECT_NEAR(pixel[2] * 128, pixel[3] * 25, 2 * 128) << "x " << x;
    }

    GObjectPtr<GdkPixbuf> opaque(gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, 16, 8));
    gdk_pixbuf_fill(opaque.get(), 0x4080C0FFu);
    ASSERT_TRUE(
        gdk_pixbuf_save(opaque.get(), (dir_ / "opaque.jpg").c_str(), "jpeg", nullptr, nullptr));
    ImagePlayer jpeg(fileURL(dir_ / "opaque.jpg"), false, {16, 8});
    const GpuBufferRef jpegFrame = decodedFrame(jpeg);
    ASSERT_NE(jpegFrame, nullptr);
    EXPECT_EQ(jpegFrame->size(), (PixelSize{16, 8}));
    EXPECT_TRUE(pixelNear(test::readPixels(*jpegFrame), 8, 4, {0x40, 0x80, 0xC0, 255}, 3));
}

// Stored 64x48, left half red and right half blue, tagged "turn 90 degrees
// clockwise to show": shown 48x64, red above blue.
TEST_F(ImagePlayerTest, PictureIsTurnedUprightByItsOrientationTag) {
    GObjectPtr<GdkPixbuf> stored(gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, 64, 48));
    gdk_pixbuf_fill(stored.get(), 0x0000F0FFu);
    GObjectPtr<GdkPixbuf> left(gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, 32, 48));
    gdk_pixbuf_fill(left.get(), 0xF00000FFu);
    gdk_pixbuf_copy_area(left.get(), 0, 0, 32, 48, stored.get(), 0, 0);
    const auto tagged = dir_ / "tagged.jpg";
    ASSERT_TRUE(saveJpeg(stored.get(), tagged, true));

    ImagePlayer player(fileURL(tagged), false, {48, 64});
    const GpuBufferRef frame = decodedFrame(player);
    ASSERT_NE(frame, nullptr);
    ASSERT_EQ(frame->size(), (PixelSize{48, 64}));
    const Image shown = test::readPixels(*frame);
    EXPECT_TRUE(pixelNear(shown, 24, 8, {0xF0, 0, 0, 255}, 8));
    EXPECT_TRUE(pixelNear(shown, 24, 56, {0, 0, 0xF0, 255}, 8));
}

// Verifies that a picture is decoded no larger than its output shows it
// (twice the output with Ken Burns, whose closest crop is half the picture),
// turned upright first, never enlarged, and that a Ken Burns frame is the
// output's size whatever the picture's.
TEST_F(ImagePlayerTest, DecodesAtTheSizeTheOutputNeeds) {
    struct Case {
        const char* name;
        PixelSize stored;
        const char* format;  // "jpeg", "turned jpeg" or "png"
        PixelSize output;
        bool kenBurns;
        PixelSize decoded;
        PixelSize frame;
    };
    const Case cases[] = {
        {"jpeg, reduced while decoding", {640, 480}, "jpeg", {80, 45}, false, {80, 60}, {80, 60}},
        {"jpeg with Ken Burns", {640, 480}, "jpeg", {80, 45}, true, {160, 120}, {80, 45}},
        {"png with Ken Burns", {640, 480}, "png", {80, 45}, true, {160, 120}, {80, 45}},
        {"turned jpeg", {640, 480}, "turned jpeg", {80, 45}, false, {80, 107}, {80, 107}},
        {"small picture, large output", {64, 48}, "png", {320, 240}, true, {64, 48}, {320, 240}},
        {"unknown output size", {640, 480}, "png", {0, 0}, true, {640, 480}, {640, 480}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string format = c.format;
        const auto path = dir_ / (std::string(c.name) + (format == "png" ? ".png" : ".jpg"));
        GObjectPtr<GdkPixbuf> picture = redBluePicture(c.stored);
        ASSERT_TRUE(format == "png"
                        ? gdk_pixbuf_save(picture.get(), path.c_str(), "png", nullptr, nullptr)
                        : saveJpeg(picture.get(), path, format == "turned jpeg"));
        ImagePlayer player(fileURL(path), c.kenBurns, c.output);
        const GpuBufferRef frame = decodedFrame(player);
        ASSERT_NE(frame, nullptr);
        EXPECT_EQ(player.buffer()->size(), c.decoded);
        EXPECT_EQ(frame->size(), c.frame);
        // The first Ken Burns step barely moves from the whole picture.
        const Image shown = test::readPixels(*frame);
        const int w = shown.size.width;
        const int h = shown.size.height;
        if (format == "turned jpeg") {
            EXPECT_TRUE(pixelNear(shown, w / 2, h / 4, kRed, 10));
            EXPECT_TRUE(pixelNear(shown, w / 2, h * 3 / 4, kBlue, 10));
        } else {
            EXPECT_TRUE(pixelNear(shown, w / 4, h / 2, kRed, 10));
            EXPECT_TRUE(pixelNear(shown, w * 3 / 4, h / 2, kBlue, 10));
        }
    }
}

TEST_F(ImagePlayerTest, WarmUpUploadsWithoutMovingTheMotion) {
    ASSERT_TRUE(test::savePng(cellPicture(), dir_ / "cells.png"));
    ImagePlayer player(fileURL(dir_ / "cells.png"), true, {64, 48});
    ASSERT_TRUE(player.waitUntilDecoded(kDecodeWait));
    player.warmUp();
    ASSERT_NE(player.buffer(), nullptr);
    ASSERT_NE(player.motion(), nullptr);
    EXPECT_EQ(player.motion()->frameCount(), 0.0f);
    EXPECT_EQ(player.motion()->current(), (CropRect{}));

    const GpuBufferRef frame = player.frameForTime(DisplayTimeStamp{});
    EXPECT_EQ(player.motion()->frameCount(), 1.0f);
    ASSERT_NE(frame, nullptr);
    EXPECT_NE(frame, player.buffer());
    EXPECT_EQ(frame->size(), player.buffer()->size());
}

// Targets from r = 0, 2^31, 0: the crop of half the size a quarter of the
// way across, at the top. After 1500 frames the frame shows exactly that:
// cells in columns 1-2 and rows 0-1, each now twice as large.
TEST_F(ImagePlayerTest, KenBurnsFrameShowsTheCropOfThePictureUpright) {
    ASSERT_TRUE(test::savePng(cellPicture(), dir_ / "cells.png"));
    std::mt19937 later(7);
    int draws = 0;
    ImagePlayer player(fileURL(dir_ / "cells.png"), true, {64, 48}, [&] {
        const int draw = draws++;
        return draw == 1 ? 0x80000000u : draw < 3 ? 0u : static_cast<std::uint32_t>(later());
    });
    ASSERT_TRUE(player.waitUntilDecoded(kDecodeWait));
    GpuBufferRef frame;
    for (int i = 0; i < 1500; ++i)
        frame = player.frameForTime(DisplayTimeStamp{});
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(player.motion()->frameCount(), 0.0f);
    EXPECT_FALSE(frame->flipped());

    const Image shown = test::readPixels(*frame);
    ASSERT_EQ(shown.size, (PixelSize{64, 48}));
    for (int column = 0; column < 2; ++column) {
        for (int row = 0; row < 2; ++row) {
            SCOPED_TRACE(std::string("shown cell ")
                             .append(std::to_string(column))
                             .append(",")
                             .append(std::to_string(row)));
            const Rgba expected = cellColour(column + 1, row);
            EXPECT_TRUE(pixelNear(shown, column * 32 + 16, row * 24 + 12, expected, 2));
            EXPECT_TRUE(pixelNear(shown, column * 32 + 4, row * 24 + 4, expected, 2));
        }
    }
}

// Verifies that the Ken Burns crop keeps the still's proportions for the
// output to place: drawn at the size it covers inside the output with Fit,
// at the output's size (narrowed to its proportions) with Fill and Stretch.
TEST_F(ImagePlayerTest, KenBurnsFramesAreDrawnForTheirFit) {
    ASSERT_TRUE(test::savePng(cellPicture(), dir_ / "cells.png"));
    const struct {
        PictureFit fit;
        PixelSize drawn;
    } cases[] = {
        {PictureFit::Stretch, {48, 48}}, {PictureFit::Fit, {48, 36}}, {PictureFit::Fill, {48, 48}}};
    for (const auto& c : cases) {
        ImagePlayer player(fileURL(dir_ / "cells.png"), true, {48, 48}, [] { return 0u; });
        MediaOutputState state;
        state.mediaURL = fileURL(dir_ / "cells.png");
        state.kenBurns = true;
        state.fit = c.fit;
        player.setState(state);
        ASSERT_TRUE(player.waitUntilDecoded(kDecodeWait));
        const GpuBufferRef frame = player.frameForTime(DisplayTimeStamp{});
        ASSERT_NE(frame, nullptr);
        EXPECT_EQ(frame->size(), c.drawn) << static_cast<int>(c.fit);
    }
}

TEST_F(ImagePlayerTest, UnreadableFileHasNoFrameAndLogsOneWarning) {
    std::mt19937 engine(99);
    std::string noise(4096, '\0');
    for (char& c : noise)
        c = static_cast<char>(engine());
    const auto corrupt = dir_.write("corrupt.jpg", std::string("\xFF\xD8\xFF\xE0").append(noise));
    for (const auto& path : {corrupt, dir_ / "absent.png"}) {
        SCOPED_TRACE(path.string());
        SystemLog::ScopedCapture log;
        for (bool kenBurns : {false, true}) {
            ImagePlayer player(fileURL(path), kenBurns, {8, 6});
            ASSERT_TRUE(player.waitUntilDecoded(kDecodeWait));
            player.warmUp();
            EXPECT_EQ(player.frameForTime(DisplayTimeStamp{}), nullptr);
            EXPECT_EQ(player.frameForTime(DisplayTimeStamp{}), nullptr);
        }
        const auto lines = log.lines();
        ASSERT_EQ(lines.size(), 2u);  // one per player
        const std::string expected =
            std::string("Warning: cannot show ").append(path.string()).append(": ");
        EXPECT_EQ(lines[0].rfind(expected, 0), 0u) << lines[0];
    }
}

// Verifies that iPhone (HEIC) and AVIF stills decode, through the HEIF and
// AVIF image loaders, for the output and for the cue list's thumbnail. The
// files are a gradient from red at the top to blue at the bottom.
TEST_F(ImagePlayerTest, HeifAndAvifStillsDecode) {
    for (const char* name : {"image.heic", "image.avif"}) {
        SCOPED_TRACE(name);
        const auto path = test::testMediaDir() / name;
        if (!std::filesystem::exists(path)) {
            BW_OUTSIDE_PEER_MISSING() << "ImageMagick here does not write " << name;
        }
        ImagePlayer player(fileURL(path), false, {64, 48});
        const GpuBufferRef frame = decodedFrame(player);
        ASSERT_NE(frame, nullptr);
        EXPECT_EQ(frame->size(), (PixelSize{64, 48}));
        const Image pixels = test::readPixels(*frame);
        EXPECT_GT(pixels.at(32, 1)[0], 200);
        EXPECT_GT(pixels.at(32, 46)[2], 200);
        EXPECT_NE(Thumbnail::makeImageThumbnail(path.string()), nullptr);
    }
}

// Verifies that a moving GIF shows each frame at the display time the file
// gives it (red for 0.1 s, then blue), by the frame requests' time stamps
// alone: looping for ever as the file says, once and then holding its last
// frame, or again and again once the Loop box is on.
TEST_F(ImagePlayerTest, MovingGifPlaysItsFramesByTheDisplayTime) {
    constexpr Rgba kGifRed{255, 0, 0, 255};
    constexpr Rgba kGifBlue{0, 0, 255, 255};
    const struct {
        const char* file;
        bool looped;
        std::vector<std::pair<int, Rgba>> shown;  // milliseconds after the first request
    } cases[] = {
        {"anim-loop.gif",
         false,
         {{0, kGifRed}, {150, kGifBlue}, {250, kGifRed}, {350, kGifBlue}, {1050, kGifRed}}},
        {"anim-loop.webp",
         false,
         {{0, kGifRed}, {150, kGifBlue}, {250, kGifRed}, {350, kGifBlue}, {1050, kGifRed}}},
        {"anim-once.gif",
         false,
         {{0, kGifRed}, {150, kGifBlue}, {250, kGifBlue}, {350, kGifBlue}, {10000, kGifBlue}}},
        {"anim-once.gif",
         true,
         {{0, kGifRed}, {150, kGifBlue}, {250, kGifRed}, {350, kGifBlue}, {1050, kGifRed}}},
    };
    constexpr std::uint64_t kStart = 5'000'000'000;
    // Asks for the frame at `milliseconds` until it shows `colour`.
    const auto showsAt = [&](ImagePlayer& player, int milliseconds, Rgba colour) {
        DisplayTimeStamp at;
        at.hostTime = kStart + static_cast<std::uint64_t>(milliseconds) * 1'000'000;
        // Frames decode a few ahead in the background: the one due may
        // still be on its way, so ask until it shows.
        const auto deadline = std::chrono::steady_clock::now() + test::scaled(20s);
        ::testing::AssertionResult shown = ::testing::AssertionFailure() << "no frame";
        do {
            const GpuBufferRef frame = player.frameForTime(at);
            if (frame) shown = pixelNear(test::readPixels(*frame), 4, 4, colour, 2);
        } while (!shown && std::chrono::steady_clock::now() < deadline);
        return shown;
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.file) + (c.looped ? " looped" : ""));
        if (!std::filesystem::exists(test::testMediaDir() / c.file)) {
            BW_OUTSIDE_PEER_MISSING() << "ImageMagick here does not write " << c.file;
        }
        ImagePlayer player(fileURL(test::testMediaDir() / c.file), false, {8, 8});
        player.setLooped(c.looped);
        ASSERT_TRUE(player.waitUntilDecoded(kDecodeWait));
        EXPECT_TRUE(player.animated());
        for (const auto& [milliseconds, colour] : c.shown) {
            SCOPED_TRACE(milliseconds);
            EXPECT_TRUE(showsAt(player, milliseconds, colour));
        }
    }
    // The Loop box turned on (in place) after the last frame starts it again.
    ImagePlayer once(fileURL(test::testMediaDir() / "anim-once.gif"), false, {8, 8});
    MediaOutputState state;
    state.mediaURL = fileURL(test::testMediaDir() / "anim-once.gif");
    state.looped = false;
    once.setState(state);
    ASSERT_TRUE(once.waitUntilDecoded(kDecodeWait));
    EXPECT_TRUE(showsAt(once, 0, kGifRed));
    EXPECT_TRUE(showsAt(once, 5000, kGifBlue));
    state.looped = true;
    EXPECT_TRUE(once.adoptState(state));
    EXPECT_TRUE(showsAt(once, 5010, kGifRed));
    EXPECT_TRUE(showsAt(once, 5200, kGifBlue));
    // A still GIF is no animation.
    ImagePlayer still(fileURL(test::testMediaDir() / "image.png"), false, {8, 8});
    ASSERT_TRUE(still.waitUntilDecoded(kDecodeWait));
    EXPECT_FALSE(still.animated());
}

// A 6000x4000 JPEG takes a good part of a second to decode; the constructor
// hands that to a worker and returns at once, and the frame appears later.
TEST_F(ImagePlayerTest, LargePictureDecodesInTheBackground) {
    const auto path = dir_ / "large.jpg";
    {
        GObjectPtr<GdkPixbuf> large(gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, 6000, 4000));
        ASSERT_TRUE(large);
        gdk_pixbuf_fill(large.get(), 0x336699FFu);
        ASSERT_TRUE(gdk_pixbuf_save(large.get(), path.c_str(), "jpeg", nullptr, nullptr));
    }
    const auto decodeStart = std::chrono::steady_clock::now();
    GObjectPtr<GdkPixbuf> decoded(gdk_pixbuf_new_from_file(path.c_str(), nullptr));
    const auto decodeTime = std::chrono::steady_clock::now() - decodeStart;
    ASSERT_TRUE(decoded);
    decoded.reset();

    const auto start = std::chrono::steady_clock::now();
    ImagePlayer player(fileURL(path), false, {320, 180});
    const auto constructionTime = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(player.frameForTime(DisplayTimeStamp{}), nullptr);
    EXPECT_LT(constructionTime, decodeTime / 4);

    // 320 wide as the output, 214 high in the picture's proportions.
    const GpuBufferRef frame = decodedFrame(player);
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(frame->size(), (PixelSize{320, 214}));

    // A player dropped while its file is still decoding goes quietly.
    SystemLog::ScopedCapture log;
    for (int i = 0; i < 3; ++i) {
        ImagePlayer dropped(fileURL(path), true, {320, 180});
    }
    EXPECT_TRUE(log.lines().empty());
}

// A still on an output of an engine ticked by hand, one refresh per tick.
class StillCueTest : public ImagePlayerTest {
protected:
    static constexpr PixelSize kOutput{32, 24};

    void SetUp() override {
        ImagePlayerTest::SetUp();
        engine_ = std::make_unique<MediaEngine>(
            MediaEngine::Parts{stack_, status_, clock_, nullptr, nullptr});
        engine_->addOutput(std::make_shared<MediaOutput>("Stage", kOutput.width, kOutput.height));
    }
    void TearDown() override {
        engine_.reset();
        MainQueue::shared().drain();
        ImagePlayerTest::TearDown();
    }
    void tick() {
        clock_.advance(16'666'667ns);
        DisplayTimeStamp stamp;
        stamp.hostTime = static_cast<std::uint64_t>(clock_.hostTimeNanoseconds());
        stamp.refreshPeriod = 16'666'667;
        engine_->renderFrame(stamp);
        MainQueue::shared().drain();
    }
    Image published() { return test::readPixels(*engine_->outputs().at(0)->outputBuffer()); }
    // A cut to `path` on the output, with Ken Burns.
    static Cue stillCue(const std::filesystem::path& path) {
        MediaOutputState state;
        state.mediaURL = fileURL(path);
        state.kenBurns = true;
        return Cue{1, "", 0.0, {state}};
    }

    NotificationCenter center_{MainQueue::shared()};
    ShowStatus status_{center_};
    CueStack stack_{status_};
    ManualClock clock_{1'000'000'000};
    std::unique_ptr<MediaEngine> engine_;
};

// Verifies that a still armed as the next cue (its decode done, as a second
// ahead gives it) is uploaded before GO, at no more than the output needs, and
// is on the output after the first refresh that follows GO.
TEST_F(StillCueTest, AStillArmedBeforeGoAppearsOnTheFirstRefreshAfterIt) {
    const auto path = dir_ / "large.jpg";
    GObjectPtr<GdkPixbuf> large(gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, 1600, 1200));
    gdk_pixbuf_fill(large.get(), 0x336699FFu);
    ASSERT_TRUE(saveJpeg(large.get(), path, false));
    const Cue cue = stillCue(path);
    stack_.replaceCues({cue});
    engine_->loadNextCue(cue);
    auto* armed = dynamic_cast<ImagePlayer*>(engine_->outputs().at(0)->nextPlayer().get());
    ASSERT_NE(armed, nullptr);
    ASSERT_TRUE(armed->waitUntilDecoded(kDecodeWait));
    tick();
    ASSERT_NE(armed->buffer(), nullptr) << "uploaded while waiting for GO";
    EXPECT_EQ(armed->buffer()->size(), (PixelSize{64, 48}));
    const Image before = published();

    engine_->go();
    tick();
    const Image shown = published();
    ASSERT_EQ(shown.size, kOutput);
    EXPECT_NE(shown.rgba, before.rgba);
    for (const auto& [x, y] : {std::pair{0, 0}, {16, 12}, {31, 23}}) {
        EXPECT_TRUE(pixelNear(shown, x, y, {0x33, 0x66, 0x99, 255}, 3));
    }
}

// Verifies that a cut to a still whose decode has not finished keeps the
// outgoing picture on the output, never an empty frame, until the first
// frame of the still is ready. The file is a pipe, so the test decides when
// the decode can end.
TEST_F(StillCueTest, ACutToAStillStillDecodingHoldsTheOutgoingPicture) {
    ASSERT_TRUE(test::savePng(cellPicture(), dir_ / "cells.png"));
    const auto pipe = dir_ / "slow.png";
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    MediaOutput& output = *engine_->outputs().at(0);
    tick();
    const Image outgoing = published();
    {
        const Cue cue = stillCue(pipe);
        stack_.replaceCues({cue});
        engine_->loadNextCue(cue);
        // A pipe is no image to the player selection: put the still in by hand.
        auto still = std::make_shared<ImagePlayer>(fileURL(pipe), true, kOutput);
        output.setNextPlayer(still);
        engine_->go();
        for (int i = 0; i < 3; ++i) {
            tick();
            EXPECT_EQ(published().rgba, outgoing.rgba) << "refresh " << i;
        }
        EXPECT_EQ(output.players(), std::vector<MediaPlayerRef>{still});
        std::ifstream source(dir_ / "cells.png", std::ios::binary);
        std::ofstream(pipe, std::ios::binary)
            << std::string(std::istreambuf_iterator<char>(source), {});
        ASSERT_TRUE(still->waitUntilDecoded(kDecodeWait));
    }
    tick();
    const Image shown = published();
    EXPECT_TRUE(pixelNear(shown, 2, 2, cellColour(0, 0), 3));
    EXPECT_TRUE(pixelNear(shown, 29, 21, cellColour(3, 3), 3));
}

}  // namespace
}  // namespace bw
