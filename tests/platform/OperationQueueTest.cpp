#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

#include "platform/OperationQueue.h"

namespace bw {
namespace {

using namespace std::chrono_literals;

// A one-shot signal between threads. wait() gives up after a generous
// deadline so a broken queue fails the test instead of hanging it.
class Gate {
public:
    void open() {
        std::lock_guard lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }
    bool wait() {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 10s, [this] { return open_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = false;
};

// Work that runs until its operation is cancelled.
Operation::Work runUntilCancelled(Gate& started) {
    return [&started](Operation& self) {
        started.open();
        while (!self.isCancelled()) {
            std::this_thread::sleep_for(1ms);
        }
    };
}

TEST(OperationQueueTest, WaitCoversEveryOperationInTheOrderAdded) {
    OperationQueue queue;
    std::vector<int> order;  // one worker at a time: no lock needed
    std::vector<std::shared_ptr<Operation>> operations;
    for (int i = 0; i < 20; ++i) {
        operations.push_back(queue.addOperation([&, i](Operation&) { order.push_back(i); }));
    }
    queue.waitUntilAllOperationsAreFinished();

    ASSERT_EQ(order.size(), 20u);
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(order[i], i);
        EXPECT_TRUE(operations[i]->isFinished());
    }
    EXPECT_EQ(queue.operationCount(), 0u);
}

TEST(OperationQueueTest, CancelAllStopsTheRunningOneAndSkipsQueuedOnes) {
    OperationQueue queue;
    Gate started;
    auto running = queue.addOperation(runUntilCancelled(started));
    std::atomic<bool> queuedRan{false};
    auto queued = queue.addOperation([&](Operation&) { queuedRan = true; });
    ASSERT_TRUE(started.wait());
    EXPECT_EQ(queue.operationCount(), 2u);

    queue.cancelAllOperations();
    queue.waitUntilAllOperationsAreFinished();
    EXPECT_TRUE(running->isFinished());
    EXPECT_TRUE(queued->isFinished());
    EXPECT_FALSE(queuedRan);
}

TEST(OperationQueueTest, OperationCancelledWhileQueuedNeverRunsItsWork) {
    OperationQueue queue;
    Gate release;
    std::atomic<bool> cancelledRan{false};
    queue.addOperation([&](Operation&) { release.wait(); });
    auto cancelled = queue.addOperation([&](Operation&) { cancelledRan = true; });
    cancelled->cancel();
    release.open();
    cancelled->waitUntilFinished();
    EXPECT_FALSE(cancelledRan);
}

TEST(OperationQueueTest, RunsAtMostMaxConcurrentAtOnce) {
    constexpr int kMax = 3;
    OperationQueue queue(kMax);
    std::mutex mutex;
    std::condition_variable changed;
    int active = 0;
    int peak = 0;
    bool gaveUp = false;
    for (int i = 0; i < 9; ++i) {
        queue.addOperation([&](Operation&) {
            std::unique_lock lock(mutex);
            peak = std::max(peak, ++active);
            changed.notify_all();
            // Hold on until the limit is reached; one timeout releases all.
            if (!changed.wait_for(lock, 10s, [&] { return peak >= kMax || gaveUp; })) {
                gaveUp = true;
                changed.notify_all();
            }
            --active;
        });
    }
    queue.waitUntilAllOperationsAreFinished();
    EXPECT_EQ(peak, kMax);
}

TEST(OperationQueueTest, DestructorCancelsAndWaitsForTheRunningOperation) {
    Gate started;
    std::shared_ptr<Operation> operation;
    {
        OperationQueue queue;
        operation = queue.addOperation(runUntilCancelled(started));
        ASSERT_TRUE(started.wait());
    }
    EXPECT_TRUE(operation->isCancelled());
    EXPECT_TRUE(operation->isFinished());
}

int currentThreadNice() {
    return ::getpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()));
}

// Lowered work runs niced; urgent work after it, on the same one-worker
// queue, runs at the normal priority again rather than inheriting it.
TEST(OperationQueueTest, LoweredPriorityEndsWithItsOperation) {
    const int normal = currentThreadNice();
    OperationQueue queue;
    std::vector<int> nices;  // one worker at a time: no lock needed
    const QualityOfService order[] = {QualityOfService::UserInitiated, QualityOfService::Background,
                                      QualityOfService::UserInitiated, QualityOfService::Utility,
                                      QualityOfService::Default};
    for (QualityOfService quality : order) {
        queue.addOperation([&](Operation&) { nices.push_back(currentThreadNice()); }, quality);
    }
    queue.waitUntilAllOperationsAreFinished();

    const int background = std::min(normal + 10, 19);
    const int utility = std::min(normal + 5, 19);
    EXPECT_EQ(nices, (std::vector<int>{normal, background, normal, utility, normal}));
    EXPECT_EQ(currentThreadNice(), normal);
}

}  // namespace
}  // namespace bw
