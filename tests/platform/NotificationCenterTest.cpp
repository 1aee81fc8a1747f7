#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/MainQueue.h"
#include "platform/NotificationCenter.h"

namespace bw {
namespace {

using Calls = std::vector<std::string>;

class NotificationCenterTest : public testing::Test {
protected:
    // Adds an observer of `name` that records `label` when called.
    NotificationCenter::Token record(const std::string& name, const std::string& label) {
        return center_.addObserver(name,
                                   [this, label](const Notification&) { calls_.push_back(label); });
    }

    NotificationCenter center_{MainQueue::shared()};
    Calls calls_;
};

TEST_F(NotificationCenterTest, CallsObserversOfTheNameInRegistrationOrder) {
    record("cueChanged", "first");
    record("other", "other");
    const auto removed = record("cueChanged", "removed");
    record("cueChanged", "last");
    center_.removeObserver(removed);

    center_.post("cueChanged");
    EXPECT_EQ(calls_, (Calls{"first", "last"}));
}

TEST_F(NotificationCenterTest, ObserverMayRemoveItselfWhileCalled) {
    NotificationCenter::Token self = center_.addObserver("n", [&](const Notification&) {
        calls_.push_back("self");
        center_.removeObserver(self);
    });
    record("n", "next");

    center_.post("n");
    center_.post("n");
    EXPECT_EQ(calls_, (Calls{"self", "next", "next"}));
}

TEST_F(NotificationCenterTest, ObserverRemovedEarlierInTheSamePostIsNotCalled) {
    NotificationCenter::Token later = 0;
    center_.addObserver("n", [&](const Notification&) {
        calls_.push_back("remover");
        center_.removeObserver(later);
    });
    later = record("n", "later");

    center_.post("n");
    EXPECT_EQ(calls_, (Calls{"remover"}));
}

TEST_F(NotificationCenterTest, PostFromAWorkerThreadArrivesOnTheMainThread) {
    bool onMainThread = false;
    std::string object;
    center_.addObserver("loaded", [&](const Notification& notification) {
        onMainThread = MainQueue::shared().isMainThread();
        object = std::any_cast<std::string>(notification.object);
        calls_.push_back("loaded");
    });
    std::thread worker([&] { center_.post(Notification{"loaded", std::string("show")}); });
    worker.join();
    EXPECT_TRUE(calls_.empty());  // not on the worker, not before the main thread pumps

    ASSERT_TRUE(MainQueue::shared().pumpUntil([&] { return !calls_.empty(); }));
    EXPECT_TRUE(onMainThread);
    EXPECT_EQ(object, "show");
}

}  // namespace
}  // namespace bw
