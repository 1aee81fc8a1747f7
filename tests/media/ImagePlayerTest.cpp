#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>

#include "media/ImagePlayer.h"
#include "platform/GLibHandle.h"
#include "platform/SystemLog.h"
#include "render/RenderContext.h"
#include "render/RenderTestSupport.h"
#include "support/TempDir.h"

namespace bw {
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
    ImagePlayer player(fileURL(dir_ / "pattern.png"), false);
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
    ImagePlayer player(fileURL(dir_ / "translucent.png"), false);
    const GpuBufferRef frame = decodedFrame(player);
    ASSERT_NE(frame, nullptr);
    const Image pixels = test::readPixels(*frame);
    EXPECT_TRUE(pixelNear(pixels, 0, 0, {100, 50, 25, 128}, 1));
    EXPECT_TRUE(pixelNear(pixels, 1, 0, {0, 0, 0, 0}, 0));

    GObjectPtr<GdkPixbuf> opaque(gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, 16, 8));
    gdk_pixbuf_fill(opaque.get(), 0x4080C0FFu);
    ASSERT_TRUE(
        gdk_pixbuf_save(opaque.get(), (dir_ / "opaque.jpg").c_str(), "jpeg", nullptr, nullptr));
    ImagePlayer jpeg(fileURL(dir_ / "opaque.jpg"), false);
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
    const auto plain = dir_ / "plain.jpg";
    const auto tagged = dir_ / "tagged.jpg";
    ASSERT_TRUE(gdk_pixbuf_save(stored.get(), plain.c_str(), "jpeg", nullptr, nullptr));
    std::string command = "timeout 60 gst-launch-1.0 -q filesrc location='";
    command.append(plain.string()).append("' ! jpegparse");
    command.append(" ! taginject 'tags=\"image-orientation=rotate-90\"' ! jifmux");
    command.append(" ! filesink location='").append(tagged.string()).append("'");
    ASSERT_EQ(std::system(command.c_str()), 0) << command;

    ImagePlayer player(fileURL(tagged), false);
    const GpuBufferRef frame = decodedFrame(player);
    ASSERT_NE(frame, nullptr);
    ASSERT_EQ(frame->size(), (PixelSize{48, 64}));
    const Image shown = test::readPixels(*frame);
    EXPECT_TRUE(pixelNear(shown, 24, 8, {0xF0, 0, 0, 255}, 8));
    EXPECT_TRUE(pixelNear(shown, 24, 56, {0, 0, 0xF0, 255}, 8));
}

TEST_F(ImagePlayerTest, WarmUpUploadsWithoutMovingTheMotion) {
    ASSERT_TRUE(test::savePng(cellPicture(), dir_ / "cells.png"));
    ImagePlayer player(fileURL(dir_ / "cells.png"), true);
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
    ImagePlayer player(fileURL(dir_ / "cells.png"), true, [&] {
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
            ImagePlayer player(fileURL(path), kenBurns);
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
    ImagePlayer player(fileURL(path), false);
    const auto constructionTime = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(player.frameForTime(DisplayTimeStamp{}), nullptr);
    EXPECT_LT(constructionTime, decodeTime / 4);

    const GpuBufferRef frame = decodedFrame(player);
    ASSERT_NE(frame, nullptr);
    const int limit = RenderContext::shared().maxTextureSize();
    const PixelSize expected =
        limit >= 6000 ? PixelSize{6000, 4000} : PixelSize{limit, limit * 2 / 3};
    EXPECT_EQ(frame->size(), expected);

    // A player dropped while its file is still decoding goes quietly.
    SystemLog::ScopedCapture log;
    for (int i = 0; i < 3; ++i) {
        ImagePlayer dropped(fileURL(path), true);
    }
    EXPECT_TRUE(log.lines().empty());
}

}  // namespace
}  // namespace bw
