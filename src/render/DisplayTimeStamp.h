#pragma once

#include <cstdint>

namespace bw {

// What the display link hands to each tick. Times are CLOCK_MONOTONIC
// nanoseconds, the clock of Clock::hostTimeNanoseconds().
struct DisplayTimeStamp {
    // When the frame being rendered will be shown: the tick's deadline plus
    // one refresh period.
    std::uint64_t hostTime = 0;
    // Nanoseconds per refresh.
    std::uint64_t refreshPeriod = 0;
    // Refresh slots since start(), counting from 0; slots skipped because a
    // tick ran late are counted too, so a jump of more than one is a dropped frame.
    std::uint64_t frameNumber = 0;
};

}  // namespace bw
