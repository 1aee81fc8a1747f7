#pragma once

#include <utility>

#include "media/MediaPlayer.h"

namespace bw {

// Shows one fixed frame: the still an output fades from when GO interrupts a
// crossfade.
class BufferPlayer final : public MediaPlayer {
public:
    explicit BufferPlayer(GpuBufferRef buffer) : buffer_(std::move(buffer)) {}

    GpuBufferRef frameForTime(const DisplayTimeStamp& /*timeStamp*/) override { return buffer_; }
    const GpuBufferRef& buffer() const { return buffer_; }

private:
    GpuBufferRef buffer_;
};

}  // namespace bw
