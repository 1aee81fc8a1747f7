#pragma once

#include <epoxy/gl.h>

#include <memory>
#include <utility>

#include "render/GlObject.h"
#include "render/PictureEncoding.h"
#include "render/PictureOrientation.h"
#include "render/PixelSize.h"

namespace bw {

class GpuBufferShelf;

// The GL objects behind one buffer: a texture of a size and format (RGBA8
// unless it holds one plane of a movie picture) and, once something renders
// into it, a framebuffer with the texture attached. Empty names until the
// texture is first used on the render thread.
struct PooledTexture {
    GlTexture texture;
    GlFramebuffer framebuffer;
    PixelSize size;
    GLenum format = GL_RGBA8;
};

// One frame on the GPU: a texture from the buffer pool. Handles are shared
// (GpuBufferRef); when the last one goes, on any thread, the texture returns
// to its pool for reuse instead of being deleted.
//
// Pixels are RGBA with premultiplied alpha, unless encoding() says
// otherwise (a movie's picture in its decoder's planes). Row order: unless flipped(), the
// first stored row is the picture's top row, which is how shader scenes render
// and how readbacks and uploads see it; flipped() means the rows are stored
// bottom-up. srcRect() is the valid region, in stored rows and columns.
// orientation() says how the stored picture turns upright (a movie's rotation
// tag) and pixelAspect() how wide a stored pixel shows against its height (a
// movie's pixel aspect ratio); both are applied where the picture is placed on
// an output, not in the pixels.
//
// name() and framebuffer() are GL calls (render thread); the rest may be read
// on any thread that holds a handle.
class GpuBuffer {
public:
    GpuBuffer(PixelSize size, PooledTexture texture, std::shared_ptr<GpuBufferShelf> shelf,
              bool clearOnFirstUse);
    GpuBuffer(PixelSize size, GLenum format, PooledTexture texture,
              std::shared_ptr<GpuBufferShelf> shelf, bool clearOnFirstUse);
    ~GpuBuffer();
    GpuBuffer(const GpuBuffer&) = delete;
    GpuBuffer& operator=(const GpuBuffer&) = delete;

    // Texture name and target. The texture is created at the first call.
    GLuint name();
    GLenum target() const { return GL_TEXTURE_2D; }
    // A framebuffer rendering into the texture, created at the first call.
    GLuint framebuffer();

    PixelSize size() const { return texture_.size; }
    // The texture's internal format: GL_RGBA8, or one plane's (GL_R8,
    // GL_RG8, GL_R16, GL_RG16).
    GLenum format() const { return texture_.format; }
    const PictureEncoding& encoding() const { return encoding_; }
    void setEncoding(PictureEncoding encoding) { encoding_ = std::move(encoding); }
    PixelRect srcRect() const { return srcRect_; }
    void setSrcRect(PixelRect rect) { srcRect_ = rect; }
    bool flipped() const { return flipped_; }
    void setFlipped(bool flipped) { flipped_ = flipped; }
    PictureOrientation orientation() const { return orientation_; }
    void setOrientation(PictureOrientation orientation) { orientation_ = orientation; }
    double pixelAspect() const { return pixelAspect_; }
    void setPixelAspect(double aspect) { pixelAspect_ = aspect; }

private:
    PooledTexture texture_;
    std::shared_ptr<GpuBufferShelf> shelf_;
    PixelRect srcRect_;
    PictureEncoding encoding_;
    bool flipped_ = false;
    PictureOrientation orientation_ = PictureOrientation::Rotate0;
    double pixelAspect_ = 1.0;
    bool clearOnFirstUse_;
};

using GpuBufferRef = std::shared_ptr<GpuBuffer>;

}  // namespace bw
