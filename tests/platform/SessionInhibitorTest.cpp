#include "platform/SessionInhibitor.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "platform/MainQueue.h"
#include "platform/SystemLog.h"
#include "support/FakeDesktop.h"
#include "support/OutsidePeer.h"

namespace bw {
namespace {

using namespace std::chrono_literals;

class SessionInhibitorTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!desktop_.running()) BW_OUTSIDE_PEER_MISSING() << "dbus-daemon is not installed";
    }
    test::FakeDesktop desktop_;
};

// Verifies that the screen saver is held off through its own interface and
// let go with the cookie it gave, and that a second hold asks again.
TEST_F(SessionInhibitorTest, HoldsOffTheScreenSaverWithItsCookie) {
    desktop_.offerScreenSaver();
    SessionInhibitor inhibitor(SessionInhibitor::Kind::IdleAndSuspend, "Real time graphics output",
                               desktop_.address());
    inhibitor.setHeld(true);
    inhibitor.setHeld(true);  // no second request
    ASSERT_TRUE(desktop_.waitForCalls(1));
    ASSERT_TRUE(MainQueue::shared().pumpUntil([&] { return inhibitor.isGranted(); }, 5s));
    inhibitor.setHeld(false);
    ASSERT_TRUE(desktop_.waitForCalls(2));
    EXPECT_EQ(desktop_.calls, (std::vector<std::string>{
                                  "Inhibit Beamwright|Real time graphics output", "UnInhibit 7"}));
    EXPECT_FALSE(inhibitor.isGranted());
}

// Verifies the portal's way: suspend and idle flags for the screen when no
// screen saver answers, the logout flag for unsaved changes, and a release
// before the answer came still closing what the answer granted.
TEST_F(SessionInhibitorTest, UsesThePortalAndClosesWhatAnAnswerGrantsLate) {
    desktop_.offerPortal();
    {
        SessionInhibitor screen(SessionInhibitor::Kind::IdleAndSuspend, "Show running",
                                desktop_.address());
        screen.setHeld(true);
        ASSERT_TRUE(MainQueue::shared().pumpUntil([&] { return screen.isGranted(); }, 5s));
    }  // released by its destructor
    SessionInhibitor logout(SessionInhibitor::Kind::Logout, "The show has unsaved changes",
                            desktop_.address());
    logout.setHeld(true);
    logout.setHeld(false);  // before the portal answered
    ASSERT_TRUE(desktop_.waitForCalls(4));
    EXPECT_EQ(desktop_.calls,
              (std::vector<std::string>{"portal 12 Show running",
                                        "Close /org/freedesktop/portal/desktop/request/1",
                                        "portal 1 The show has unsaved changes",
                                        "Close /org/freedesktop/portal/desktop/request/2"}));
}

// Verifies that a desktop without either interface, or no bus at all, costs
// one log line and nothing else.
TEST_F(SessionInhibitorTest, WithoutADesktopLogsOnceAndGoesOn) {
    SystemLog::ScopedCapture log;
    SessionInhibitor nobody(SessionInhibitor::Kind::IdleAndSuspend, "r", desktop_.address());
    nobody.setHeld(true);
    ASSERT_TRUE(MainQueue::shared().pumpUntil([&] { return !log.lines().empty(); }, 10s));
    EXPECT_NE(log.lines().front().find("the screen saver"), std::string::npos);
    EXPECT_FALSE(nobody.isGranted());

    SessionInhibitor noBus(SessionInhibitor::Kind::Logout, "r", "unix:path=/nonexistent/bus");
    noBus.setHeld(true);
    noBus.setHeld(false);
    EXPECT_EQ(log.lines().size(), 2U);
    EXPECT_NE(log.lines().back().find("no session bus"), std::string::npos);
}

}  // namespace
}  // namespace bw
