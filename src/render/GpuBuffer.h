#pragma once

#include <epoxy/gl.h>

#include <memory>

#include "render/GlObject.h"
#include "render/PixelSize.h"

namespace bw {

class GpuBufferShelf;

// The GL objects behind one buffer: an RGBA8 texture of a size and, once
// something renders into it, a framebuffer with the texture attached. Empty
// names until the texture is first used on the render thread.
struct PooledTexture {
    GlTexture texture;
    GlFramebuffer framebuffer;
    PixelSize size;
};

// One frame on the GPU: a texture from the buffer pool. Handles are shared
// (GpuBufferRef); when the last one goes, on any thread, the texture returns
// to its pool for reuse instead of being deleted.
//
// Pixels are RGBA with premultiplied alpha. Row order: unless flipped(), the
// first stored row is the picture's top row, which is how shader scenes render
// and how readbacks and uploads see it; flipped() means the rows are stored
// bottom-up. srcRect() is the valid region, in stored rows and columns.
//
// name() and framebuffer() are GL calls (render thread); the rest may be read
// on any thread that holds a handle.
class GpuBuffer {
public:
    GpuBuffer(PixelSize size, PooledTexture texture, std::shared_ptr<GpuBufferShelf> shelf,
              bool clearOnFirstUse);
    ~GpuBuffer();
    GpuBuffer(const GpuBuffer&) = delete;
    GpuBuffer& operator=(const GpuBuffer&) = delete;

    // Texture name and target. The texture is created at the first call.
    GLuint name();
    GLenum target() const { return GL_TEXTURE_2D; }
    // A framebuffer rendering into the texture, created at the first call.
    GLuint framebuffer();

    PixelSize size() const { return texture_.size; }
    PixelRect srcRect() const { return srcRect_; }
    void setSrcRect(PixelRect rect) { srcRect_ = rect; }
    bool flipped() const { return flipped_; }
    void setFlipped(bool flipped) { flipped_ = flipped; }

private:
    PooledTexture texture_;
    std::shared_ptr<GpuBufferShelf> shelf_;
    PixelRect srcRect_;
    bool flipped_ = false;
    bool clearOnFirstUse_;
};

using GpuBufferRef = std::shared_ptr<GpuBuffer>;

}  // namespace bw
