#include "render/DisplayLink.h"

#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <exception>
#include <string>
#include <system_error>

#include "platform/SystemLog.h"

namespace bw {

namespace {

constexpr std::uint64_t kNanosecondsPerSecond = 1'000'000'000;
// Longest single sleep: a thread waiting for a distant deadline looks up this
// often whether it has been stopped, restarted or is being destroyed. Periods
// shorter than this (every display rate) sleep once, straight to the deadline.
constexpr std::uint64_t kSleepSliceNs = 25'000'000;
// The nice value tried first when real-time scheduling is refused; values
// closer to 0 are tried after it, in case the limit allows only those.
constexpr int kRaisedNice = -10;

std::uint64_t monotonicNow() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * kNanosecondsPerSecond +
           static_cast<std::uint64_t>(now.tv_nsec);
}

timespec toTimespec(std::uint64_t nanoseconds) {
    timespec time{};
    time.tv_sec = static_cast<time_t>(nanoseconds / kNanosecondsPerSecond);
    time.tv_nsec = static_cast<long>(nanoseconds % kNanosecondsPerSecond);
    return time;
}

std::uint64_t periodFor(double hz) {
    if (!DisplayLink::isValidRefreshRate(hz)) return 0;
    return static_cast<std::uint64_t>(std::llround(1e9 / hz));
}

// Raises the calling thread's priority as far as it is allowed to.
DisplayLink::ThreadPriority raiseOwnPriority() {
    const pid_t self = ::gettid();
    sched_param param{};
    param.sched_priority = ::sched_get_priority_min(SCHED_FIFO);
    // Threads this one creates (a GL driver's helpers) start with normal
    // scheduling rather than inheriting the real-time policy.
    if (::sched_setscheduler(self, SCHED_FIFO | SCHED_RESET_ON_FORK, &param) == 0) {
        return DisplayLink::ThreadPriority::RealTime;
    }
    errno = 0;
    int current = ::getpriority(PRIO_PROCESS, static_cast<id_t>(self));
    if (errno != 0) current = 0;
    // Only values below the current one: a higher one would lower the priority.
    for (int nice = kRaisedNice; nice < std::min(current, 0); ++nice) {
        if (::setpriority(PRIO_PROCESS, static_cast<id_t>(self), nice) == 0) {
            return DisplayLink::ThreadPriority::Nice;
        }
    }
    return current < 0 ? DisplayLink::ThreadPriority::Nice : DisplayLink::ThreadPriority::Normal;
}

void invokeGuarded(const DisplayLink::OutputCallback& callback, const DisplayTimeStamp& stamp) {
    try {
        callback(stamp);
    } catch (const std::exception& error) {
        SystemLog::shared().log(std::string("DisplayLink: output callback threw: ") + error.what());
    } catch (...) {
        SystemLog::shared().log("DisplayLink: output callback threw an unknown exception");
    }
}

}  // namespace

bool DisplayLink::isValidRefreshRate(double hz) {
    return std::isfinite(hz) && hz >= kMinRefreshRate && hz <= kMaxRefreshRate;
}

DisplayLink::DisplayLink(double refreshRateHz)
    : refreshRate_(refreshRateHz), refreshPeriodNs_(periodFor(refreshRateHz)) {}

bool DisplayLink::setRefreshRate(double hz) {
    if (!isValidRefreshRate(hz)) return false;
    std::lock_guard lock(mutex_);
    refreshRate_.store(hz);
    refreshPeriodNs_.store(periodFor(hz));
    return true;
}

