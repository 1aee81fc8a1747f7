#include <gtest/gtest.h>

#include <future>
#include <string>
#include <vector>

#include "platform/DesktopAppearance.h"
#include "platform/MainQueue.h"
#include "support/FakeDesktop.h"
#include "support/OutsidePeer.h"
#include "support/TempDir.h"

namespace bw {
namespace {

using Scheme = DesktopAppearance::ColorScheme;

// Asks off the main thread while the main queue pumps, so that the fake
// desktop (answering on the main loop) can reply to the blocking call.
Scheme ask(const test::FakeDesktop& desktop) {
    auto answer = std::async(std::launch::async,
                             [&] { return DesktopAppearance::colorScheme(desktop.address()); });
    MainQueue::shared().pumpUntil(
        [&] { return answer.wait_for(std::chrono::seconds(0)) == std::future_status::ready; });
    return answer.get();
}

// Verifies the portal's answer in both wrappings, and each of its values.
TEST(DesktopAppearanceTest, ThePortalsColorSchemeDecidesInEitherWrapping) {
    struct Case {
        unsigned value;
        bool wrappedTwice;
        Scheme expected;
    };
    const std::vector<Case> cases = {{1, false, Scheme::Dark},
                                     {1, true, Scheme::Dark},
                                     {2, true, Scheme::Light},
                                     {0, false, Scheme::NoPreference},
                                     {7, true, Scheme::NoPreference}};
    for (const Case& c : cases) {
        test::FakeDesktop desktop;
        if (!desktop.running()) BW_OUTSIDE_PEER_MISSING() << "dbus-daemon is not installed";
        desktop.offerColorScheme(c.value, c.wrappedTwice);
        EXPECT_EQ(ask(desktop), c.expected) << c.value << (c.wrappedTwice ? " wrapped twice" : "");
        EXPECT_EQ(desktop.calls,
                  std::vector<std::string>{"Read org.freedesktop.appearance color-scheme"});
    }
}

// Verifies that a desktop without the portal, or no bus, is no preference
// here (no GNOME settings schema is installed for the tests).
TEST(DesktopAppearanceTest, WithoutAPortalThereIsNoPreference) {
    test::FakeDesktop desktop;
    if (!desktop.running()) BW_OUTSIDE_PEER_MISSING() << "dbus-daemon is not installed";
    const test::TempDir noSchemas;
    ::setenv("GSETTINGS_SCHEMA_DIR", noSchemas.path().c_str(), 1);
    ::setenv("GSETTINGS_BACKEND", "memory", 1);
    EXPECT_EQ(ask(desktop), Scheme::NoPreference);
    EXPECT_EQ(DesktopAppearance::colorScheme("unix:path=/nonexistent/bus"), Scheme::NoPreference);
}

}  // namespace
}  // namespace bw
