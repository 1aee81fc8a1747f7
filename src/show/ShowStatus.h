#pragma once

#include <string_view>

namespace bw {

class NotificationCenter;

// Notification names, exactly as observers register for them.
inline constexpr std::string_view kShowWillLoadNotification = "ShowWillLoad";
inline constexpr std::string_view kShowDidLoadNotification = "ShowDidLoad";
// Its object is the new value of the modified flag, as a `bool`.
inline constexpr std::string_view kShowDirtyStatusChangedNotification = "ShowDirtyStatusChanged";
// Its object is the new value of the lock, as a `bool`.
inline constexpr std::string_view kShowLockChangedNotification = "ShowLockChanged";

// The show's modified flag, its lock for the performance, and the show
// notifications. While locked, the window refuses whatever would edit,
// replace or end the show (and says why); GO, Panic and remote commands go
// on.
// Main thread only.
class ShowStatus {
public:
    explicit ShowStatus(NotificationCenter& center);
    ShowStatus(const ShowStatus&) = delete;

    // The process's show status, on the default notification centre; created
    // on first use and never destroyed.
    static ShowStatus& shared();
    ShowStatus& operator=(const ShowStatus&) = delete;

    bool isDirty() const { return isDirty_; }
    // Posts "ShowDirtyStatusChanged" when, and only when, the value changes.
    void setDirty(bool dirty);

    bool isLocked() const { return isLocked_; }
    // Posts "ShowLockChanged" when, and only when, the value changes.
    void setLocked(bool locked);

    void postWillLoad();
    void postDidLoad();

private:
    NotificationCenter& center_;
    bool isDirty_ = false;
    bool isLocked_ = false;
};

}  // namespace bw
