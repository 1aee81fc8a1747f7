#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/SystemLog.h"
#include "render/DisplayLink.h"
#include "support/Deadline.h"

namespace bw {
namespace {

using namespace std::chrono_literals;
using Priority = DisplayLink::ThreadPriority;

std::uint64_t monotonicNow() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000u +
           static_cast<std::uint64_t>(now.tv_nsec);
}

// Polls `done` until it holds or a generous deadline passes; false if it
// never held.
bool waitFor(const std::function<bool()>& done) {
    const auto giveUp = std::chrono::steady_clock::now() + test::scaled(10s);
    while (!done()) {
        if (std::chrono::steady_clock::now() > giveUp) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

struct Tick {
    DisplayTimeStamp stamp;
    std::uint64_t began = 0;  // CLOCK_MONOTONIC on entry to the callback
    std::uint64_t ended = 0;
    std::thread::id thread;
};

// Records every tick; `work` runs inside the callback.
class TickLog {
public:
    DisplayLink::OutputCallback callback(std::function<void(const DisplayTimeStamp&)> work = {}) {
        return [this, work = std::move(work)](const DisplayTimeStamp& stamp) {
            Tick tick{stamp, monotonicNow(), 0, std::this_thread::get_id()};
            if (work) work(stamp);
            tick.ended = monotonicNow();
            std::lock_guard lock(mutex_);
            ticks_.push_back(tick);
        };
    }
    std::vector<Tick> ticks() const {
        std::lock_guard lock(mutex_);
        return ticks_;
    }
    std::size_t count() const { return ticks().size(); }

private:
    mutable std::mutex mutex_;
    std::vector<Tick> ticks_;
};

// A callback that sleeps 6 ms per tick and says whether it is mid-run.
struct SleepyCallback {
    std::atomic<bool> inside{false};
    std::atomic<int> entered{0};
    DisplayLink::OutputCallback callback() {
        return [this](const DisplayTimeStamp&) {
            inside = true;
            ++entered;
            std::this_thread::sleep_for(6ms);
            inside = false;
        };
    }
};

TEST(DisplayLinkTest, RefusesInvalidRatesAndRoundsThePeriodToNanoseconds) {
    constexpr double kInf = std::numeric_limits<double>::infinity();
    for (const double bad :
         {0.0, -60.0, std::numeric_limits<double>::quiet_NaN(), kInf, -kInf, 1e-9, 1e9}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(DisplayLink::isValidRefreshRate(bad));
        DisplayLink link(bad);
        EXPECT_FALSE(link.isValid());
        EXPECT_FALSE(link.start());
        EXPECT_FALSE(link.isRunning());
        DisplayLink valid(50.0);
        EXPECT_FALSE(valid.setRefreshRate(bad));
        EXPECT_EQ(valid.refreshRate(), 50.0);
        EXPECT_EQ(valid.refreshPeriodNs(), 20'000'000u);
    }
    EXPECT_TRUE(DisplayLink(1.0).isValid());
    EXPECT_EQ(DisplayLink().refreshRate(), 60.0);
    EXPECT_EQ(DisplayLink().refreshPeriodNs(), 16'666'667u);
    EXPECT_EQ(DisplayLink(59.94).refreshPeriodNs(), 16'683'350u);
    EXPECT_EQ(DisplayLink(144.0).refreshPeriodNs(), 6'944'444u);
}

TEST(DisplayLinkTest, TicksAtTheRateOnTheDeadlineGridOnANamedRaisedThread) {
    DisplayLink link(100.0);
    const std::uint64_t period = link.refreshPeriodNs();
    TickLog log;
    std::string threadName;
    int policy = -1;
    int nice = 0;
    link.setOutputCallback(log.callback([&](const DisplayTimeStamp& stamp) {
        if (stamp.frameNumber != 0) return;
        char name[16] = {};
        pthread_getname_np(pthread_self(), name, sizeof name);
        threadName = name;
        policy = sched_getscheduler(0) & ~SCHED_RESET_ON_FORK;
        nice = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
    }));

    const std::uint64_t before = monotonicNow();
    ASSERT_TRUE(link.start());
    EXPECT_TRUE(link.isRunning());
    // About 50 slots, however long they take to come on a busy machine.
    EXPECT_TRUE(waitFor([&] {
        const auto ticks = log.ticks();
        return !ticks.empty() && ticks.back().stamp.frameNumber >= 49;
    }));
    link.stop();
    const std::uint64_t after = monotonicNow();
    EXPECT_FALSE(link.isRunning());

    // Ticks never outnumber the slots that fit in the time it ran. A thread
    // at real-time priority runs most of them whatever else the machine
    // does; an ordinary one may be kept waiting by a busy machine, and then
    // skips slots (counted below) instead of falling behind.
    const auto ticks = log.ticks();
    const std::uint64_t slots = (after - before) / period + 1;
    ASSERT_GE(ticks.size(), 2u);
    EXPECT_EQ(link.ticksRun(), ticks.size());
    EXPECT_LE(ticks.size(), slots);
    if (link.threadPriority() == Priority::RealTime) {
        EXPECT_GE(ticks.size(), slots / 3);
    }
    EXPECT_GE(ticks.back().stamp.frameNumber, 49u);
    EXPECT_EQ(ticks.back().stamp.frameNumber + 1, ticks.size() + link.slotsSkipped());
    EXPECT_EQ(ticks.front().stamp.frameNumber, 0u);
    EXPECT_GE(ticks.front().stamp.hostTime, before + period);
    for (std::size_t i = 0; i < ticks.size(); ++i) {
        SCOPED_TRACE(i);
        const DisplayTimeStamp& stamp = ticks[i].stamp;
        EXPECT_EQ(stamp.refreshPeriod, period);
        // Never early, and its frame is still to be shown when it runs.
        EXPECT_GE(ticks[i].began, stamp.hostTime - period);
        EXPECT_GT(stamp.hostTime + period, ticks[i].began);
        if (i == 0) continue;
        const DisplayTimeStamp& previous = ticks[i - 1].stamp;
        ASSERT_GT(stamp.hostTime, previous.hostTime);
        EXPECT_EQ((stamp.hostTime - previous.hostTime) % period, 0u);
        EXPECT_EQ((stamp.hostTime - previous.hostTime) / period,
                  stamp.frameNumber - previous.frameNumber);
    }

    EXPECT_EQ(threadName, "bw-render");
    EXPECT_EQ(policy == SCHED_FIFO, link.threadPriority() == Priority::RealTime);
    EXPECT_EQ(policy != SCHED_FIFO && nice < 0, link.threadPriority() == Priority::Nice);
}

// Verifies that a rate set while the link runs (from inside a tick, then from
// another thread) starts at the next deadline: the deadline already awaited
// stays, the ones after it follow the new period, and frame numbers count on.
TEST(DisplayLinkTest, ARateSetWhileRunningTakesEffectAtTheNextDeadline) {
    DisplayLink link(200.0);
    TickLog log;
    // The tick of frame 4, or the first after it should that slot be skipped.
    std::optional<std::uint64_t> changedAt;
    link.setOutputCallback(log.callback([&](const DisplayTimeStamp& stamp) {
        if (!changedAt && stamp.frameNumber >= 4) {
            changedAt = stamp.frameNumber;
            link.setRefreshRate(400.0);
        }
    }));
    const auto ticksAt = [&](std::uint64_t period) {
        const auto ticks = log.ticks();
        return std::count_if(ticks.begin(), ticks.end(),
                             [&](const Tick& t) { return t.stamp.refreshPeriod == period; });
    };
    ASSERT_TRUE(link.start());
    ASSERT_TRUE(waitFor([&] { return ticksAt(2'500'000) >= 5; }));
    ASSERT_TRUE(link.setRefreshRate(100.0));
    EXPECT_EQ(link.refreshRate(), 100.0);
    EXPECT_EQ(link.refreshPeriodNs(), 10'000'000u);
    ASSERT_TRUE(waitFor([&] { return ticksAt(10'000'000) >= 3; }));
    link.stop();

    const auto ticks = log.ticks();
    ASSERT_TRUE(changedAt.has_value());
    EXPECT_EQ(ticks.back().stamp.frameNumber + 1, ticks.size() + link.slotsSkipped());
    std::vector<std::uint64_t> periods;
    for (std::size_t i = 0; i < ticks.size(); ++i) {
        SCOPED_TRACE(i);
        const DisplayTimeStamp& stamp = ticks[i].stamp;
        if (periods.empty() || periods.back() != stamp.refreshPeriod) {
            periods.push_back(stamp.refreshPeriod);
        }
        // 5 ms up to the tick that set 2.5 ms, 2.5 ms from the next one on.
        if (stamp.frameNumber <= *changedAt) {
            EXPECT_EQ(stamp.refreshPeriod, 5'000'000u);
        } else if (periods.size() < 3) {
            EXPECT_EQ(stamp.refreshPeriod, 2'500'000u);
        }
        if (i == 0) continue;
        const DisplayTimeStamp& previous = ticks[i - 1].stamp;
        ASSERT_GT(stamp.frameNumber, previous.frameNumber);
        const std::uint64_t gap =
            (stamp.hostTime - stamp.refreshPeriod) - (previous.hostTime - previous.refreshPeriod);
        const std::uint64_t slots = stamp.frameNumber - previous.frameNumber;
        // The next deadline is the previous one plus the period it ticked at,
        // whatever rate comes next: no burst, no gap.
        if (slots == 1) {
            EXPECT_EQ(gap, previous.refreshPeriod);
        }
        if (stamp.refreshPeriod == previous.refreshPeriod) {
            EXPECT_EQ(gap, slots * stamp.refreshPeriod);
        }
    }
    EXPECT_EQ(periods, (std::vector<std::uint64_t>{5'000'000, 2'500'000, 10'000'000}));

    // Set while stopped: the next start ticks at it from frame 0.
    ASSERT_TRUE(link.setRefreshRate(250.0));
    const std::size_t before = ticks.size();
    ASSERT_TRUE(link.start());
    ASSERT_TRUE(waitFor([&] { return log.count() >= before + 2; }));
    link.stop();
    const Tick restarted = log.ticks()[before];
    EXPECT_EQ(restarted.stamp.frameNumber, 0u);
    EXPECT_EQ(restarted.stamp.refreshPeriod, 4'000'000u);
}

TEST(DisplayLinkTest, StopWaitsForTheTickInProgressAndNoneFollows) {
    DisplayLink link(100.0);
    SleepyCallback sleepy;
    link.setOutputCallback(sleepy.callback());
    ASSERT_TRUE(link.start());
    ASSERT_TRUE(waitFor([&] { return sleepy.entered >= 3 && sleepy.inside; }));
    link.stop();
    EXPECT_FALSE(sleepy.inside);
    const int atStop = sleepy.entered;
    EXPECT_EQ(link.ticksRun(), static_cast<std::uint64_t>(atStop));
    std::this_thread::sleep_for(80ms);
    EXPECT_EQ(sleepy.entered, atStop);
    EXPECT_EQ(link.ticksRun(), static_cast<std::uint64_t>(atStop));
}

TEST(DisplayLinkTest, StartAfterStopResumesOnTheSameThreadWithAFreshGrid) {
    DisplayLink link(100.0);
    const std::uint64_t period = link.refreshPeriodNs();
    TickLog log;
    link.setOutputCallback(log.callback());
    ASSERT_TRUE(link.start());
    ASSERT_TRUE(waitFor([&] { return log.count() >= 3; }));
    EXPECT_TRUE(link.start());  // already running: nothing changes
    link.stop();
    const std::size_t firstRun = log.count();
    const std::uint64_t skippedBefore = link.slotsSkipped();

    // A hundred slots pass while stopped: far more than a busy machine may
    // make the short runs below skip.
    std::this_thread::sleep_for(1000ms);
    const std::uint64_t restarted = monotonicNow();
    ASSERT_TRUE(link.start());
    ASSERT_TRUE(waitFor([&] { return log.count() >= firstRun + 3; }));
    // Stopped and started again at once, while the thread still sleeps
    // towards a deadline of the grid just stopped: that grid is dropped too.
    link.stop();
    const std::size_t secondRun = log.count();
    ASSERT_TRUE(link.start());
    ASSERT_TRUE(waitFor([&] { return log.count() > secondRun; }));
    link.stop();

    const auto ticks = log.ticks();
    for (const Tick& tick : ticks) {
        EXPECT_EQ(tick.thread, ticks.front().thread);
        EXPECT_NE(tick.thread, std::this_thread::get_id());
    }
    EXPECT_EQ(ticks[firstRun].stamp.frameNumber, 0u);
    EXPECT_GE(ticks[firstRun].stamp.hostTime - period, restarted);
    EXPECT_EQ(ticks[secondRun].stamp.frameNumber, 0u);
    // The slots that passed while stopped are neither run nor counted as skipped.
    EXPECT_LT(link.slotsSkipped() - skippedBefore, 50u);
}

TEST(DisplayLinkTest, StopFromInsideTheCallbackReturnsAndEndsTicking) {
    DisplayLink link(100.0);
    std::atomic<int> ticks{0};
    std::atomic<bool> stopReturned{false};
    link.setOutputCallback([&](const DisplayTimeStamp&) {
        if (++ticks == 3) {
            link.stop();
            stopReturned = true;
        }
    });
    ASSERT_TRUE(link.start());
    ASSERT_TRUE(waitFor([&] { return stopReturned.load(); }));
    EXPECT_FALSE(link.isRunning());
    link.stop();
    std::this_thread::sleep_for(60ms);
    EXPECT_EQ(ticks, 3);

    ASSERT_TRUE(link.start());  // still usable
    EXPECT_TRUE(waitFor([&] { return ticks >= 5; }));
    link.stop();
}

TEST(DisplayLinkTest, SlowTickSkipsTheDeadlinesItMissedInsteadOfBursting) {
    DisplayLink link(10.0);
    const std::uint64_t period = link.refreshPeriodNs();
    constexpr std::uint64_t kSlowFrame = 2;
    TickLog log;
    link.setOutputCallback(log.callback([&](const DisplayTimeStamp& stamp) {
        if (stamp.frameNumber == kSlowFrame) {
            std::this_thread::sleep_for(std::chrono::nanoseconds(3 * period));
        }
    }));
    ASSERT_TRUE(link.start());
    ASSERT_TRUE(waitFor([&] {
        const auto ticks = log.ticks();
        return !ticks.empty() && ticks.back().stamp.frameNumber > kSlowFrame + 2;
    }));
    link.stop();

    const auto ticks = log.ticks();
    std::size_t slow = 0;
    while (slow < ticks.size() && ticks[slow].stamp.frameNumber != kSlowFrame)
        ++slow;
    ASSERT_LT(slow + 1, ticks.size());
    // It covered the deadlines of frames 3, 4 and 5: the next tick is the
    // first whose deadline had not passed when it ended.
    EXPECT_GE(ticks[slow + 1].stamp.frameNumber, kSlowFrame + 4);
    EXPECT_GT(ticks[slow + 1].stamp.hostTime - period, ticks[slow].ended);
    EXPECT_GE(link.slotsSkipped(), 3u);
    // No burst anywhere: each tick has a later slot than the one before and
    // runs no earlier than its own slot's deadline (a busy machine may make
    // one late, which the next one on time then follows closely).
    for (std::size_t i = 1; i < ticks.size(); ++i) {
        EXPECT_GT(ticks[i].stamp.frameNumber, ticks[i - 1].stamp.frameNumber) << i;
        EXPECT_GE(ticks[i].began, ticks[i].stamp.hostTime - period) << i;
    }
}

TEST(DisplayLinkTest, CallbackSetWhileRunningTakesEffectAtTheNextStart) {
    DisplayLink link(100.0);
    std::atomic<int> first{0};
    std::atomic<int> second{0};
    link.setOutputCallback([&](const DisplayTimeStamp&) { ++first; });
    ASSERT_TRUE(link.start());
    ASSERT_TRUE(waitFor([&] { return first >= 2; }));
    link.setOutputCallback([&](const DisplayTimeStamp&) { ++second; });
    const int firstBefore = first;
    ASSERT_TRUE(waitFor([&] { return first >= firstBefore + 3; }));
    EXPECT_EQ(second, 0);
    link.stop();

    const int firstAtStop = first;
    ASSERT_TRUE(link.start());
    ASSERT_TRUE(waitFor([&] { return second >= 2; }));
    link.stop();
    EXPECT_EQ(first, firstAtStop);
}

TEST(DisplayLinkTest, CallbackThatThrowsIsLoggedAndTickingGoesOn) {
    SystemLog::ScopedCapture capture;
    DisplayLink link(100.0);
    std::atomic<int> ticks{0};
    link.setOutputCallback([&](const DisplayTimeStamp& stamp) {
        ++ticks;
        if (stamp.frameNumber == 0) throw std::runtime_error("shader missing");
    });
    ASSERT_TRUE(link.start());
    EXPECT_TRUE(waitFor([&] { return ticks >= 3; }));
    link.stop();
    const auto lines = capture.lines();
    EXPECT_NE(
        std::find(lines.begin(), lines.end(), "DisplayLink: output callback threw: shader missing"),
        lines.end());
}

TEST(DisplayLinkTest, DestructionWaitsForTheTickButNotForADistantDeadline) {
    SleepyCallback sleepy;
    auto link = std::make_unique<DisplayLink>(100.0);
    link->setOutputCallback(sleepy.callback());
    ASSERT_TRUE(link->start());
    ASSERT_TRUE(waitFor([&] { return sleepy.entered >= 2 && sleepy.inside; }));
    link.reset();
    EXPECT_FALSE(sleepy.inside);
    const int atDestruction = sleepy.entered;
    std::this_thread::sleep_for(40ms);
    EXPECT_EQ(sleepy.entered, atDestruction);

    // A 100 s period: the thread sleeps towards the second deadline.
    std::atomic<int> entered{0};
    link = std::make_unique<DisplayLink>(0.01);
    link->setOutputCallback([&](const DisplayTimeStamp&) { ++entered; });
    ASSERT_TRUE(link->start());
    ASSERT_TRUE(waitFor([&] { return entered == 1; }));
    const auto destroying = std::chrono::steady_clock::now();
    link.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - destroying, 10s);

    DisplayLink neverStarted;
}

}  // namespace
}  // namespace bw
