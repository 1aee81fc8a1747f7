#pragma once

#include <string>

#include "platform/NotificationCenter.h"
#include "platform/SessionInhibitor.h"

namespace bw {

// What the show window asks of the desktop session while it is open: no
// screen blanking or suspend for as long as the guard lives, and a warning
// before logging out for as long as the show has unsaved changes (it
// follows "ShowDirtyStatusChanged").
//
// Main thread only.
class SessionGuard {
public:
    static constexpr const char* kScreenReason = "Real time graphics output";
    static constexpr const char* kLogoutReason = "The show has unsaved changes";

    // On the user's session bus, or on the bus at `busAddress` (tests).
    // `dirty`: whether the show has unsaved changes now.
    SessionGuard(NotificationCenter& center, bool dirty, const std::string& busAddress = {});
    ~SessionGuard();
    SessionGuard(const SessionGuard&) = delete;
    SessionGuard& operator=(const SessionGuard&) = delete;

    const SessionInhibitor& screen() const { return screen_; }
    const SessionInhibitor& logout() const { return logout_; }

private:
    NotificationCenter& center_;
    SessionInhibitor screen_;
    SessionInhibitor logout_;
    NotificationCenter::Token dirtyObserver_ = 0;
};

}  // namespace bw
