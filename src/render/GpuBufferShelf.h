#pragma once

#include <chrono>
#include <cstddef>
#include <mutex>
#include <optional>
#include <vector>

#include "render/GpuBuffer.h"

namespace bw {

// Where a buffer pool keeps the textures nobody holds, until they are handed
// out again or deleted. Shared by the pool and its buffers, so a buffer that
// outlives its pool still has somewhere to go.
//
// putBack and take run on any thread (a handle may drop on the main thread);
// discarding deletes textures, on the render thread.
class GpuBufferShelf {
public:
    using Clock = std::chrono::steady_clock;

    GpuBufferShelf() = default;
    GpuBufferShelf(const GpuBufferShelf&) = delete;
    GpuBufferShelf& operator=(const GpuBufferShelf&) = delete;

    // A texture whose buffer was dropped; deleted instead once the pool is
    // gone (orphan).
    void putBack(PooledTexture texture);
    // A texture of exactly `size` and internal `format` that nobody holds,
    // most recently returned first (its memory is the likeliest to be warm);
    // none if there is none.
    std::optional<PooledTexture> take(PixelSize size, GLenum format);

    // Counts a texture made by a buffer.
    void textureCreated();

    // Render thread: deletes the textures idle for longer than `idleLimit`,
    // and the oldest beyond `maxIdle`.
    void discardIdle(Clock::time_point now, Clock::duration idleLimit, std::size_t maxIdle);
    // Render thread: deletes every idle texture, and from now on gives up
    // textures put back instead of keeping them.
    void orphan();

    // Textures on the shelf, and textures alive in all (held or idle).
    std::size_t idleCount() const;
    std::size_t textureCount() const;

private:
    struct Idle {
        PooledTexture texture;
        Clock::time_point since;
    };
    void deleteTexture(PooledTexture& texture);

    mutable std::mutex mutex_;
    // Guarded by mutex_; oldest first.
    std::vector<Idle> idle_;
    std::size_t textureCount_ = 0;
    bool orphaned_ = false;
};

}  // namespace bw
