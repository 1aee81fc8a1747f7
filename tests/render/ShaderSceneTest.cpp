#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <string>

#include "platform/Fatal.h"
#include "render/GpuBufferPool.h"
#include "render/RenderTestSupport.h"
#include "render/ShaderScene.h"
#include "support/TempDir.h"

namespace bw {
namespace {

using test::Image;

Image render(ShaderScene& scene, PixelSize size) {
    GpuBufferRef buffer = scene.allocAndRenderToBufferSized(size);
    EXPECT_NE(buffer, nullptr);
    EXPECT_EQ(buffer->size(), size);
    return test::readPixels(*buffer);
}

Image filled(PixelSize size, std::array<std::uint8_t, 4> rgba) {
    Image image;
    image.size = size;
    for (int i = 0; i < size.width * size.height; ++i) {
        image.rgba.insert(image.rgba.end(), rgba.begin(), rgba.end());
    }
    return image;
}

::testing::AssertionResult everyPixelIs(const Image& image, std::array<std::uint8_t, 4> rgba) {
    for (int y = 0; y < image.size.height; ++y) {
        for (int x = 0; x < image.size.width; ++x) {
            const std::uint8_t* pixel = image.at(x, y);
            for (int c = 0; c < 4; ++c) {
                if (pixel[c] != rgba[static_cast<std::size_t>(c)]) {
                    return ::testing::AssertionFailure()
                           << "pixel (" << x << "," << y << ") channel " << c << " is "
                           << int(pixel[c]) << ", expected "
                           << int(rgba[static_cast<std::size_t>(c)]);
                }
            }
        }
    }
    return ::testing::AssertionSuccess();
}

class ShaderSceneTest : public test::RenderTest {};

const PixelSize kGeneratorSizes[] = {{1, 1}, {7, 5}, {64, 48}, {1920, 1080}};

TEST_F(ShaderSceneTest, BlackIsOpaqueBlackAtEverySize) {
    for (PixelSize size : kGeneratorSizes) {
        SCOPED_TRACE(std::to_string(size.width) + "x" + std::to_string(size.height));
        EXPECT_TRUE(everyPixelIs(render(ShaderScene::blackScene(), size), {0, 0, 0, 255}));
    }
}

TEST_F(ShaderSceneTest, ClearIsTransparentAtEverySize) {
    for (PixelSize size : kGeneratorSizes) {
        SCOPED_TRACE(std::to_string(size.width) + "x" + std::to_string(size.height));
        EXPECT_TRUE(everyPixelIs(render(ShaderScene::clearScene(), size), {0, 0, 0, 0}));
    }
}

TEST_F(ShaderSceneTest, GridMatchesItsGoldenImagesAtEverySize) {
    for (PixelSize size : {PixelSize{1, 1}, PixelSize{7, 5}, PixelSize{64, 48}, PixelSize{641, 359},
                           PixelSize{1920, 1080}}) {
        const std::string name =
            "Grid-" + std::to_string(size.width) + "x" + std::to_string(size.height);
        const Image grid = render(ShaderScene::gridScene(), size);
        // A GPU may round a pixel on a curve's edge the other way; a handful
        // of such pixels is the same pattern.
        EXPECT_TRUE(test::matchesGolden(grid, name, 2,
                                        static_cast<std::size_t>(size.width * size.height / 2000)));
    }
}

// What an operator aligns a projector by: the outermost pixels lit, the
// centre marked, the pattern symmetric, and white on opaque black only.
TEST_F(ShaderSceneTest, GridHasABorderACentreCrossAndIsSymmetric) {
    for (PixelSize size : {PixelSize{7, 5}, PixelSize{641, 359}, PixelSize{1920, 1080}}) {
        SCOPED_TRACE(std::to_string(size.width) + "x" + std::to_string(size.height));
        const Image grid = render(ShaderScene::gridScene(), size);
        const int w = size.width;
        const int h = size.height;
        for (int x = 0; x < w; ++x) {
            ASSERT_EQ(grid.at(x, 0)[0], 255) << "top border at x=" << x;
            ASSERT_EQ(grid.at(x, h - 1)[0], 255) << "bottom border at x=" << x;
        }
        for (int y = 0; y < h; ++y) {
            ASSERT_EQ(grid.at(0, y)[0], 255) << "left border at y=" << y;
            ASSERT_EQ(grid.at(w - 1, y)[0], 255) << "right border at y=" << y;
        }
        EXPECT_EQ(grid.at(w / 2, h / 2)[0], 255);
        EXPECT_EQ(grid.at(w / 2, h / 4)[0], 255) << "vertical centre line";
        EXPECT_EQ(grid.at(w / 4, h / 2)[0], 255) << "horizontal centre line";
        std::size_t lit = 0;
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                const std::uint8_t* pixel = grid.at(x, y);
                ASSERT_TRUE(pixel[0] == 0 || pixel[0] == 255);
                ASSERT_TRUE(pixel[0] == pixel[1] && pixel[1] == pixel[2]);
                ASSERT_EQ(pixel[3], 255);
                lit += pixel[0] == 255;
                EXPECT_EQ(pixel[0], grid.at(w - 1 - x, y)[0]) << "mirror left-right at " << x;
                EXPECT_EQ(pixel[0], grid.at(x, h - 1 - y)[0]) << "mirror top-bottom at " << y;
                if (::testing::Test::HasFailure()) {
                    return;
                }
            }
        }
        if (w > 100) {
            // Lines, not a white screen.
            EXPECT_LT(lit, static_cast<std::size_t>(w) * static_cast<std::size_t>(h) / 4);
        }
    }
}

