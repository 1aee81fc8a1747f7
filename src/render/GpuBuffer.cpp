#include "render/GpuBuffer.h"

#include <utility>

#include "render/GpuBufferShelf.h"

namespace bw {

namespace {

// What glTexImage2D takes for an internal format.
struct ExternalFormat {
    GLenum format;
    GLenum type;
};

ExternalFormat externalFormat(GLenum internalFormat) {
    switch (internalFormat) {
        case GL_R8:
            return {GL_RED, GL_UNSIGNED_BYTE};
        case GL_RG8:
            return {GL_RG, GL_UNSIGNED_BYTE};
        case GL_R16:
            return {GL_RED, GL_UNSIGNED_SHORT};
        case GL_RG16:
            return {GL_RG, GL_UNSIGNED_SHORT};
        default:
            return {GL_RGBA, GL_UNSIGNED_BYTE};
    }
}

}  // namespace

GpuBuffer::GpuBuffer(PixelSize size, PooledTexture texture, std::shared_ptr<GpuBufferShelf> shelf,
                     bool clearOnFirstUse)
    : GpuBuffer(size, GL_RGBA8, std::move(texture), std::move(shelf), clearOnFirstUse) {}

GpuBuffer::GpuBuffer(PixelSize size, GLenum format, PooledTexture texture,
                     std::shared_ptr<GpuBufferShelf> shelf, bool clearOnFirstUse)
    : texture_(std::move(texture)),
      shelf_(std::move(shelf)),
      srcRect_{0, 0, size.width, size.height},
      clearOnFirstUse_(clearOnFirstUse) {
    texture_.size = size;
    texture_.format = format;
}

GpuBuffer::~GpuBuffer() {
    if (texture_.texture) {
        shelf_->putBack(std::move(texture_));
    }
}

GLuint GpuBuffer::name() {
    if (!texture_.texture) {
        texture_.texture = GlTexture::create();
        glBindTexture(GL_TEXTURE_2D, texture_.texture.get());
        const ExternalFormat external = externalFormat(texture_.format);
        glTexImage2D(GL_TEXTURE_2D, 0, static_cast<GLint>(texture_.format), texture_.size.width,
                     texture_.size.height, 0, external.format, external.type, nullptr);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
        glBindTexture(GL_TEXTURE_2D, 0);
        shelf_->textureCreated();
    }
    if (clearOnFirstUse_) {
        clearOnFirstUse_ = false;
        glBindFramebuffer(GL_FRAMEBUFFER, framebuffer());
        glClearColor(0.0f, 0.0f, 0.0f, 0.0f);
        glClear(GL_COLOR_BUFFER_BIT);
        glBindFramebuffer(GL_FRAMEBUFFER, 0);
    }
    return texture_.texture.get();
}

GLuint GpuBuffer::framebuffer() {
    const GLuint texture = name();
    if (!texture_.framebuffer) {
        texture_.framebuffer = GlFramebuffer::create();
        glBindFramebuffer(GL_FRAMEBUFFER, texture_.framebuffer.get());
        glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, texture, 0);
        glBindFramebuffer(GL_FRAMEBUFFER, 0);
    }
    return texture_.framebuffer.get();
}

}  // namespace bw
