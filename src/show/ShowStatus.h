#pragma once

#include <string_view>

namespace bw {

class NotificationCenter;

// Notification names, exactly as observers register for them.
inline constexpr std::string_view kShowWillLoadNotification = "ShowWillLoad";
inline constexpr std::string_view kShowDidLoadNotification = "ShowDidLoad";
// Its object is the new value of the modified flag, as a `bool`.
inline constexpr std::string_view kShowDirtyStatusChangedNotification = "ShowDirtyStatusChanged";

// The show's modified flag and the show notifications.
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

    void postWillLoad();
    void postDidLoad();

private:
    NotificationCenter& center_;
    bool isDirty_ = false;
};

}  // namespace bw
