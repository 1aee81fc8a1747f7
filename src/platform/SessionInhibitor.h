#pragma once

#include <memory>
#include <string>

namespace bw {

// Asks the desktop session, over D-Bus, not to do something while it is
// held: blank the screen or suspend (a show is on the projectors), or log
// out (the show has unsaved changes, so logging out should warn).
//
// - IdleAndSuspend: the screen saver's Inhibit (org.freedesktop.ScreenSaver),
//   else the desktop portal's Inhibit with the suspend and idle flags.
// - Logout: the desktop portal's Inhibit with the logout flag.
//
// Calls never wait: requests and releases are sent and their answers taken
// on the main loop. Releasing before an answer came releases what the answer
// grants. Without a session bus, or when the desktop offers neither
// interface, one line goes to the system log and the program goes on.
//
// Main thread only (answers arrive on the GLib default main context). The
// object may be destroyed at any time; it releases what it holds.
class SessionInhibitor {
public:
    enum class Kind { IdleAndSuspend, Logout };

    // On the user's session bus, or on the bus at `busAddress` (tests).
    SessionInhibitor(Kind kind, std::string reason, std::string busAddress = {});
    ~SessionInhibitor();
    SessionInhibitor(const SessionInhibitor&) = delete;
    SessionInhibitor& operator=(const SessionInhibitor&) = delete;

    // Holds or releases the inhibition; repeating the present value does
    // nothing.
    void setHeld(bool held);
    bool isHeld() const;
    // Whether the desktop has granted the inhibition now held.
    bool isGranted() const;

    static constexpr const char* kApplicationName = "Beamwright";

private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace bw
