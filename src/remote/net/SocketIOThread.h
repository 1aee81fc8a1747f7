#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>

#include "platform/FileDescriptor.h"

namespace bw {

// The thread on which every socket makes its system calls: one epoll loop that
// waits on registered file descriptors, runs posted work and fires timers, one
// item at a time. The process shares one (shared()); tests may build their own.
//
// run(), sync() and isCurrent() may be called from any thread. add(), modify(),
// remove(), addTimer() and cancelTimer() are I/O thread only: call them from
// work, handlers or timers. Nothing that runs here may wait for another
// thread's work (the delegate queue above all): sockets post their callbacks.
class SocketIOThread {
public:
    using Work = std::function<void()>;
    // Given the epoll events (EPOLLIN, EPOLLOUT, EPOLLERR ...) that fired.
    using EventHandler = std::function<void(std::uint32_t events)>;
    using Clock = std::chrono::steady_clock;
    using TimerId = std::uint64_t;

    // Starts the thread. `label`, cut to 15 bytes, names it.
    explicit SocketIOThread(std::string label = "bw.socket-io");
    // Stops the loop; must not run on the I/O thread.
    ~SocketIOThread();
    SocketIOThread(const SocketIOThread&) = delete;
    SocketIOThread& operator=(const SocketIOThread&) = delete;

    // The process's thread, created on first use; it is stopped when the
    // process exits and never destroyed.
    static SocketIOThread& shared();

    // `seconds` as a Clock duration, clamped to [0, 1e9 s]: far enough to
    // mean "never" without overflowing the clock's arithmetic.
    static Clock::duration durationOf(double seconds);

    // Runs `work` later on the I/O thread, after everything posted before.
    void run(Work work);
    // Runs `work` on the I/O thread after everything posted before it and
    // returns once it has run; inline when called on the I/O thread.
    void sync(const Work& work);
    bool isCurrent() const { return std::this_thread::get_id() == threadId_.load(); }

    // Watches `fd` for `events` (level-triggered); `handler` runs on the I/O
    // thread whenever some fire. EPOLLERR and EPOLLHUP are always watched.
    // Each returns 0 or the errno of the failed epoll_ctl.
    int add(int fd, std::uint32_t events, EventHandler handler);
    int modify(int fd, std::uint32_t events);
    // Stops watching `fd`; its handler never runs again, even for events
    // already collected in this turn of the loop. Call before closing `fd`.
    void remove(int fd);

    // Runs `work` on the I/O thread once `delay` has passed, unless cancelled.
    TimerId addTimer(Clock::duration delay, Work work);
    void cancelTimer(TimerId id);

    // Ends the loop and joins the thread. Afterwards the caller of run() and
    // sync() stands in for the thread: work runs inline, one caller at a time,
    // and no handler or timer fires again. Idempotent.
    void stop();

private:
    struct Registration {
        std::uint64_t token = 0;  // what epoll hands back: generation << 32 | fd
        std::uint32_t events = 0;
        std::shared_ptr<EventHandler> handler;  // kept alive while it runs
    };

    void loop();
    int nextTimeoutMs() const;
    void dispatch(std::uint64_t token, std::uint32_t events);
    void runPosted();
    void fireDueTimers();
    void wake();
    void runInline(const Work& work);

    FileDescriptor epoll_;
    FileDescriptor wakeFd_;

    // I/O thread only (or the stand-in after stop()).
    std::unordered_map<int, Registration> registrations_;
    std::uint64_t nextGeneration_ = 1;
    std::map<TimerId, std::pair<Clock::time_point, Work>> timers_;
    std::set<std::pair<Clock::time_point, TimerId>> timerOrder_;
    TimerId nextTimerId_ = 1;

    std::mutex mutex_;
    // Guarded by mutex_.
    std::deque<Work> pending_;
    bool stopping_ = false;
    bool stopped_ = false;

    // Serialises inline work once the thread has stopped.
    std::recursive_mutex inlineMutex_;

    std::atomic<std::thread::id> threadId_;
    std::thread thread_;  // last: started once everything above is ready
};

}  // namespace bw
