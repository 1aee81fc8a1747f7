#include "sharing/FrameFeed.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "platform/Clock.h"

namespace bw {

void FrameFeed::put(const std::uint8_t* rgba, std::size_t stride, PixelSize size,
                    std::uint64_t displayTime) {
    Frame frame;
    {
        std::lock_guard lock(mutex_);
        if (closed_) return;
        frame = std::move(spare_);
    }
    // The copy runs outside the lock, into storage only this thread holds.
    const std::size_t row = static_cast<std::size_t>(std::max(size.width, 0)) * 4;
    const std::size_t rows = static_cast<std::size_t>(std::max(size.height, 0));
    frame.pixels.size = size;
    frame.pixels.rgba.resize(row * rows);
    if (stride == row) {
        std::memcpy(frame.pixels.rgba.data(), rgba, row * rows);
    } else {
        for (std::size_t y = 0; y < rows; ++y)
            std::memcpy(frame.pixels.rgba.data() + y * row, rgba + y * stride, row);
    }
    frame.publishedAt = static_cast<std::uint64_t>(MonotonicClock().hostTimeNanoseconds());
    frame.displayTime = displayTime;
    {
        std::lock_guard lock(mutex_);
        frame.sequence = ++sequence_;
        std::swap(newest_, frame);
        // The frame overwritten (or the one the reader handed back) becomes
        // the spare.
        spare_ = std::move(frame);
        fresh_ = true;
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
        // The reader's old frame waits in newest_ (stale) for the put after
        // next to reuse its storage.
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
