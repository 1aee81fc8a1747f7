#pragma once

#include <cstdint>

typedef struct _GstClock GstClock;

namespace bw {

// The clock a show runs on when several machines play it together: its time
// (nanoseconds) is the same on every machine at the same moment. Fades take
// their progress from it and movies started together run on it.
//
// Implementations are read from any thread.
class ShowClock {
public:
    virtual ~ShowClock() = default;

    // The show time at `hostTimeNanoseconds` on the host clock
    // (Clock::hostTimeNanoseconds), such as a tick's display time.
    virtual std::int64_t showTimeAt(std::int64_t hostTimeNanoseconds) const = 0;
    // The same clock for GStreamer pipelines; null where there is none (tests).
    // Owned by the show clock.
    virtual GstClock* gstClock() const = 0;
};

}  // namespace bw
