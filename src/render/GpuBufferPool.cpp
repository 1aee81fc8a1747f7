#include "render/GpuBufferPool.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "platform/Fatal.h"
#include "render/GlGarbage.h"
#include "render/GpuBufferShelf.h"
#include "render/RenderContext.h"

namespace bw {

namespace {

std::once_flag globalOnce;
GpuBufferPool* globalPool = nullptr;

}  // namespace

void GpuBufferPool::createGlobal(RenderContext& context) {
    std::call_once(globalOnce, [&context] { globalPool = new GpuBufferPool(context); });
}

GpuBufferPool& GpuBufferPool::global() {
    if (globalPool == nullptr) {
        fatalError("the GPU buffer pool was used before it was created");
    }
    return *globalPool;
}

GpuBufferPool::GpuBufferPool(RenderContext& context)
    : shelf_(std::make_shared<GpuBufferShelf>()),
      maxTextureSize_(std::max(1, context.maxTextureSize())),
      uploadsDirectly_(context.isSoftware()) {}

GpuBufferPool::~GpuBufferPool() {
    shelf_->orphan();
}

PixelSize GpuBufferPool::clamp(PixelSize size) const {
    return PixelSize{std::clamp(size.width, 1, maxTextureSize_),
                     std::clamp(size.height, 1, maxTextureSize_)};
}

GpuBufferRef GpuBufferPool::alloc(PixelSize size, GLenum format, bool clearOnFirstUse) {
    size = clamp(size);
    PooledTexture texture = shelf_->take(size, format).value_or(PooledTexture{});
    return std::make_shared<GpuBuffer>(size, format, std::move(texture), shelf_, clearOnFirstUse);
}

GpuBufferRef GpuBufferPool::allocBGRTexSized(PixelSize size) {
    return alloc(size, GL_RGBA8, true);
}

GpuBufferRef GpuBufferPool::allocForOverwrite(PixelSize size) {
    return alloc(size, GL_RGBA8, false);
}

GpuBufferRef GpuBufferPool::allocBufferWithPixels(const std::uint8_t* rgba, PixelSize size,
                                                  std::size_t stride) {
    Plane plane;
    plane.pixels = rgba;
    plane.size = size;
    plane.stride = stride;
    return allocBufferWithPlane(plane);
}

GpuBufferRef GpuBufferPool::allocBufferWithPlane(const Plane& plane) {
    const PixelSize size = plane.size;
    const std::size_t rowBytes = static_cast<std::size_t>(std::max(size.width, 0)) *
                                 static_cast<std::size_t>(plane.bytesPerPixel);
    if (plane.pixels == nullptr || size.isEmpty() || plane.stride < rowBytes) {
        return nullptr;
    }
    GpuBufferRef buffer = alloc(size, plane.internalFormat, false);
    if (buffer->size() != size) {
        // Larger than a texture can be: nothing sensible to show.
        return nullptr;
    }
    // A new texture is made before the staging buffer is bound: made while it
    // is, the texture would take its first contents from it, and fail to be
    // made at all where the plane has fewer bytes than the texture.
    const GLuint texture = buffer->name();
    // Rows are copied with their padding in one go where the padding is a
    // whole number of pixels, and the texture is told the row length;
    // otherwise row by row, packed.
    const bool wholePixels = plane.stride % static_cast<std::size_t>(plane.bytesPerPixel) == 0;
    if (uploadsDirectly_ && wholePixels) {
        upload(texture, plane, plane.pixels, plane.stride);
        return buffer;
    }
    const std::size_t slot = nextUploadBuffer_;
    GlBuffer& staging = uploadBuffers_[slot];
    nextUploadBuffer_ = (nextUploadBuffer_ + 1) % uploadBuffers_.size();
    if (!staging) {
        staging = GlBuffer::create();
    }
    const std::size_t stagedStride = wholePixels ? plane.stride : rowBytes;
    const std::size_t rows = static_cast<std::size_t>(size.height);
    const std::size_t bytes = stagedStride * (rows - 1) + rowBytes;
    glBindBuffer(GL_PIXEL_UNPACK_BUFFER, staging.get());
    // New storage only when it must grow: remade for every picture, it is
    // fresh memory each time, which the system clears and maps page by page.
    // Mapping with the invalidate bit lets a GPU still reading the last
    // contents keep them.
    if (uploadCapacities_[slot] < bytes) {
        glBufferData(GL_PIXEL_UNPACK_BUFFER, static_cast<GLsizeiptr>(bytes), nullptr,
                     GL_STREAM_DRAW);
        uploadCapacities_[slot] = bytes;
    }
    void* mapped = glMapBufferRange(GL_PIXEL_UNPACK_BUFFER, 0, static_cast<GLsizeiptr>(bytes),
                                    GL_MAP_WRITE_BIT | GL_MAP_INVALIDATE_BUFFER_BIT);
    if (mapped == nullptr) {
        glBindBuffer(GL_PIXEL_UNPACK_BUFFER, 0);
        return nullptr;
    }
    auto* destination = static_cast<std::uint8_t*>(mapped);
    if (wholePixels) {
        std::memcpy(destination, plane.pixels, bytes);
    } else {
        for (std::size_t row = 0; row < rows; ++row) {
            std::memcpy(destination + rowBytes * row, plane.pixels + plane.stride * row, rowBytes);
        }
    }
    glUnmapBuffer(GL_PIXEL_UNPACK_BUFFER);
    upload(texture, plane, nullptr, stagedStride);
    glBindBuffer(GL_PIXEL_UNPACK_BUFFER, 0);
    return buffer;
}

void GpuBufferPool::upload(GLuint texture, const Plane& plane, const std::uint8_t* pixels,
                           std::size_t stride) {
    glBindTexture(GL_TEXTURE_2D, texture);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glPixelStorei(GL_UNPACK_ROW_LENGTH,
                  static_cast<GLint>(stride / static_cast<std::size_t>(plane.bytesPerPixel)));
    glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, plane.size.width, plane.size.height, plane.format,
                    plane.type, pixels);
    glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    glBindTexture(GL_TEXTURE_2D, 0);
}

void GpuBufferPool::housekeeping() {
    housekeeping(GpuBufferShelf::Clock::now());
}

void GpuBufferPool::housekeeping(std::chrono::steady_clock::time_point now) {
    GlGarbage::collect();
    shelf_->discardIdle(now, kIdleLifetime, kMaxIdleTextures);
}

std::size_t GpuBufferPool::textureCount() const {
    return shelf_->textureCount();
}

std::size_t GpuBufferPool::idleTextureCount() const {
    return shelf_->idleCount();
}

}  // namespace bw
