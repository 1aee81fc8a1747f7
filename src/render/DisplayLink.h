#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>

#include "render/DisplayTimeStamp.h"

namespace bw {

// The render thread's timer: one dedicated thread ("bw-render") that calls the
// output callback once per display refresh, on absolute CLOCK_MONOTONIC
// deadlines t0 + k * period (t0 taken when ticking starts, the period in whole
// nanoseconds), so lateness never accumulates. A tick that overruns skips the
// deadlines it missed instead of catching up: the next tick waits for the first
// deadline still in the future, and frameNumber jumps by the slots skipped.
// A wake-up so late that the next deadline has passed as well (the thread was
// kept off the CPU) ticks at once for the latest slot begun, skipping the
// others, so a tick's frame is never already due when the tick starts.
//
// The rate may change while the link runs (setRefreshRate): the deadline
// already awaited stays, and the grid is rebased there, at the new period,
// so the ticks go on without a burst or a gap; that deadline's tick is the
// first at the new rate. frameNumber counts on across the change.
//
// The thread is created by the first start() and lives as long as the object,
// so every tick of the object's life runs on the same thread (a GL context made
// current there once stays current). It raises its own priority where allowed:
// SCHED_FIFO at the lowest real-time priority, else a negative nice value, else
// none; threadPriority() says which it got.
//
// An invalid refresh rate does not throw: the link is built but refuses to
// start. Check isValidRefreshRate() before building one, or isValid() after,
// and treat false as fatal.
//
// Threads: the constructor, destructor, start(), stop() and
// setOutputCallback() are called from one controlling thread (the main
// thread); the callback runs on the link's thread. stop() may also be called
// from inside the callback. setRefreshRate() and the accessors may be called
// from any thread, the callback included. The
// callback must not wait for the controlling thread: that thread may be
// waiting in stop() for the callback to return.
class DisplayLink {
public:
    using OutputCallback = std::function<void(const DisplayTimeStamp&)>;

    // What the link's thread obtained when it raised its priority.
    enum class ThreadPriority {
        Normal,    // nothing allowed: default scheduling, nice unchanged
        Nice,      // a negative nice value on the thread
        RealTime,  // SCHED_FIFO
    };

    // Accepted rates lie within [kMinRefreshRate, kMaxRefreshRate] Hz.
    static constexpr double kMinRefreshRate = 0.001;
    static constexpr double kMaxRefreshRate = 100'000.0;
    static constexpr double kDefaultRefreshRate = 60.0;

    // Whether `hz` is finite and within the accepted range.
    static bool isValidRefreshRate(double hz);

    explicit DisplayLink(double refreshRateHz = kDefaultRefreshRate);
    // Stops ticking, waits for a tick in progress and joins the thread. Must
    // not run on the link's thread (from inside the callback): that aborts.
    ~DisplayLink();
    DisplayLink(const DisplayLink&) = delete;
    DisplayLink& operator=(const DisplayLink&) = delete;

    // False when the rate given to the constructor was refused (and none has
    // been set since); start() then fails.
    bool isValid() const { return refreshPeriodNs() != 0; }

    // Sets what each tick calls (empty: ticks run and are counted, nothing is
    // called). Meant to be called while stopped. Called while running it does
    // not disturb the ticks in progress: the new callback takes effect at the
    // next start() (the running one is kept alive until then).
    void setOutputCallback(OutputCallback callback);

    // Begins ticking on a fresh deadline grid whose first deadline, frame 0, is
    // the moment the thread takes the start up: at once when it is parked; a
    // thread still in a sleep of the previous grid (stop() does not wait for
    // it) takes it up when that sleep ends, within a period or 25 ms. Creates
    // the thread on first use. Does nothing and returns true when already
    // running. Returns false when the rate is invalid or the thread could not
    // be created.
    bool start();

    // Stops ticking. From the controlling thread it is synchronous: once it
    // returns no tick is running and none starts before the next start(); a
    // tick in progress is waited for. Called from inside the callback it only
    // marks the link stopped and returns at once; the current tick finishes
    // normally and no further tick starts. Idempotent.
    void stop();

    // Whether the link is started (false from the moment stop() is called).
    bool isRunning() const;

    // Ticks at `hz` from the next deadline on: the deadline the link's thread
    // awaits stays, and the ones after it follow at the new period. Stopped,
    // the next start() ticks at it. Returns false, and changes nothing, for a
    // rate isValidRefreshRate() refuses. Any thread.
    bool setRefreshRate(double hz);

    // The rate given last (to the constructor or setRefreshRate()), in Hz.
    double refreshRate() const { return refreshRate_.load(); }
    // The period of the deadline grid, in whole nanoseconds (0 when invalid).
    // Just after setRefreshRate() the running grid may still be waiting out
    // a deadline at the previous period.
    std::uint64_t refreshPeriodNs() const { return refreshPeriodNs_.load(); }

    // Over the object's whole life: ticks whose callback ran, and refresh
    // slots skipped because a tick (or the thread's wake-up) ran late.
    std::uint64_t ticksRun() const { return ticksRun_.load(std::memory_order_relaxed); }
    std::uint64_t slotsSkipped() const { return slotsSkipped_.load(std::memory_order_relaxed); }

    // What the thread obtained; Normal until the first start() returns.
    ThreadPriority threadPriority() const { return threadPriority_.load(); }
    static std::string_view priorityName(ThreadPriority priority);

private:
    void run();
    // Ticks on one deadline grid until the link is stopped, restarted or
    // destroyed. `generation` identifies the start() that began the grid.
    void tickGrid(std::uint64_t generation, const std::shared_ptr<const OutputCallback>& callback);
    // Sleeps until `deadline`; false when the grid ended meanwhile.
    bool sleepUntil(std::uint64_t deadline, std::uint64_t generation);
    // Whether the grid begun by `generation` is still wanted.
    bool gridWanted(std::uint64_t generation);
    bool isLinkThread() const { return std::this_thread::get_id() == threadId_.load(); }

    // Written together under mutex_; read without it.
    std::atomic<double> refreshRate_;
    std::atomic<std::uint64_t> refreshPeriodNs_;

    std::atomic<std::uint64_t> ticksRun_{0};
    std::atomic<std::uint64_t> slotsSkipped_{0};
    std::atomic<ThreadPriority> threadPriority_{ThreadPriority::Normal};
    std::atomic<std::thread::id> threadId_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;  // the link's thread waits here while parked
    std::condition_variable idle_;  // the controlling thread waits here
    // Guarded by mutex_.
    std::shared_ptr<const OutputCallback> callback_;
    bool running_ = false;
    bool quitting_ = false;
    bool threadReady_ = false;
    bool inTick_ = false;
    std::uint64_t generation_ = 0;  // bumped by each start()

    // Controlling thread only; last, so it starts once everything above is ready.
    std::thread thread_;
};

}  // namespace bw
