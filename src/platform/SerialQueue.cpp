#include "platform/SerialQueue.h"

#include <pthread.h>

#include <cassert>
#include <exception>
#include <utility>

#include "platform/RunAndWait.h"
#include "platform/SystemLog.h"

namespace bw {

SerialQueue::SerialQueue(std::string label)
    : label_(std::move(label)), worker_([this] { run(); }) {}

SerialQueue::~SerialQueue() {
    assert(!isCurrent());
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    worker_.join();
}

void SerialQueue::post(Work work) {
    {
        std::lock_guard lock(mutex_);
        pending_.push_back(std::move(work));
    }
    wake_.notify_one();
}

void SerialQueue::sync(const Work& work) {
    if (isCurrent()) {
        runGuarded(work);
        return;
    }
    runAndWait([this](Work item) { post(std::move(item)); }, [&] { runGuarded(work); });
}

void SerialQueue::run() {
    pthread_setname_np(pthread_self(), label_.substr(0, 15).c_str());
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !pending_.empty(); });
        if (pending_.empty()) {
            return;  // stopping, and everything posted has run
        }
        Work work = std::move(pending_.front());
        pending_.pop_front();
        lock.unlock();
        runGuarded(work);
        work = nullptr;  // captures die outside the lock too
        lock.lock();
    }
}

void SerialQueue::runGuarded(const Work& work) const {
    try {
        work();
    } catch (const std::exception& error) {
        SystemLog::shared().log("SerialQueue: work item on " + label_ + " threw: " + error.what());
    } catch (...) {
        SystemLog::shared().log("SerialQueue: work item on " + label_ +
                                " threw an unknown exception");
    }
}

}  // namespace bw
