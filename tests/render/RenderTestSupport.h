#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "render/GpuBuffer.h"
#include "render/PixelSize.h"

namespace bw::test {

// RGBA pixels, top row first, 4 bytes per pixel, rows packed.
struct Image {
    PixelSize size;
    std::vector<std::uint8_t> rgba;

    const std::uint8_t* at(int x, int y) const {
        return rgba.data() + (static_cast<std::size_t>(y) * static_cast<std::size_t>(size.width) +
                              static_cast<std::size_t>(x)) *
                                 4;
    }
    std::uint8_t* at(int x, int y) {
        return const_cast<std::uint8_t*>(static_cast<const Image&>(*this).at(x, y));
    }
};

// Makes the shared rendering context current on the test's thread and creates
// the global buffer pool, as the engine does on the render thread.
class RenderTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};

// The buffer's stored pixels, first stored row first; for a picture in a
// decoder's planes, the RGBA picture a scene makes of them. Render thread.
Image readPixels(GpuBuffer& buffer);

// A picture in which every pixel and channel differs from its neighbours:
// catches swapped channels, flipped rows and off-by-one sampling.
Image testPattern(PixelSize size, std::uint8_t alpha = 255);

// Uploads `image` into a pooled buffer of the global pool. Render thread.
GpuBufferRef upload(const Image& image);

// PNG through GdkPixbuf (RGBA, straight alpha as stored).
bool savePng(const Image& image, const std::filesystem::path& path);
bool loadPng(const std::filesystem::path& path, Image& image);

// How far `actual` is from `expected`: whether the sizes match, the largest
// difference in any channel and how many pixels differ by more than
// `tolerance` in some channel.
struct ImageDifference {
    bool sameSize = false;
    int largestChannelDifference = 0;
    std::size_t pixelsBeyondTolerance = 0;
};
ImageDifference compare(const Image& actual, const Image& expected, int tolerance);

// Compares `actual` with tests/render/golden/<name>.png, allowing
// `tolerance` per channel and `allowedPixels` pixels beyond it. With
// BW_UPDATE_GOLDENS=1 in the environment the golden file is written instead.
::testing::AssertionResult matchesGolden(const Image& actual, const std::string& name,
                                         int tolerance, std::size_t allowedPixels);

}  // namespace bw::test