DisplayLink::~DisplayLink() {
    if (isLinkThread()) {
        SystemLog::shared().log("DisplayLink: destroyed from its own thread");
        std::abort();
    }
    {
        std::lock_guard lock(mutex_);
        quitting_ = true;
        running_ = false;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

std::string_view DisplayLink::priorityName(ThreadPriority priority) {
    switch (priority) {
        case ThreadPriority::Normal:
            return "normal";
        case ThreadPriority::Nice:
            return "negative nice";
        case ThreadPriority::RealTime:
            return "SCHED_FIFO";
    }
    return "unknown";
}

void DisplayLink::setOutputCallback(OutputCallback callback) {
    std::shared_ptr<const OutputCallback> shared;
    if (callback) shared = std::make_shared<const OutputCallback>(std::move(callback));
    {
        std::lock_guard lock(mutex_);
        callback_.swap(shared);
    }
    // `shared` now holds the previous callback; unless the thread still holds
    // it too, it dies here, outside the lock.
}

bool DisplayLink::start() {
    if (!isValid()) return false;
    std::unique_lock lock(mutex_);
    if (running_) return true;
    if (!thread_.joinable()) {
        try {
            thread_ = std::thread([this] { run(); });
        } catch (const std::system_error& error) {
            SystemLog::shared().log(std::string("DisplayLink: cannot create its thread: ") +
                                    error.what());
            return false;
        }
        idle_.wait(lock, [this] { return threadReady_; });
    }
    running_ = true;
    ++generation_;
    lock.unlock();
    wake_.notify_all();
    return true;
}

void DisplayLink::stop() {
    std::unique_lock lock(mutex_);
    running_ = false;
    if (isLinkThread()) return;  // the tick calling us is the one in progress
    idle_.wait(lock, [this] { return !inTick_; });
}

bool DisplayLink::isRunning() const {
    std::lock_guard lock(mutex_);
    return running_;
}

void DisplayLink::run() {
    threadId_ = std::this_thread::get_id();
    ::pthread_setname_np(::pthread_self(), "bw-render");
    threadPriority_ = raiseOwnPriority();
    // Without real-time scheduling the kernel may delay each wake-up by the
    // thread's timer slack (50 us by default) to batch timers; ask for the
    // least there is (1 ns: 0 would mean the default).
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);

    std::unique_lock lock(mutex_);
    threadReady_ = true;
    idle_.notify_all();
    for (;;) {
        wake_.wait(lock, [this] { return quitting_ || running_; });
        if (quitting_) return;
        const std::uint64_t generation = generation_;
        std::shared_ptr<const OutputCallback> callback = callback_;
        lock.unlock();
        tickGrid(generation, callback);
        callback.reset();  // a replaced callback dies here, outside the lock
        lock.lock();
    }
}

bool DisplayLink::gridWanted(std::uint64_t generation) {
    std::lock_guard lock(mutex_);
    return running_ && !quitting_ && generation_ == generation;
}

bool DisplayLink::sleepUntil(std::uint64_t deadline, std::uint64_t generation) {
    for (;;) {
        const std::uint64_t now = monotonicNow();
        if (now >= deadline) return true;
        const bool last = deadline - now <= kSleepSliceNs;
        const timespec until = toTimespec(last ? deadline : now + kSleepSliceNs);
        // Returns early only when a signal interrupts it; the loop sleeps again.
        ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
        if (!last && !gridWanted(generation)) return false;
    }
}

void DisplayLink::tickGrid(std::uint64_t generation,
                           const std::shared_ptr<const OutputCallback>& callback) {
    // The grid: deadline origin + slot * period is refresh slot base + slot.
    // A new rate moves origin and base to the deadline it takes effect at.
    std::uint64_t period = refreshPeriodNs_.load();
    std::uint64_t origin = monotonicNow();
    std::uint64_t base = 0;
    std::uint64_t slot = 0;
    for (;;) {
        if (!sleepUntil(origin + slot * period, generation)) return;

        // A rate set since the last tick starts at the deadline just reached,
        // the first of the new grid.
        if (const std::uint64_t wanted = refreshPeriodNs_.load(); wanted != period) {
            origin += slot * period;
            base += slot;
            slot = 0;
            period = wanted;
        }

        // Woken so late that the next slot has begun as well (the thread was
        // kept off the CPU): render for the latest slot begun, whose frame can
        // still be shown in time.
        const std::uint64_t woke = monotonicNow();
        const std::uint64_t latest = (woke - origin) / period;
        if (latest > slot) {
            slotsSkipped_.fetch_add(latest - slot, std::memory_order_relaxed);
            slot = latest;
        }

        {
            std::lock_guard lock(mutex_);
            if (!running_ || quitting_ || generation_ != generation) return;
            inTick_ = true;
        }
        const std::uint64_t deadline = origin + slot * period;
        DisplayTimeStamp stamp;
        stamp.hostTime = deadline + period;
        stamp.refreshPeriod = period;
        stamp.frameNumber = base + slot;
        if (callback && *callback) invokeGuarded(*callback, stamp);
        ticksRun_.fetch_add(1, std::memory_order_relaxed);
        {
            std::lock_guard lock(mutex_);
            inTick_ = false;
        }
        idle_.notify_all();

        // The next tick waits for the first deadline still in the future, so
        // an overrun drops the slots it covered instead of running them back
        // to back.
        const std::uint64_t finished = monotonicNow();
        std::uint64_t next = slot + 1;
        if (origin + next * period <= finished) {
            next = (finished - origin) / period + 1;
            slotsSkipped_.fetch_add(next - slot - 1, std::memory_order_relaxed);
        }
        slot = next;
    }
}

}  // namespace bw
