#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/SerialQueue.h"
#include "platform/SystemLog.h"

namespace bw {
namespace {

TEST(SerialQueueTest, RunsPostedWorkInOrderOnItsOwnThread) {
    SerialQueue queue;
    std::vector<int> order;
    bool allOnQueue = true;
    for (int i = 0; i < 500; ++i) {
        queue.post([&, i] {
            order.push_back(i);
            allOnQueue = allOnQueue && queue.isCurrent();
        });
    }
    queue.sync([] {});  // returns once everything before it has run

    ASSERT_EQ(order.size(), 500u);
    for (int i = 0; i < 500; ++i) {
        ASSERT_EQ(order[i], i);
    }
    EXPECT_TRUE(allOnQueue);
    EXPECT_FALSE(queue.isCurrent());
}

// Verifies that sync() from the queue's own thread runs inline instead of
// waiting for itself.
TEST(SerialQueueTest, SyncFromItsOwnThreadRunsInline) {
    SerialQueue queue;
    std::vector<int> order;
    queue.post([&] {
        order.push_back(1);
        queue.sync([&] { order.push_back(2); });
        order.push_back(3);
    });
    queue.sync([] {});
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(SerialQueueTest, DestructorRunsEverythingAlreadyPosted) {
    std::atomic<int> ran{0};
    {
        SerialQueue queue;
        for (int i = 0; i < 50; ++i) {
            queue.post([&] {
                std::this_thread::sleep_for(std::chrono::microseconds(100));
                ++ran;
            });
        }
    }
    EXPECT_EQ(ran, 50);
}

TEST(SerialQueueTest, ThrowingWorkIsLoggedAndTheQueueGoesOn) {
    SystemLog::ScopedCapture capture;
    SerialQueue queue("io");
    bool laterRan = false;
    queue.post([] { throw std::runtime_error("socket gone"); });
    queue.post([&] { laterRan = true; });
    queue.sync([] { throw 7; });

    EXPECT_TRUE(laterRan);
    EXPECT_EQ(capture.lines(), (std::vector<std::string>{
                                   "SerialQueue: work item on io threw: socket gone",
                                   "SerialQueue: work item on io threw an unknown exception"}));
}

}  // namespace
}  // namespace bw
