#include "remote/net/SocketIOThread.h"

#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <exception>

#include "platform/RunAndWait.h"
#include "platform/SystemLog.h"
#include "remote/net/SocketError.h"

namespace bw {

namespace {

// epoll data of the wake-up eventfd; registrations never use generation 0.
constexpr std::uint64_t kWakeToken = 0;
constexpr int kMaxEventsPerWait = 64;

void logFatal(const char* call) {
    const int failure = errno;
    SystemLog::shared().log(std::string("SocketIOThread: ") + call +
                            " failed: " + SocketError::posix(failure, {}).description);
    std::abort();
}

void runGuarded(const SocketIOThread::Work& work) {
    try {
        work();
    } catch (const std::exception& error) {
        SystemLog::shared().log(std::string("SocketIOThread: work item threw: ") + error.what());
    } catch (...) {
        SystemLog::shared().log("SocketIOThread: work item threw an unknown exception");
    }
}

}  // namespace

SocketIOThread::SocketIOThread(std::string label)
    : epoll_(::epoll_create1(EPOLL_CLOEXEC)), wakeFd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    // Without these there is no socket layer at all; nothing sensible is left to do.
    if (!epoll_.valid()) logFatal("epoll_create1");
    if (!wakeFd_.valid()) logFatal("eventfd");
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = kWakeToken;
    if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, wakeFd_.get(), &event) != 0) {
        logFatal("epoll_ctl");
    }
    thread_ = std::thread([this, name = label.substr(0, 15)] {
        pthread_setname_np(pthread_self(), name.c_str());
        loop();
    });
    threadId_ = thread_.get_id();
}

SocketIOThread::~SocketIOThread() {
    stop();
}

SocketIOThread::Clock::duration SocketIOThread::durationOf(double seconds) {
    constexpr double kNeverSeconds = 1e9;
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(std::clamp(seconds, 0.0, kNeverSeconds)));
}

SocketIOThread& SocketIOThread::shared() {
    // Never destroyed: sockets held by other static objects may still close
    // during exit. The loop itself stops at exit, before the main queue (made
    // earlier, at start-up) is destroyed, so no callback is posted into a dead queue.
    static SocketIOThread* const thread = [] {
        auto* created = new SocketIOThread("bw.socket-io");
        std::atexit([] { shared().stop(); });
        return created;
    }();
    return *thread;
}

void SocketIOThread::run(Work work) {
    bool queued = false;
    bool wasIdle = false;
    {
        std::lock_guard lock(mutex_);
        if (!stopped_) {
            wasIdle = pending_.empty();
            pending_.push_back(std::move(work));
            queued = true;
        }
    }
    if (!queued) {
        runInline(work);  // stopped: the caller stands in for the thread
        return;
    }
    if (wasIdle) {
        wake();  // a non-empty queue has already woken the loop
    }
}

void SocketIOThread::sync(const Work& work) {
    if (isCurrent()) {
        runGuarded(work);
        return;
    }
    runAndWait([this](Work item) { run(std::move(item)); }, [&] { runGuarded(work); });
}

void SocketIOThread::runInline(const Work& work) {
    std::lock_guard lock(inlineMutex_);
    runGuarded(work);
}

int SocketIOThread::add(int fd, std::uint32_t events, EventHandler handler) {
    Registration registration;
    registration.token = (nextGeneration_++ << 32) | static_cast<std::uint32_t>(fd);
    registration.events = events;
    registration.handler = std::make_shared<EventHandler>(std::move(handler));
    epoll_event event{};
    event.events = events;
    event.data.u64 = registration.token;
    if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &event) != 0) {
        return errno;
    }
    registrations_[fd] = std::move(registration);
    return 0;
}

int SocketIOThread::modify(int fd, std::uint32_t events) {
    auto found = registrations_.find(fd);
    if (found == registrations_.end()) {
        return ENOENT;
    }
    if (found->second.events == events) {
        return 0;
    }
    epoll_event event{};
    event.events = events;
    event.data.u64 = found->second.token;
    if (::epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, fd, &event) != 0) {
        return errno;
    }
    found->second.events = events;
    return 0;
}