TEST_F(ShaderSceneTest, MixBlendsLinearlyIncludingAlpha) {
    const PixelSize size{33, 17};
    const Image outgoing = test::testPattern(size);
    // A different, half-transparent picture (premultiplied: colour <= alpha).
    Image incoming = test::testPattern(size, 128);
    for (std::size_t i = 0; i < incoming.rgba.size(); i += 4) {
        std::swap(incoming.rgba[i], incoming.rgba[i + 2]);
    }
    ShaderScene& mix = ShaderScene::mixScene();
    mix.setValue("inputImage", test::upload(outgoing));
    mix.setValue("input2Image", test::upload(incoming));
    for (double crossfade : {0.0, 0.25, 0.5, 1.0}) {
        SCOPED_TRACE("crossfade " + std::to_string(crossfade));
        mix.setValue("crossfade", crossfade);
        const Image mixed = render(mix, size);
        Image expected = outgoing;
        for (std::size_t i = 0; i < expected.rgba.size(); ++i) {
            expected.rgba[i] = static_cast<std::uint8_t>(
                std::lround(outgoing.rgba[i] + (incoming.rgba[i] - outgoing.rgba[i]) * crossfade));
        }
        const test::ImageDifference difference = test::compare(mixed, expected, 2);
        EXPECT_TRUE(difference.sameSize);
        EXPECT_EQ(difference.pixelsBeyondTolerance, 0u)
            << "largest difference " << difference.largestChannelDifference;
    }
}

// Frames from a transparent source stay transparent through the mixer, and a
// fade towards transparency keeps colour and coverage consistent.
TEST_F(ShaderSceneTest, MixKeepsTransparency) {
    const PixelSize size{8, 6};
    ShaderScene& mix = ShaderScene::mixScene();
    GpuBufferRef clear = ShaderScene::clearScene().allocAndRenderToBufferSized(size);
    mix.setValue("inputImage", clear);
    mix.setValue("input2Image", clear);
    mix.setValue("crossfade", 0.0);
    EXPECT_TRUE(everyPixelIs(render(mix, size), {0, 0, 0, 0}));

    mix.setValue("inputImage", test::upload(filled(size, {255, 0, 0, 255})));
    mix.setValue("input2Image", clear);
    mix.setValue("crossfade", 0.5);
    const Image half = render(mix, size);
    for (int c = 0; c < 4; ++c) {
        const int expected = c == 0 || c == 3 ? 128 : 0;
        EXPECT_NEAR(half.at(3, 3)[c], expected, 1) << "channel " << c;
    }
}

// The output's own size decides the frame; inputs of other sizes and row
// orders are stretched over it upright.
TEST_F(ShaderSceneTest, MixStretchesInputsOfAnySizeAndRowOrder) {
    const Image source = test::testPattern({4, 2});
    Image bottomUp = source;
    for (int y = 0; y < 2; ++y) {
        std::copy_n(source.at(0, y), 16, bottomUp.at(0, 1 - y));
    }
    GpuBufferRef flipped = test::upload(bottomUp);
    flipped->setFlipped(true);
    ShaderScene& mix = ShaderScene::mixScene();
    mix.setValue("inputImage", flipped);
    mix.setValue("input2Image", flipped);
    mix.setValue("crossfade", 0.0);
    // Twice the size in both directions: every source pixel's centre lands
    // between four output pixels, so sample at source pixel centres instead.
    const Image same = render(mix, {4, 2});
    EXPECT_EQ(same.rgba, source.rgba);

    const Image wide = render(mix, {8, 4});
    EXPECT_EQ(wide.size, (PixelSize{8, 4}));
    // The top-left output pixel is nearest the source's top-left pixel.
    EXPECT_NEAR(wide.at(0, 0)[0], source.at(0, 0)[0], 2);
    EXPECT_NEAR(wide.at(7, 3)[1], source.at(3, 1)[1], 2);
}

