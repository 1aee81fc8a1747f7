#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace bw {

// The host clock (nanoseconds, kHostTicksPerSecond ticks a second) and the
// media clock (seconds) read one monotonic source, so a host time converts to
// media time by division. Code asks systemClock() for both; tests may put a
// ManualClock in its place.
//
// Implementations are read from any thread.
class Clock {
public:
    static constexpr std::int64_t kHostTicksPerSecond = 1'000'000'000;

    virtual ~Clock() = default;
    virtual std::int64_t hostTimeNanoseconds() const = 0;
    virtual double mediaTimeSeconds() const = 0;
};

// CLOCK_MONOTONIC.
class MonotonicClock final : public Clock {
public:
    std::int64_t hostTimeNanoseconds() const override;
    double mediaTimeSeconds() const override;
};

// A clock that moves only when told to. Any thread.
class ManualClock final : public Clock {
public:
    explicit ManualClock(std::int64_t startNanoseconds = 0) : nanoseconds_(startNanoseconds) {}

    std::int64_t hostTimeNanoseconds() const override { return nanoseconds_.load(); }
    double mediaTimeSeconds() const override;

    void setHostTimeNanoseconds(std::int64_t nanoseconds) { nanoseconds_.store(nanoseconds); }
    void advance(std::chrono::nanoseconds step) { nanoseconds_.fetch_add(step.count()); }

private:
    std::atomic<std::int64_t> nanoseconds_;
};

// The process's clock: a MonotonicClock unless replaced. Any thread.
Clock& systemClock();
// Puts `clock` in place of the process's clock (nullptr: the MonotonicClock
// again) and returns the one it replaces. The caller keeps owning `clock` and
// must put the previous one back before it dies. Meant for tests.
Clock* setSystemClock(Clock* clock);

}  // namespace bw