void SocketIOThread::remove(int fd) {
    if (registrations_.erase(fd) != 0) {
        ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, fd, nullptr);
    }
}

SocketIOThread::TimerId SocketIOThread::addTimer(Clock::duration delay, Work work) {
    const TimerId id = nextTimerId_++;
    const Clock::time_point deadline = Clock::now() + delay;
    timers_.emplace(id, std::make_pair(deadline, std::move(work)));
    timerOrder_.emplace(deadline, id);
    return id;
}

void SocketIOThread::cancelTimer(TimerId id) {
    auto found = timers_.find(id);
    if (found == timers_.end()) {
        return;
    }
    timerOrder_.erase({found->second.first, id});
    timers_.erase(found);
}

void SocketIOThread::stop() {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) {
            return;
        }
        stopping_ = true;
    }
    wake();
    if (thread_.joinable() && !isCurrent()) {
        thread_.join();
    }
    threadId_ = std::thread::id();
    // Work that was posted but never ran: sync() callers are waiting for it.
    std::deque<Work> left;
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
        left.swap(pending_);
    }
    for (Work& work : left) {
        runInline(work);
    }
}

void SocketIOThread::wake() {
    const std::uint64_t one = 1;
    // EAGAIN means the counter is already non-zero: the loop wakes anyway.
    [[maybe_unused]] const ssize_t written = ::write(wakeFd_.get(), &one, sizeof one);
}

void SocketIOThread::loop() {
    std::array<epoll_event, kMaxEventsPerWait> events{};
    for (;;) {
        const int count =
            ::epoll_wait(epoll_.get(), events.data(), kMaxEventsPerWait, nextTimeoutMs());
        if (count < 0 && errno != EINTR) {
            SystemLog::shared().log("SocketIOThread: epoll_wait failed: " +
                                    SocketError::posix(errno, {}).description);
        }
        for (int i = 0; i < count; ++i) {
            if (events[i].data.u64 == kWakeToken) {
                std::uint64_t counter = 0;
                [[maybe_unused]] const ssize_t read =
                    ::read(wakeFd_.get(), &counter, sizeof counter);
                continue;
            }
            dispatch(events[i].data.u64, events[i].events);
        }
        {
            std::lock_guard lock(mutex_);
            if (stopping_) {
                return;
            }
        }
        runPosted();
        fireDueTimers();
    }
}

int SocketIOThread::nextTimeoutMs() const {
    if (timerOrder_.empty()) {
        return -1;
    }
    const auto wait = timerOrder_.begin()->first - Clock::now();
    if (wait <= Clock::duration::zero()) {
        return 0;
    }
    // Rounded up: waking a little early would only spin until the deadline.
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(wait).count();
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

void SocketIOThread::dispatch(std::uint64_t token, std::uint32_t events) {
    const int fd = static_cast<int>(token & 0xffffffffu);
    auto found = registrations_.find(fd);
    if (found == registrations_.end() || found->second.token != token) {
        return;  // removed (and maybe reused) by an earlier handler in this turn
    }
    const std::shared_ptr<EventHandler> handler = found->second.handler;
    try {
        (*handler)(events);
    } catch (const std::exception& error) {
        SystemLog::shared().log(std::string("SocketIOThread: handler threw: ") + error.what());
    } catch (...) {
        SystemLog::shared().log("SocketIOThread: handler threw an unknown exception");
    }
}

void SocketIOThread::runPosted() {
    std::deque<Work> batch;
    {
        std::lock_guard lock(mutex_);
        batch.swap(pending_);
    }
    for (Work& work : batch) {
        runGuarded(work);
        work = nullptr;  // captures (sockets among them) die in order, here
    }
}

void SocketIOThread::fireDueTimers() {
    const Clock::time_point now = Clock::now();
    // One at a time: a timer may cancel or add others.
    while (!timerOrder_.empty() && timerOrder_.begin()->first <= now) {
        const TimerId id = timerOrder_.begin()->second;
        timerOrder_.erase(timerOrder_.begin());
        auto found = timers_.find(id);
        Work work = std::move(found->second.second);
        timers_.erase(found);
        runGuarded(work);
    }
}

}  // namespace bw
