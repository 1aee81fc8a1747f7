#include "render/GpuBuffer.h"

#include <utility>

#include "render/GpuBufferShelf.h"

namespace bw {

GpuBuffer::GpuBuffer(PixelSize size, PooledTexture texture, std::shared_ptr<GpuBufferShelf> shelf,
                     bool clearOnFirstUse)
    : texture_(std::move(texture)),
      shelf_(std::move(shelf)),
      srcRect_{0, 0, size.width, size.height},
      clearOnFirstUse_(clearOnFirstUse) {
    texture_.size = size;
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
        glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, texture_.size.width, texture_.size.height, 0,
                     GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
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
