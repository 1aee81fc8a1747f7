#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "render/GlObject.h"
#include "render/GpuBuffer.h"
#include "render/PixelSize.h"

namespace bw {

class GpuBufferShelf;
class RenderContext;

// Frames live in pooled textures keyed by size and format (RGBA8, or the
// formats of a movie's planes). Dropping the last
// handle of a buffer puts its texture back; the next request of that size
// takes it again, and housekeeping deletes what has stayed unused for a while.
// The process has one global pool, created with the engine on the shared
// context.
//
// Threads: buffers may be asked for and dropped on any thread (an output is
// built on the main thread); textures are only created, filled and deleted on
// the render thread, the first time a buffer is used there, and in
// housekeeping and uploads.
class GpuBufferPool {
public:
    // Textures unused for this long are deleted by housekeeping, and the shelf
    // never keeps more than kMaxIdleTextures.
    static constexpr std::chrono::milliseconds kIdleLifetime{2000};
    static constexpr std::size_t kMaxIdleTextures = 48;

    // Creates the global pool on `context`; later calls do nothing.
    static void createGlobal(RenderContext& context);
    // The global pool. Asking for it before it exists is a fault in the
    // program's start-up and ends the process.
    static GpuBufferPool& global();

    explicit GpuBufferPool(RenderContext& context);
    // Buffers still held elsewhere stay valid; their textures are deleted
    // when they are dropped instead of returning.
    ~GpuBufferPool();
    GpuBufferPool(const GpuBufferPool&) = delete;
    GpuBufferPool& operator=(const GpuBufferPool&) = delete;

    // A buffer of `size`, cleared to transparent before its first use. Any
    // thread. Sizes are clamped to 1 .. the context's maximum texture size.
    GpuBufferRef allocBGRTexSized(PixelSize size);
    // A buffer of `size` whose contents are undefined until the caller draws
    // all of it (render targets). Any thread.
    GpuBufferRef allocForOverwrite(PixelSize size);
    // Render thread: a buffer holding a copy of `size` RGBA pixels (premultiplied
    // alpha, top row first, `stride` bytes from one row to the next), uploaded
    // through a pixel-buffer object so a GPU can take it asynchronously.
    GpuBufferRef allocBufferWithPixels(const std::uint8_t* rgba, PixelSize size,
                                       std::size_t stride);

    // One plane of pixels in memory, as a texture of `internalFormat` takes
    // it: `format` and `type` as glTexSubImage2D has them, `bytesPerPixel`
    // bytes a pixel, `stride` bytes from one row to the next.
    struct Plane {
        const std::uint8_t* pixels = nullptr;
        PixelSize size;
        std::size_t stride = 0;
        GLenum internalFormat = GL_RGBA8;
        GLenum format = GL_RGBA;
        GLenum type = GL_UNSIGNED_BYTE;
        int bytesPerPixel = 4;
    };
    // Render thread: a buffer holding a copy of `plane`, uploaded through the
    // same staging ring (on a renderer that runs on the CPU, straight from
    // `plane`); none when the plane is larger than a texture can be
    // or the staging memory cannot be mapped.
    GpuBufferRef allocBufferWithPlane(const Plane& plane);

    // Render thread: deletes the textures that have stayed idle too long
    // (as of `now`, for tests that cannot wait), and GL objects whose owners
    // died on other threads.
    void housekeeping();
    void housekeeping(std::chrono::steady_clock::time_point now);

    // Textures alive (held or idle) and idle on the shelf.
    std::size_t textureCount() const;
    std::size_t idleTextureCount() const;

private:
    GpuBufferRef alloc(PixelSize size, GLenum format, bool clearOnFirstUse);
    PixelSize clamp(PixelSize size) const;
    // Fills `texture` with the plane's pixels: from `pixels` in client
    // memory, or from the bound unpack buffer where `pixels` is null.
    static void upload(GLuint texture, const Plane& plane, const std::uint8_t* pixels,
                       std::size_t stride);

    std::shared_ptr<GpuBufferShelf> shelf_;
    int maxTextureSize_;
    // Upload staging buffers, used in turn so a GPU can still be reading one
    // while the next is filled. Created at the first upload.
    std::array<GlBuffer, 3> uploadBuffers_;
    // The bytes each upload buffer's storage holds: storage is made again
    // only for a larger picture, so a movie's frames reuse the same memory.
    std::array<std::size_t, 3> uploadCapacities_{};
    std::size_t nextUploadBuffer_ = 0;
    // A renderer that runs on the CPU reads the pixels while they are handed
    // to it; a staging copy would only add one.
    bool uploadsDirectly_;
};

}  // namespace bw
