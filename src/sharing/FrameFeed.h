#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "render/PixelSize.h"
#include "sharing/FramePixels.h"

namespace bw {

// Hands an output's published frames to one reader on another thread (an
// output window's presenter), newest first: the render thread puts each frame
// in, the reader takes the newest one it has not had yet; frames the reader
// was too slow for are overwritten, never queued. Two buffers are kept and
// reused, the reader's and the newest: a frame is written into the newest
// one where it lies, under the lock, so a reader taking meanwhile waits at
// most for that copy (0.6 ms at 1080p), and the render thread waits for the
// reader no longer than a swap of two vectors. Neither side allocates once
// the size settles. (A third buffer, written outside the lock, would cost a
// whole frame's memory for each output window to spare the reader that
// wait.)
//
// Threads: put on the render thread; waitAndTake, wake and close on the
// reader's side (any thread).
class FrameFeed {
public:
    // One frame taken from the feed.
    struct Frame {
        FramePixels pixels;
        // Counts the frames put in, from 1; a reader sees gaps where frames
        // were overwritten.
        std::uint64_t sequence = 0;
        // CLOCK_MONOTONIC nanoseconds when the frame was put in.
        std::uint64_t publishedAt = 0;
        // When the frame is on the output's screens (the tick's display
        // time, same clock); 0 where the frame server was not told.
        std::uint64_t displayTime = 0;
    };

    FrameFeed() = default;
    FrameFeed(const FrameFeed&) = delete;
    FrameFeed& operator=(const FrameFeed&) = delete;

    // Render thread: copies a frame in (RGBA, `stride` bytes a row, top row
    // first, shown at `displayTime`, 0 for unknown) and wakes the reader.
    void put(const std::uint8_t* rgba, std::size_t stride, PixelSize size,
             std::uint64_t displayTime = 0);

    // What waitAndTake found.
    enum class Wait {
        Frame,     // `frame` holds a frame newer than the last one taken
        Woken,     // wake() was called and no new frame came
        TimedOut,  // neither within the timeout
        Closed,    // close() was called
    };
    // Waits up to `timeout` for a frame newer than the last one taken. On
    // Frame, swaps it into `frame` (whose old storage the feed reuses).
    Wait waitAndTake(Frame& frame, std::chrono::nanoseconds timeout);
    // Lets a waitAndTake in progress (or the next one) return Woken, for a
    // reader that has something else to do (a window exposed again).
    void wake();
    // Every waitAndTake from now on returns Closed at once.
    void close();

    // Frames put in so far.
    std::uint64_t framesPut() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable ready_;
    // Copies a frame into `pixels`, whose storage is reused.
    static void copyInto(FramePixels& pixels, const std::uint8_t* rgba, std::size_t stride,
                         PixelSize size);

    // Guarded by mutex_: the newest frame not yet taken (when fresh_), or the
    // storage the reader handed over with its last take.
    Frame newest_;
    bool fresh_ = false;
    bool woken_ = false;
    bool closed_ = false;
    std::uint64_t sequence_ = 0;
};

}  // namespace bw
