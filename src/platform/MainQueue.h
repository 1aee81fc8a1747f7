#pragma once

#include <glib.h>

#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/GLibHandle.h"

namespace bw {

// The main dispatch queue: work posted here runs on the thread that iterates
// the queue's GLib main context (the GUI thread under Qt, the GMainLoop thread
// when headless), one item at a time, in the order it was posted.
//
// post() may be called from any thread, including the main thread itself (the
// work then runs on a later iteration, never inside post()). Everything else is
// main thread only. The queue must outlive the iterations of its context that
// may dispatch it; its destructor detaches a pending wake-up and drops work not
// yet run.
class MainQueue {
public:
    using Work = std::function<void()>;

    // Binds to `context` (nullptr: the GLib default main context). The thread
    // that constructs the queue is taken as the main thread.
    explicit MainQueue(GMainContext* context = nullptr);
    ~MainQueue();
    MainQueue(const MainQueue&) = delete;
    MainQueue& operator=(const MainQueue&) = delete;

    // The process's queue on the default main context, created on first use.
    // The first call must come from the main thread.
    static MainQueue& shared();

    // Any thread. Runs `work` later on the main thread.
    void post(Work work);

    bool isMainThread() const { return std::this_thread::get_id() == mainThread_; }
    GMainContext* context() const { return context_.get(); }

    // Test helper, main thread only: iterates the context until `done` returns
    // true or `timeout` passes. Returns the last value of `done`.
    bool pumpUntil(const std::function<bool()>& done,
                   std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Main thread only: runs everything already pending, without blocking.
    void drain();

private:
    static gboolean dispatch(gpointer self);
    void runPending();

    GMainContextPtr context_;
    std::thread::id mainThread_;

    std::mutex mutex_;
    // Guarded by mutex_.
    std::deque<Work> pending_;
    GSourcePtr wakeSource_;  // attached while there is work to run
};

}  // namespace bw
