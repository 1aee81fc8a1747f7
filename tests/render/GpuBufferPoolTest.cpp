#include <epoxy/gl.h>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "render/GlGarbage.h"
#include "render/GpuBufferPool.h"
#include "render/RenderContext.h"
#include "render/RenderTestSupport.h"
#include "render/ShaderScene.h"

namespace bw {
namespace {

using test::Image;

class GpuBufferPoolTest : public test::RenderTest {
protected:
    GpuBufferPool& pool() { return GpuBufferPool::global(); }
};

TEST_F(GpuBufferPoolTest, ADroppedBufferLendsItsTextureToTheNextOfItsSize) {
    const std::size_t before = pool().textureCount();
    GpuBufferRef first = pool().allocBGRTexSized({16, 9});
    const GLuint name = first->name();
    EXPECT_EQ(pool().textureCount(), before + 1);
    first.reset();
    EXPECT_EQ(pool().idleTextureCount(), 1u);

    GpuBufferRef otherSize = pool().allocBGRTexSized({9, 16});
    EXPECT_NE(otherSize->name(), name);
    GpuBufferRef sameSize = pool().allocBGRTexSized({16, 9});
    EXPECT_EQ(sameSize->name(), name);
    EXPECT_EQ(pool().textureCount(), before + 2);
    EXPECT_EQ(pool().idleTextureCount(), 0u);
}

// Output buffers are made on the main thread and dropped wherever the last
// player lets go of them; only the render thread touches GL.
TEST_F(GpuBufferPoolTest, BuffersMayBeMadeAndDroppedOnOtherThreads) {
    GpuBufferRef made;
    std::thread([&] { made = pool().allocBGRTexSized({8, 8}); }).join();
    const GLuint name = made->name();
    std::thread([moved = std::move(made)]() mutable { moved.reset(); }).join();
    EXPECT_EQ(pool().idleTextureCount(), 1u);
    EXPECT_EQ(pool().allocBGRTexSized({8, 8})->name(), name);
}

TEST_F(GpuBufferPoolTest, HousekeepingDeletesOnlyTexturesIdleTooLong) {
    GpuBufferRef held = pool().allocBGRTexSized({4, 4});
    held->name();
    GpuBufferRef dropped = pool().allocBGRTexSized({5, 5});
    const GLuint droppedName = dropped->name();
    dropped.reset();
    const std::size_t alive = pool().textureCount();

    pool().housekeeping();
    EXPECT_EQ(pool().idleTextureCount(), 1u);
    EXPECT_EQ(pool().textureCount(), alive);

    pool().housekeeping(std::chrono::steady_clock::now() + GpuBufferPool::kIdleLifetime +
                        std::chrono::milliseconds(1));
    EXPECT_EQ(pool().idleTextureCount(), 0u);
    EXPECT_EQ(pool().textureCount(), alive - 1);
    EXPECT_EQ(glIsTexture(droppedName), GL_FALSE);
    EXPECT_EQ(glIsTexture(held->name()), GL_TRUE);
}

TEST_F(GpuBufferPoolTest, TheShelfKeepsABoundedNumberOfIdleTextures) {
    std::vector<GpuBufferRef> buffers;
    for (int i = 0; i < static_cast<int>(GpuBufferPool::kMaxIdleTextures) + 10; ++i) {
        buffers.push_back(pool().allocBGRTexSized({2 + i, 2}));
        buffers.back()->name();
    }
    buffers.clear();
    pool().housekeeping();
    EXPECT_EQ(pool().idleTextureCount(), GpuBufferPool::kMaxIdleTextures);
}

// A new output publishes its construction buffer until it has mixed
// something: a recycled texture must not show a stale picture.
TEST_F(GpuBufferPoolTest, ANewBufferIsTransparentEvenWhenItsTextureIsReused) {
    GpuBufferRef drawn = ShaderScene::blackScene().allocAndRenderToBufferSized({6, 3});
    EXPECT_EQ(test::readPixels(*drawn).at(2, 1)[3], 255);
    drawn.reset();

    GpuBufferRef fresh = pool().allocBGRTexSized({6, 3});
    const Image pixels = test::readPixels(*fresh);
    for (std::uint8_t byte : pixels.rgba) {
        ASSERT_EQ(byte, 0);
    }
}

TEST_F(GpuBufferPoolTest, UploadsKeepEveryPixelAndTheRowOrder) {
    const Image pattern = test::testPattern({13, 7});
    GpuBufferRef buffer = test::upload(pattern);
    ASSERT_NE(buffer, nullptr);
    EXPECT_FALSE(buffer->flipped());
    EXPECT_EQ(buffer->srcRect(), (PixelRect{0, 0, 13, 7}));
    EXPECT_EQ(test::readPixels(*buffer).rgba, pattern.rgba);

    // Rows with padding between them, as decoders hand them out.
    Image padded = pattern;
    const std::size_t stride = 13 * 4 + 12;
    std::vector<std::uint8_t> rows(stride * 7, 0xEE);
    for (int y = 0; y < 7; ++y) {
        std::copy_n(pattern.at(0, y), 13 * 4, rows.data() + stride * static_cast<std::size_t>(y));
    }
    GpuBufferRef fromPadded = pool().allocBufferWithPixels(rows.data(), {13, 7}, stride);
    ASSERT_NE(fromPadded, nullptr);
    EXPECT_EQ(test::readPixels(*fromPadded).rgba, pattern.rgba);
}

// Planes of fewer bytes a pixel than the texture they go into (packed RGB,
// one-channel planes), each into a texture of a size never made before.
TEST_F(GpuBufferPoolTest, PlanesOfEveryWidthFillNewTextures) {
    struct Case {
        GLenum internalFormat;
        GLenum format;
        int bytesPerPixel;
        PixelSize size;
    };
    const Case cases[] = {
        {GL_RGBA8, GL_RGB, 3, {17, 3}},
        {GL_RGBA8, GL_BGR, 3, {19, 5}},
        {GL_R8, GL_RED, 1, {23, 4}},
        {GL_RG8, GL_RG, 2, {11, 6}},
    };
    for (const Case& c : cases) {
        const std::size_t stride =
            static_cast<std::size_t>(c.size.width * c.bytesPerPixel + 3) / 4 * 4;
        std::vector<std::uint8_t> pixels(stride * static_cast<std::size_t>(c.size.height), 0x5A);
        GpuBufferPool::Plane plane;
        plane.pixels = pixels.data();
        plane.size = c.size;
        plane.stride = stride;
        plane.internalFormat = c.internalFormat;
        plane.format = c.format;
        plane.bytesPerPixel = c.bytesPerPixel;
        GpuBufferRef buffer = pool().allocBufferWithPlane(plane);
        ASSERT_NE(buffer, nullptr) << c.size.width;
        // What the texture holds, as the format's first channel.
        std::vector<std::uint8_t> red(static_cast<std::size_t>(c.size.width * c.size.height), 0);
        glBindTexture(GL_TEXTURE_2D, buffer->name());
        std::vector<std::uint8_t> all(static_cast<std::size_t>(c.size.width * c.size.height) * 4);
        glPixelStorei(GL_PACK_ALIGNMENT, 1);
        glGetTexImage(GL_TEXTURE_2D, 0, GL_RGBA, GL_UNSIGNED_BYTE, all.data());
        glBindTexture(GL_TEXTURE_2D, 0);
        for (std::size_t i = 0; i < red.size(); ++i) red[i] = all[i * 4];
        EXPECT_EQ(red, std::vector<std::uint8_t>(red.size(), 0x5A)) << c.size.width;
        EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR)) << c.size.width;
    }
}

