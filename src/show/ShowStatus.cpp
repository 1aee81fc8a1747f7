#include "show/ShowStatus.h"

#include "platform/NotificationCenter.h"

namespace bw {

ShowStatus& ShowStatus::shared() {
    static ShowStatus* status = new ShowStatus(NotificationCenter::defaultCenter());
    return *status;
}

ShowStatus::ShowStatus(NotificationCenter& center) : center_(center) {}

void ShowStatus::setDirty(bool dirty) {
    if (dirty == isDirty_) return;
    isDirty_ = dirty;
    center_.post(Notification{std::string(kShowDirtyStatusChangedNotification), dirty});
}

void ShowStatus::setLocked(bool locked) {
    if (locked == isLocked_) return;
    isLocked_ = locked;
    center_.post(Notification{std::string(kShowLockChangedNotification), locked});
}

void ShowStatus::postWillLoad() {
    center_.post(std::string(kShowWillLoadNotification));
}

void ShowStatus::postDidLoad() {
    center_.post(std::string(kShowDidLoadNotification));
}

}  // namespace bw
