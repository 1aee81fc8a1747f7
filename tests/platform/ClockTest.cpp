#include <gtest/gtest.h>

#include "platform/Clock.h"

namespace bw {
namespace {

using namespace std::chrono_literals;

TEST(ClockTest, ManualClockMovesOnlyWhenTold) {
    ManualClock clock(5'000'000'000);
    EXPECT_EQ(clock.hostTimeNanoseconds(), 5'000'000'000);
    EXPECT_DOUBLE_EQ(clock.mediaTimeSeconds(), 5.0);
    clock.advance(250ms);
    EXPECT_EQ(clock.hostTimeNanoseconds(), 5'250'000'000);
    EXPECT_DOUBLE_EQ(clock.mediaTimeSeconds(), 5.25);
    clock.setHostTimeNanoseconds(1);
    EXPECT_DOUBLE_EQ(clock.mediaTimeSeconds(), 1e-9);
}

TEST(ClockTest, SystemClockCanBeReplacedAndRestored) {
    ManualClock manual(42);
    Clock* previous = setSystemClock(&manual);
    EXPECT_EQ(systemClock().hostTimeNanoseconds(), 42);
    setSystemClock(previous);
    EXPECT_NE(&systemClock(), &manual);
    EXPECT_GT(systemClock().hostTimeNanoseconds(), 42);
}

}  // namespace
}  // namespace bw
