#include "render/GpuBufferShelf.h"

#include <utility>

namespace bw {

void GpuBufferShelf::putBack(PooledTexture texture) {
    std::lock_guard lock(mutex_);
    if (orphaned_) {
        // Deleted here, or by the render thread when this thread has no context.
        deleteTexture(texture);
        return;
    }
    idle_.push_back(Idle{std::move(texture), Clock::now()});
}

std::optional<PooledTexture> GpuBufferShelf::take(PixelSize size, GLenum format) {
    std::lock_guard lock(mutex_);
    for (auto it = idle_.rbegin(); it != idle_.rend(); ++it) {
        if (it->texture.size == size && it->texture.format == format) {
            PooledTexture texture = std::move(it->texture);
            idle_.erase(std::next(it).base());
            return texture;
        }
    }
    return std::nullopt;
}

void GpuBufferShelf::textureCreated() {
    std::lock_guard lock(mutex_);
    ++textureCount_;
}

void GpuBufferShelf::deleteTexture(PooledTexture& texture) {
    texture.framebuffer.reset();
    texture.texture.reset();
    --textureCount_;
}

void GpuBufferShelf::discardIdle(Clock::time_point now, Clock::duration idleLimit,
                                 std::size_t maxIdle) {
    std::lock_guard lock(mutex_);
    const std::size_t excess = idle_.size() > maxIdle ? idle_.size() - maxIdle : 0;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < idle_.size(); ++i) {
        if (i < excess || now - idle_[i].since > idleLimit) {
            deleteTexture(idle_[i].texture);
        } else {
            if (kept != i) {
                idle_[kept] = std::move(idle_[i]);
            }
            ++kept;
        }
    }
    idle_.resize(kept);
}

void GpuBufferShelf::orphan() {
    std::lock_guard lock(mutex_);
    for (Idle& entry : idle_) {
        deleteTexture(entry.texture);
    }
    idle_.clear();
    orphaned_ = true;
}

std::size_t GpuBufferShelf::idleCount() const {
    std::lock_guard lock(mutex_);
    return idle_.size();
}

std::size_t GpuBufferShelf::textureCount() const {
    std::lock_guard lock(mutex_);
    return textureCount_;
}

}  // namespace bw
