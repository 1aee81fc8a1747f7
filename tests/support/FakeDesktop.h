#pragma once

#include <gio/gio.h>

#include <cstddef>
#include <set>
#include <string>
#include <vector>

#include "platform/GLibHandle.h"
#include "support/TempDir.h"

namespace bw::test {

// A private session bus (dbus-daemon, which starts no services) with a
// desktop on it that offers the screen saver, the portal, or both, and
// writes down every call. Main thread: calls are answered on the GLib
// default main context, as the main queue pumps it.
class FakeDesktop {
public:
    FakeDesktop();
    ~FakeDesktop();
    FakeDesktop(const FakeDesktop&) = delete;
    FakeDesktop& operator=(const FakeDesktop&) = delete;

    // False when dbus-daemon could not be started.
    bool running() const { return bus_ != nullptr; }
    const std::string& address() const { return address_; }

    void offerScreenSaver();
    void offerPortal();
    // The file manager's ShowItems.
    void offerFileManager();
    // The portal's settings, answering the colour scheme `value` (0 none,
    // 1 dark, 2 light), wrapped in one more variant as older portals do.
    void offerColorScheme(unsigned value, bool wrappedTwice);
    // Pumps the main queue until `count` calls came, for up to 5 s.
    bool waitForCalls(std::size_t count) const;

    // "Inhibit Beamwright|reason", "UnInhibit 7", "portal 12 reason",
    // "Close /org/freedesktop/portal/desktop/request/1",
    // "Read org.freedesktop.appearance color-scheme",
    // "ShowItems file:///media/a.mov".
    std::vector<std::string> calls;

private:
    void own(const char* name);
    void serve(const std::string& path, int interface);
    void answer(const std::string& path, const std::string& interface, const std::string& method,
                GVariant* parameters, GDBusMethodInvocation* invocation);

    TempDir dir_;
    GPid pid_ = 0;
    std::string address_;
    GObjectPtr<GDBusConnection> bus_;
    GDBusNodeInfo* info_ = nullptr;
    std::vector<guint> names_;
    std::vector<guint> registrations_;
    int requests_ = 0;
    std::set<std::string> owned_;
    unsigned colorScheme_ = 0;
    bool colorSchemeWrappedTwice_ = false;
};

}  // namespace bw::test
