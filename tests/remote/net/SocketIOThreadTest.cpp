#include <gtest/gtest.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "remote/net/SocketIOThread.h"

namespace bw {
namespace {

using namespace std::chrono_literals;

TEST(SocketIOThreadTest, RunsPostedWorkInOrderOnItsThreadAndSyncWaitsForIt) {
    SocketIOThread io("test-io");
    std::vector<int> order;
    bool allOnThread = true;
    for (int i = 0; i < 300; ++i) {
        io.run([&, i] {
            order.push_back(i);
            allOnThread = allOnThread && io.isCurrent();
        });
    }
    io.sync([] {});
    ASSERT_EQ(order.size(), 300u);
    for (int i = 0; i < 300; ++i)
        ASSERT_EQ(order[i], i);
    EXPECT_TRUE(allOnThread);
    EXPECT_FALSE(io.isCurrent());
}

TEST(SocketIOThreadTest, SyncOnItsOwnThreadRunsInline) {
    SocketIOThread io("test-io");
    std::vector<int> order;
    io.sync([&] {
        order.push_back(1);
        io.sync([&] { order.push_back(2); });
        order.push_back(3);
    });
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

// Verifies that timers fire by deadline, not by the order they were added,
// and that a cancelled timer never fires.
TEST(SocketIOThreadTest, TimersFireByDeadlineAndCancelledOnesDoNot) {
    SocketIOThread io("test-io");
    std::atomic<int> firedCount{0};
    std::vector<int> fired;
    io.sync([&] {
        io.addTimer(60ms, [&] {
            fired.push_back(3);
            ++firedCount;
        });
        io.addTimer(20ms, [&] {
            fired.push_back(1);
            ++firedCount;
        });
        const auto cancelled = io.addTimer(30ms, [&] {
            fired.push_back(99);
            ++firedCount;
        });
        io.addTimer(40ms, [&] {
            fired.push_back(2);
            ++firedCount;
        });
        io.cancelTimer(cancelled);
    });
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (firedCount < 3 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(5ms);
    }
    std::this_thread::sleep_for(50ms);  // room for the cancelled one, were it to fire
    io.sync([] {});
    EXPECT_EQ(fired, (std::vector<int>{1, 2, 3}));
}

// Verifies that a handler removed by an earlier handler of the same epoll turn
// does not run, even when its descriptor number is reused at once for a new
// registration.
TEST(SocketIOThreadTest, HandlerRemovedEarlierInTheSameTurnDoesNotRun) {
    SocketIOThread io("test-io");
    // Both readable from the start, so one epoll_wait reports both.
    FileDescriptor fds[2] = {FileDescriptor(::eventfd(1, EFD_NONBLOCK | EFD_CLOEXEC)),
                             FileDescriptor(::eventfd(1, EFD_NONBLOCK | EFD_CLOEXEC))};
    std::atomic<int> runs{0};
    std::atomic<int> reusedRuns{0};
    io.sync([&] {
        for (int i = 0; i < 2; ++i) {
            io.add(fds[i].get(), EPOLLIN, [&, i](std::uint32_t) {
                ++runs;
                // Whichever runs first removes both, and the other's number
                // comes back at once as a descriptor that is never readable.
                FileDescriptor& other = fds[1 - i];
                io.remove(fds[i].get());
                io.remove(other.get());
                other.reset();
                other.reset(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
                io.add(other.get(), EPOLLIN, [&](std::uint32_t) { ++reusedRuns; });
            });
        }
    });
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (runs == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(2ms);
    }
    std::this_thread::sleep_for(30ms);
    io.sync([&] {
        io.remove(fds[0].get());
        io.remove(fds[1].get());
    });
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(reusedRuns, 0);
}

TEST(SocketIOThreadTest, AfterStopWorkRunsInlineOnTheCaller) {
    SocketIOThread io("test-io");
    io.stop();
    bool ran = false;
    io.sync([&] { ran = true; });
    EXPECT_TRUE(ran);
    int posted = 0;
    io.run([&] { ++posted; });
    EXPECT_EQ(posted, 1);
}

}  // namespace
}  // namespace bw
