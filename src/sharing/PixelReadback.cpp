#include "sharing/PixelReadback.h"

#include "render/GlGarbage.h"

namespace bw {

PixelReadback::~PixelReadback() {
    const bool here = GlGarbage::canDeleteHere();
    if (mapped_ != nullptr && here) {
        unmap();
    }
    for (Slot& slot : slots_) {
        if (slot.fence == nullptr) {
            continue;
        }
        if (here) {
            deleteFence(slot);
        } else {
            GlGarbage::defer([fence = slot.fence] { glDeleteSync(fence); });
            slot.fence = nullptr;
        }
    }
    // A mapping still open on a thread without the context goes with the
    // buffer, which the render thread deletes.
}

void PixelReadback::deleteFence(Slot& slot) {
    if (slot.fence != nullptr) {
        glDeleteSync(slot.fence);
        slot.fence = nullptr;
    }
}

std::optional<PixelReadback::Mapped> PixelReadback::readAndMap(GLuint framebuffer, PixelSize size) {
    unmap();
    Slot& current = slots_[next_];
    Slot& previous = slots_[1 - next_];

    const std::size_t stride = static_cast<std::size_t>(size.width) * 4;
    const std::size_t bytes = stride * static_cast<std::size_t>(size.height);
    if (!current.buffer) {
        current.buffer = GlBuffer::create();
    }
    glBindBuffer(GL_PIXEL_PACK_BUFFER, current.buffer.get());
    if (current.capacity != bytes) {
        glBufferData(GL_PIXEL_PACK_BUFFER, static_cast<GLsizeiptr>(bytes), nullptr, GL_STREAM_READ);
        current.capacity = bytes;
    }
    glBindFramebuffer(GL_READ_FRAMEBUFFER, framebuffer);
    glPixelStorei(GL_PACK_ALIGNMENT, 4);
    glReadPixels(0, 0, size.width, size.height, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
    glBindFramebuffer(GL_READ_FRAMEBUFFER, 0);
    deleteFence(current);
    current.fence = glFenceSync(GL_SYNC_GPU_COMMANDS_COMPLETE, 0);
    current.size = size;
    current.filled = true;

    // The newest finished copy goes out: this tick's where the GPU is done
    // already (a software renderer always is), else the previous tick's.
    std::optional<Mapped> result;
    if (isDone(current)) {
        // Nothing is left in flight, so the next tick reads into this buffer
        // again: a renderer whose copies are done at once uses only one.
        previous.filled = false;
        deleteFence(previous);
        result = map(current);
        if (result) result->newest = true;
    } else {
        next_ = 1 - next_;
        if (previous.filled) {
            if (isDone(previous)) {
                result = map(previous);
            } else {
                framesNotReady_.fetch_add(1, std::memory_order_relaxed);
            }
        }
    }
    glBindBuffer(GL_PIXEL_PACK_BUFFER, 0);
    return result;
}

bool PixelReadback::isDone(Slot& slot) {
    return glClientWaitSync(slot.fence, GL_SYNC_FLUSH_COMMANDS_BIT, 0) != GL_TIMEOUT_EXPIRED;
}

std::optional<PixelReadback::Mapped> PixelReadback::map(Slot& slot) {
    slot.filled = false;
    deleteFence(slot);
    const std::size_t bytes =
        static_cast<std::size_t>(slot.size.width) * 4 * static_cast<std::size_t>(slot.size.height);
    glBindBuffer(GL_PIXEL_PACK_BUFFER, slot.buffer.get());
    const void* pixels =
        glMapBufferRange(GL_PIXEL_PACK_BUFFER, 0, static_cast<GLsizeiptr>(bytes), GL_MAP_READ_BIT);
    if (pixels == nullptr) {
        return std::nullopt;
    }
    mapped_ = &slot;
    return Mapped{static_cast<const std::uint8_t*>(pixels), slot.size,
                  static_cast<std::size_t>(slot.size.width) * 4};
}

void PixelReadback::unmap() {
    if (mapped_ == nullptr) {
        return;
    }
    glBindBuffer(GL_PIXEL_PACK_BUFFER, mapped_->buffer.get());
    glUnmapBuffer(GL_PIXEL_PACK_BUFFER);
    glBindBuffer(GL_PIXEL_PACK_BUFFER, 0);
    mapped_ = nullptr;
}

}  // namespace bw
