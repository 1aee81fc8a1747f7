#include "platform/Clock.h"

#include <time.h>

namespace bw {

namespace {

// nullptr: the MonotonicClock. Constant-initialised, so usable from any
// static initialiser.
constinit std::atomic<Clock*> gReplacement{nullptr};

MonotonicClock& monotonicClock() {
    static MonotonicClock clock;
    return clock;
}

double toSeconds(std::int64_t nanoseconds) {
    return static_cast<double>(nanoseconds) / static_cast<double>(Clock::kHostTicksPerSecond);
}

}  // namespace

std::int64_t MonotonicClock::hostTimeNanoseconds() const {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * kHostTicksPerSecond + now.tv_nsec;
}

double MonotonicClock::mediaTimeSeconds() const {
    return toSeconds(hostTimeNanoseconds());
}

double ManualClock::mediaTimeSeconds() const {
    return toSeconds(hostTimeNanoseconds());
}

Clock& systemClock() {
    Clock* replacement = gReplacement.load();
    return replacement != nullptr ? *replacement : monotonicClock();
}

Clock* setSystemClock(Clock* clock) {
    Clock* previous = gReplacement.exchange(clock);
    return previous != nullptr ? previous : &monotonicClock();
}

}  // namespace bw
