#include "platform/MainQueue.h"

#include <exception>
#include <string>
#include <utility>

#include "platform/SystemLog.h"

namespace bw {

namespace {

// Work items run under a GLib callback; an exception must not unwind into C.
void runGuarded(MainQueue::Work& work) {
    try {
        work();
    } catch (const std::exception& error) {
        SystemLog::shared().log(std::string("MainQueue: work item threw: ") + error.what());
    } catch (...) {
        SystemLog::shared().log("MainQueue: work item threw an unknown exception");
    }
}

}  // namespace

MainQueue::MainQueue(GMainContext* context)
    : context_(g_main_context_ref(context != nullptr ? context : g_main_context_default())),
      mainThread_(std::this_thread::get_id()) {}

MainQueue::~MainQueue() {
    // Both die after the lock is released: a work item's destructor may post.
    GSourcePtr source;
    std::deque<Work> dropped;
    std::lock_guard lock(mutex_);
    source = std::move(wakeSource_);
    dropped.swap(pending_);
}

MainQueue& MainQueue::shared() {
    static MainQueue queue(nullptr);
    return queue;
}

void MainQueue::post(Work work) {
    std::lock_guard lock(mutex_);
    pending_.push_back(std::move(work));
    if (wakeSource_ != nullptr) {
        return;  // the attached source will reach this item
    }
    wakeSource_.reset(g_idle_source_new());
    g_source_set_priority(wakeSource_.get(), G_PRIORITY_DEFAULT);
    g_source_set_name(wakeSource_.get(), "bw.MainQueue");
    g_source_set_callback(wakeSource_.get(), &MainQueue::dispatch, this, nullptr);
    // Wakes the context's thread if it is blocked in poll.
    g_source_attach(wakeSource_.get(), context_.get());
}

gboolean MainQueue::dispatch(gpointer self) {
    auto* queue = static_cast<MainQueue*>(self);
    queue->runPending();
    // Destroyed after the lock is released. Dropping our reference inside the
    // dispatch is safe: GLib holds its own until the callback returns.
    GSourcePtr finished;
    std::lock_guard lock(queue->mutex_);
    if (!queue->pending_.empty()) {
        // Posted while the batch ran: next dispatch, so other sources get a turn.
        return G_SOURCE_CONTINUE;
    }
    // The next post attaches a fresh source.
    finished = std::move(queue->wakeSource_);
    return G_SOURCE_REMOVE;
}

void MainQueue::runPending() {
    // The source stays attached while the batch runs, so items posted meanwhile
    // queue up behind it instead of attaching a second source.
    std::deque<Work> batch;
    {
        std::lock_guard lock(mutex_);
        batch.swap(pending_);
    }
    for (Work& work : batch) {
        runGuarded(work);
    }
}

bool MainQueue::pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        if (!g_main_context_iteration(context_.get(), FALSE)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    return true;
}

void MainQueue::drain() {
    while (g_main_context_pending(context_.get())) {
        g_main_context_iteration(context_.get(), FALSE);
    }
}

}  // namespace bw
