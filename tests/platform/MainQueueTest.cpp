#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/GLibHandle.h"
#include "platform/MainQueue.h"

namespace bw {
namespace {

using namespace std::chrono_literals;

TEST(MainQueueTest, PostFromMainThreadRunsLaterNotInline) {
    MainQueue& queue = MainQueue::shared();
    bool ran = false;
    queue.post([&] { ran = true; });
    EXPECT_FALSE(ran);
    EXPECT_TRUE(queue.pumpUntil([&] { return ran; }));
}

TEST(MainQueueTest, PostsFromSeveralThreadsRunOnMainThreadInEachThreadsOrder) {
    MainQueue& queue = MainQueue::shared();
    constexpr int kThreads = 4;
    constexpr int kPosts = 250;
    std::vector<std::pair<int, int>> runs;  // (thread, sequence); main thread only
    bool allOnMainThread = true;
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t) {
        posters.emplace_back([&, t] {
            for (int i = 0; i < kPosts; ++i) {
                queue.post([&, t, i] {
                    runs.emplace_back(t, i);
                    allOnMainThread = allOnMainThread && queue.isMainThread();
                });
            }
        });
    }
    const bool allRan = queue.pumpUntil([&] { return runs.size() == kThreads * kPosts; });
    for (std::thread& poster : posters) {
        poster.join();
    }
    ASSERT_TRUE(allRan);
    EXPECT_TRUE(allOnMainThread);
    std::vector<int> next(kThreads, 0);
    for (const auto& [thread, sequence] : runs) {
        ASSERT_EQ(sequence, next[thread]++) << "thread " << thread;
    }
}

TEST(MainQueueTest, ItemPostedWhileRunningGoesBehindEarlierItems) {
    MainQueue& queue = MainQueue::shared();
    std::string order;
    queue.post([&] {
        order += 'a';
        queue.post([&] { order += 'c'; });
    });
    queue.post([&] { order += 'b'; });
    queue.pumpUntil([&] { return order.size() == 3; });
    EXPECT_EQ(order, "abc");
}

TEST(MainQueueTest, PumpUntilGivesUpAtTheTimeout) {
    EXPECT_FALSE(MainQueue::shared().pumpUntil([] { return false; }, 20ms));
}

// Verifies that a post from another thread wakes a loop sleeping in poll on a
// private context, and that the work runs on the loop's thread.
TEST(MainQueueTest, PostWakesALoopBlockedOnItsContext) {
    GMainContextPtr context(g_main_context_new());
    GMainLoopPtr loop(g_main_loop_new(context.get(), FALSE));
    // Ends the loop if the post never wakes it: the test fails instead of hanging.
    GSourcePtr failsafe(g_timeout_source_new_seconds(10));
    g_source_set_callback(
        failsafe.get(),
        [](gpointer data) -> gboolean {
            g_main_loop_quit(static_cast<GMainLoop*>(data));
            return G_SOURCE_REMOVE;
        },
        loop.get(), nullptr);
    g_source_attach(failsafe.get(), context.get());

    std::promise<MainQueue*> queueReady;
    std::atomic<bool> ranOnLoopThread{false};
    std::thread loopThread([&] {
        MainQueue queue(context.get());
        queueReady.set_value(&queue);
        g_main_loop_run(loop.get());
    });
    MainQueue* queue = queueReady.get_future().get();
    std::this_thread::sleep_for(20ms);  // let the loop block in poll
    queue->post([&] {
        ranOnLoopThread = queue->isMainThread();
        g_main_loop_quit(loop.get());
    });
    loopThread.join();
    EXPECT_TRUE(ranOnLoopThread);
}

TEST(MainQueueTest, DestroyedQueueDropsWorkNotYetRun) {
    GMainContextPtr context(g_main_context_new());
    bool ran = false;
    {
        MainQueue queue(context.get());
        queue.post([&] { ran = true; });
    }
    while (g_main_context_iteration(context.get(), FALSE)) {
    }
    EXPECT_FALSE(ran);
}

}  // namespace
}  // namespace bw
