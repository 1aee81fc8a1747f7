#include "sharing/FrameFeed.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "platform/Clock.h"

namespace bw {

void FrameFeed::copyInto(FramePixels& pixels, const std::uint8_t* rgba, std::size_t stride,
                         PixelSize size) {
    const std::size_t row = static_cast<std::size_t>(std::max(size.width, 0)) * 4;
    const std::size_t rows = static_cast<std::size_t>(std::max(size.height, 0));
    pixels.size = size;
    pixels.rgba.resize(row * rows);
    if (stride == row) {
        std::memcpy(pixels.rgba.data(), rgba, row * rows);
    } else {
        for (std::size_t y = 0; y < rows; ++y)
            std::memcpy(pixels.rgba.data() + y * row, rgba + y * stride, row);
    }
}

void FrameFeed::put(const std::uint8_t* rgba, std::size_t stride, PixelSize size,
                    std::uint64_t displayTime) {
    const auto stamp = [&](Frame& frame) {
        frame.publishedAt = static_cast<std::uint64_t>(MonotonicClock().hostTimeNanoseconds());
        frame.displayTime = displayTime;
        frame.sequence = ++sequence_;
        fresh_ = true;
    };
    {
        std::lock_guard lock(mutex_);
        if (closed_) return;
        if (newest_.pixels.rgba.capacity() > 0) {
            // The newest frame (taken or not, this one replaces it) is
            // written where it lies.
            copyInto(newest_.pixels, rgba, stride, size);
            stamp(newest_);
            ready_.notify_one();
            return;
        }
    }
    // The first frame, or the first since the reader took the only buffer:
    // the second buffer is made outside the lock. Only a take changes
    // newest_ meanwhile, and there is nothing fresh to take.
    Frame frame;
    copyInto(frame.pixels, rgba, stride, size);
    {
        std::lock_guard lock(mutex_);
        std::swap(newest_, frame);
        stamp(newest_);
    }
    ready_.notify_one();
}

FrameFeed::Wait FrameFeed::waitAndTake(Frame& frame, std::chrono::nanoseconds timeout) {
    std::unique_lock lock(mutex_);
    ready_.wait_for(lock, timeout, [this] { return closed_ || fresh_ || woken_; });
    if (closed_) return Wait::Closed;
    if (fresh_) {
        std::swap(newest_, frame);
        fresh_ = false;
        woken_ = false;
        // The reader's old frame waits in newest_ (stale) for the next put
        // to reuse its storage.
        return Wait::Frame;
    }
    if (woken_) {
        woken_ = false;
        return Wait::Woken;
    }
    return Wait::TimedOut;
}

void FrameFeed::wake() {
    {
        std::lock_guard lock(mutex_);
        woken_ = true;
    }
    ready_.notify_one();
}

void FrameFeed::close() {
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
    }
    ready_.notify_all();
}

std::uint64_t FrameFeed::framesPut() const {
    std::lock_guard lock(mutex_);
    return sequence_;
}

}  // namespace bw
