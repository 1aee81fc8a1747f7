#include "ui/SessionGuard.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/MainQueue.h"
#include "show/ShowStatus.h"
#include "support/FakeDesktop.h"
#include "support/OutsidePeer.h"

namespace bw {
namespace {

// Verifies that the window holds off the screen saver for its whole life
// and logging out exactly while the show has unsaved changes.
TEST(SessionGuardTest, ScreenForTheWindowLogoutForUnsavedChanges) {
    test::FakeDesktop desktop;
    if (!desktop.running()) BW_OUTSIDE_PEER_MISSING() << "dbus-daemon is not installed";
    desktop.offerScreenSaver();
    desktop.offerPortal();
    NotificationCenter center(MainQueue::shared());
    ShowStatus status(center);
    {
        SessionGuard guard(center, status.isDirty(), desktop.address());
        ASSERT_TRUE(desktop.waitForCalls(1));
        status.setDirty(true);
        ASSERT_TRUE(desktop.waitForCalls(2));
        ASSERT_TRUE(MainQueue::shared().pumpUntil([&] { return guard.logout().isGranted(); }));
        status.setDirty(false);
        ASSERT_TRUE(desktop.waitForCalls(3));
        EXPECT_TRUE(guard.screen().isGranted());
        EXPECT_FALSE(guard.logout().isHeld());
    }
    ASSERT_TRUE(desktop.waitForCalls(4));
    EXPECT_EQ(desktop.calls,
              (std::vector<std::string>{
                  "Inhibit Beamwright|Real time graphics output",
                  "portal 1 The show has unsaved changes",
                  "Close /org/freedesktop/portal/desktop/request/1", "UnInhibit 7"}));
}

}  // namespace
}  // namespace bw
