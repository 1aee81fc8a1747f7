#include "ui/SessionGuard.h"

#include <any>
#include <string>

#include "show/ShowStatus.h"

namespace bw {

SessionGuard::SessionGuard(NotificationCenter& center, bool dirty, const std::string& busAddress)
    : center_(center),
      screen_(SessionInhibitor::Kind::IdleAndSuspend, kScreenReason, busAddress),
      logout_(SessionInhibitor::Kind::Logout, kLogoutReason, busAddress) {
    screen_.setHeld(true);
    logout_.setHeld(dirty);
    dirtyObserver_ = center_.addObserver(
        std::string(kShowDirtyStatusChangedNotification), [this](const Notification& notice) {
            const bool* modified = std::any_cast<bool>(&notice.object);
            logout_.setHeld(modified != nullptr && *modified);
        });
}

SessionGuard::~SessionGuard() {
    center_.removeObserver(dirtyObserver_);
}

}  // namespace bw
