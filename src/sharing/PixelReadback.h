#pragma once

#include <epoxy/gl.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "render/GlObject.h"
#include "render/GpuBuffer.h"
#include "render/PixelSize.h"

namespace bw {

// Brings frames back from the GPU through two pixel-buffer objects used in
// turn, so that a tick never waits for its own readback: each call starts
// copying this tick's frame and hands out the newest copy the GPU has
// finished: this tick's where it is done at once (a software renderer always
// is), else the one started a call earlier. A frame is at most one refresh
// behind the render, and none is handed out twice. Where every copy is done
// at once the second buffer is never made.
//
// Render thread only. May be destroyed on any thread (its GL objects are
// then deleted by the render thread).
class PixelReadback {
public:
    // RGBA pixels, top row first, valid until unmap() or the next call.
    struct Mapped {
        const std::uint8_t* rgba = nullptr;
        PixelSize size;
        std::size_t stride = 0;
        // The pixels this call read, not those of the call before.
        bool newest = false;
    };

    PixelReadback() = default;
    ~PixelReadback();
    PixelReadback(const PixelReadback&) = delete;
    PixelReadback& operator=(const PixelReadback&) = delete;

    // Starts reading all of `framebuffer` (of `size`) back, then maps the
    // newest finished copy not handed out yet. None when there is none (the
    // GPU still copying both): the caller drops the frame rather than wait.
    std::optional<Mapped> readAndMap(GLuint framebuffer, PixelSize size);
    // Releases the mapping handed out last, if any.
    void unmap();

    // Frames not handed out because the GPU was still copying them.
    // Any thread.
    std::uint64_t framesNotReady() const { return framesNotReady_.load(std::memory_order_relaxed); }

private:
    struct Slot {
        GlBuffer buffer;
        std::size_t capacity = 0;
        PixelSize size;
        GLsync fence = nullptr;
        bool filled = false;
    };
    static void deleteFence(Slot& slot);
    static bool isDone(Slot& slot);
    std::optional<Mapped> map(Slot& slot);

    std::array<Slot, 2> slots_;
    std::size_t next_ = 0;
    Slot* mapped_ = nullptr;
    std::atomic<std::uint64_t> framesNotReady_ = 0;
};

}  // namespace bw
