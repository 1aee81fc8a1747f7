#include "platform/OperationQueue.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <string>
#include <utility>

#include "platform/SystemLog.h"

namespace bw {
namespace {

// Adds `increment` to the calling thread's nice value, where it can.
void lowerPriority(int increment) {
    const auto thread = static_cast<id_t>(::gettid());
    errno = 0;
    const int current = ::getpriority(PRIO_PROCESS, thread);
    if (errno != 0) return;
    ::setpriority(PRIO_PROCESS, thread, std::min(current + increment, 19));
}

}  // namespace

Operation::Operation(Work work) : work_(std::move(work)) {}

int Operation::niceValueFor(QualityOfService quality) {
    switch (quality) {
        case QualityOfService::Background:
            return 10;
        case QualityOfService::Utility:
            return 5;
        case QualityOfService::Default:
        case QualityOfService::UserInitiated:
        case QualityOfService::UserInteractive:
            break;
    }
    return 0;
}

bool Operation::isFinished() const {
    std::lock_guard lock(mutex_);
    return finished_;
}

void Operation::waitUntilFinished() const {
    std::unique_lock lock(mutex_);
    finishedChanged_.wait(lock, [this] { return finished_; });
}

void Operation::start() {
    if (!isCancelled() && work_) {
        try {
            work_(*this);
        } catch (const std::exception& error) {
            SystemLog::shared().log(std::string("OperationQueue: operation threw: ") +
                                    error.what());
        } catch (...) {
            SystemLog::shared().log("OperationQueue: operation threw an unknown exception");
        }
    }
    // Whatever the work captured is released on the worker, not by the last owner.
    work_ = nullptr;
    finish();
}

void Operation::finish() {
    std::lock_guard lock(mutex_);
    finished_ = true;
    finishedChanged_.notify_all();
}

OperationQueue::OperationQueue(std::size_t maxConcurrent)
    : maxConcurrent_(std::max<std::size_t>(maxConcurrent, 1)) {}

OperationQueue::~OperationQueue() {
    cancelAllOperations();
    std::vector<std::thread> workers;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        workers.swap(workers_);
    }
    workAvailable_.notify_all();
    for (std::thread& worker : workers) {
        worker.join();
    }
}

void OperationQueue::add(std::shared_ptr<Operation> operation) {
    if (operation == nullptr || operation->enqueued_.exchange(true)) {
        return;
    }
    {
        std::lock_guard lock(mutex_);
        queued_.push_back(std::move(operation));
        if (idleWorkers_ < queued_.size() && workers_.size() < maxConcurrent_) {
            workers_.emplace_back([this] { workerLoop(); });
        }
    }
    workAvailable_.notify_one();
}

std::shared_ptr<Operation> OperationQueue::addOperation(Operation::Work work,
                                                        QualityOfService quality) {
    auto operation = std::make_shared<Operation>(std::move(work));
    operation->setQualityOfService(quality);
    add(operation);
    return operation;
}

void OperationQueue::cancelAllOperations() {
    std::deque<std::shared_ptr<Operation>> dropped;
    {
        std::lock_guard lock(mutex_);
        dropped.swap(queued_);
        for (const auto& operation : running_) {
            operation->cancel();
        }
    }
    for (const auto& operation : dropped) {
        operation->cancel();
        operation->work_ = nullptr;
        operation->finish();
    }
    allFinished_.notify_all();
}

void OperationQueue::waitUntilAllOperationsAreFinished() {
    std::unique_lock lock(mutex_);
    allFinished_.wait(lock, [this] { return queued_.empty() && running_.empty(); });
}

std::size_t OperationQueue::operationCount() const {
    std::lock_guard lock(mutex_);
    return queued_.size() + running_.size();
}

void OperationQueue::workerLoop() {
    std::unique_lock lock(mutex_);
    for (;;) {
        ++idleWorkers_;
        workAvailable_.wait(lock, [this] { return stopping_ || !queued_.empty(); });
        --idleWorkers_;
        if (stopping_) {
            return;
        }
        std::shared_ptr<Operation> operation = std::move(queued_.front());
        queued_.pop_front();
        running_.push_back(operation);
        lock.unlock();

        // A thread cannot raise its priority again once lowered, so lowered
        // work runs on a thread of its own while this worker waits.
        const int increment = Operation::niceValueFor(operation->qualityOfService());
        if (increment > 0) {
            std::thread([&operation, increment] {
                lowerPriority(increment);
                operation->start();
            }).join();
        } else {
            operation->start();
        }

        lock.lock();
        std::erase(running_, operation);
        if (queued_.empty() && running_.empty()) {
            allFinished_.notify_all();
        }
    }
}

}  // namespace bw