TEST_F(GpuBufferPoolTest, SizesOutsideWhatATextureCanBeAreClamped) {
    EXPECT_EQ(pool().allocBGRTexSized({0, -3})->size(), (PixelSize{1, 1}));
    const int limit = RenderContext::shared().maxTextureSize();
    EXPECT_EQ(pool().allocBGRTexSized({limit + 1, 2})->size(), (PixelSize{limit, 2}));
    const std::uint8_t pixel[4] = {1, 2, 3, 4};
    EXPECT_EQ(pool().allocBufferWithPixels(pixel, {0, 1}, 4), nullptr);
}

// An output dropped on the main thread takes GL objects with it; they are
// deleted on the render thread, never with no context current.
TEST_F(GpuBufferPoolTest, GlObjectsDroppedOffTheRenderThreadAreDeletedThere) {
    GlTexture texture = GlTexture::create();
    const GLuint name = texture.get();
    glBindTexture(GL_TEXTURE_2D, name);
    glBindTexture(GL_TEXTURE_2D, 0);
    const std::size_t pendingBefore = GlGarbage::pendingCount();
    std::thread([moved = std::move(texture)]() mutable { moved.reset(); }).join();
    EXPECT_EQ(GlGarbage::pendingCount(), pendingBefore + 1);
    EXPECT_EQ(glIsTexture(name), GL_TRUE);

    pool().housekeeping();
    EXPECT_EQ(GlGarbage::pendingCount(), 0u);
    EXPECT_EQ(glIsTexture(name), GL_FALSE);
}

}  // namespace
}  // namespace bw