TEST_F(ShaderSceneTest, CropShowsTheRegionBetweenItsEdgesWithTopAtTheUpperEdge) {
    const Image pattern = test::testPattern({8, 8});
    ShaderScene& crop = ShaderScene::cropScene();
    crop.setValue("inputImage", test::upload(pattern));
    crop.setValue("left", 0.25);
    crop.setValue("right", 0.75);
    crop.setValue("top", 0.0);
    crop.setValue("bottom", 0.5);
    const Image cropped = render(crop, {4, 4});
    for (int y = 0; y < 4; ++y) {
        for (int x = 0; x < 4; ++x) {
            for (int c = 0; c < 4; ++c) {
                ASSERT_EQ(cropped.at(x, y)[c], pattern.at(x + 2, y)[c])
                    << "pixel (" << x << "," << y << ") channel " << c;
            }
        }
    }

    // The whole picture, stretched to another shape.
    crop.setValue("left", 0.0);
    crop.setValue("right", 1.0);
    crop.setValue("top", 0.0);
    crop.setValue("bottom", 1.0);
    EXPECT_EQ(render(crop, {8, 8}).rgba, pattern.rgba);
}

TEST_F(ShaderSceneTest, InputsTheShaderDoesNotUseAreIgnored) {
    ShaderScene& black = ShaderScene::blackScene();
    black.setValue("crossfade", 0.5);
    black.setValue("inputImage", test::upload(test::testPattern({2, 2})));
    EXPECT_TRUE(everyPixelIs(render(black, {3, 3}), {0, 0, 0, 255}));
}

TEST_F(ShaderSceneTest, OneInstancePerResource) {
    EXPECT_EQ(&ShaderScene::named("Mix"), &ShaderScene::mixScene());
    EXPECT_NE(&ShaderScene::mixScene(), &ShaderScene::cropScene());
}

TEST_F(ShaderSceneTest, ABrokenShaderReportsItsFileAndTheCompilerLog) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    test::TempDir dir;
    const auto file = dir.write("Broken.fs",
                                "#version 330 core\nout vec4 fragColor;\n"
                                "void main() { fragColor = vec4(undeclared); }\n");
    std::string failure;
    std::unique_ptr<ShaderScene> scene = ShaderScene::fromFile(file, failure);
    ASSERT_NE(scene, nullptr);
    EXPECT_FALSE(scene->prepare(failure));
    EXPECT_NE(failure.find(file.string()), std::string::npos) << failure;
    EXPECT_NE(failure.find("undeclared"), std::string::npos) << failure;
    EXPECT_DEATH(scene->allocAndRenderToBufferSized({2, 2}), "Broken.fs does not compile");
}

TEST(ShaderSceneDeathTest, AMissingResourceIsFatalAndNamesTheFile) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    test::TempDir empty;
    setenv("BEAMWRIGHT_RESOURCE_DIR", empty.path().c_str(), 1);
    EXPECT_EXIT(ShaderScene::named("Mix"), ::testing::ExitedWithCode(kFatalExitStatus),
                "shaders/Mix.fs is missing");
    std::string failure;
    EXPECT_EQ(ShaderScene::fromFile(empty / "Nothing.fs", failure), nullptr);
    EXPECT_NE(failure.find("Nothing.fs"), std::string::npos);
    // A shader whose included file is missing is as broken, and names that file.
    const auto including =
        empty.write("Including.fs", "#version 330 core\n#include \"Gone.glsl\"\nvoid main() {}\n");
    EXPECT_EQ(ShaderScene::fromFile(including, failure), nullptr);
    EXPECT_NE(failure.find("Gone.glsl is missing"), std::string::npos) << failure;
    unsetenv("BEAMWRIGHT_RESOURCE_DIR");
}

}  // namespace
}  // namespace bw
