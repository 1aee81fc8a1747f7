#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace bw {

class OperationQueue;

// How soon an operation's result is wanted, from the least to the most urgent.
// On Linux an unprivileged thread can lower its scheduling priority but never
// raise it again, so the three upper levels all run at the process's normal
// priority; utility and background work runs with its nice value raised (by
// 5 and 10) on a thread of its own, so that later, more urgent work never
// inherits the lowered priority.
enum class QualityOfService { Background, Utility, Default, UserInitiated, UserInteractive };

// One cancellable unit of background work, owned through shared_ptr by its
// creator and by the queue while it is queued or running.
//
// Any thread. cancel() only sets a flag: the work, which receives the
// operation, checks isCancelled() at its own safe points and returns early.
// An operation cancelled before it starts never runs its work.
class Operation {
public:
    using Work = std::function<void(Operation&)>;

    explicit Operation(Work work);
    Operation(const Operation&) = delete;
    Operation& operator=(const Operation&) = delete;

    // Set before the operation is added to a queue.
    void setQualityOfService(QualityOfService quality) { quality_ = quality; }
    QualityOfService qualityOfService() const { return quality_; }

    // How much a worker raises its nice value for work of `quality`.
    static int niceValueFor(QualityOfService quality);

    void cancel() { cancelled_.store(true); }
    bool isCancelled() const { return cancelled_.load(); }

    // True once the work has returned, or once the queue has dropped the
    // operation without running it.
    bool isFinished() const;
    // Blocks until isFinished(). Not from inside the operation's own work.
    void waitUntilFinished() const;

private:
    friend class OperationQueue;

    // Runs the work unless cancelled, then marks the operation finished. Called
    // by the queue, once, on a worker thread.
    void start();
    void finish();

    Work work_;
    QualityOfService quality_ = QualityOfService::Default;
    std::atomic<bool> cancelled_{false};
    std::atomic<bool> enqueued_{false};

    mutable std::mutex mutex_;
    mutable std::condition_variable finishedChanged_;
    // Guarded by mutex_.
    bool finished_ = false;
};

// A background queue that runs operations in the order they were added, at
// most maxConcurrent at a time, on worker threads started as needed.
//
// Any thread, except that waitUntilAllOperationsAreFinished() must not be
// called from an operation's work. The destructor cancels every operation and
// joins the workers.
class OperationQueue {
public:
    explicit OperationQueue(std::size_t maxConcurrent = 1);
    ~OperationQueue();
    OperationQueue(const OperationQueue&) = delete;
    OperationQueue& operator=(const OperationQueue&) = delete;

    // Queues `operation`. An operation goes to one queue, once; a repeated add
    // is ignored.
    void add(std::shared_ptr<Operation> operation);
    std::shared_ptr<Operation> addOperation(
        Operation::Work work, QualityOfService quality = QualityOfService::Default);

    // Cancels the running operations and drops the queued ones, which finish
    // without running their work.
    void cancelAllOperations();
    void waitUntilAllOperationsAreFinished();
    // Queued plus running.
    std::size_t operationCount() const;

private:
    void workerLoop();

    const std::size_t maxConcurrent_;

    mutable std::mutex mutex_;
    std::condition_variable workAvailable_;
    std::condition_variable allFinished_;
    // Guarded by mutex_.
    std::deque<std::shared_ptr<Operation>> queued_;
    std::vector<std::shared_ptr<Operation>> running_;
    std::vector<std::thread> workers_;
    std::size_t idleWorkers_ = 0;
    bool stopping_ = false;
};

}  // namespace bw
