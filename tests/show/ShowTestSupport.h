#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/MainQueue.h"
#include "platform/NotificationCenter.h"
#include "show/CueStack.h"
#include "show/ShowStatus.h"

namespace bw::test {

// Records the show notifications in the order they are posted.
class ShowNotificationLog {
public:
    struct Entry {
        std::string name;
        std::optional<bool> dirty;  // the object of "ShowDirtyStatusChanged"
        friend bool operator==(const Entry&, const Entry&) = default;
    };

    explicit ShowNotificationLog(NotificationCenter& center) : center_(center) {
        for (auto name : {kShowWillLoadNotification, kShowDidLoadNotification,
                          kShowDirtyStatusChangedNotification}) {
            tokens_.push_back(center_.addObserver(std::string(name), [this](const Notification& n) {
                Entry entry{n.name, std::nullopt};
                if (const bool* value = std::any_cast<bool>(&n.object)) entry.dirty = *value;
                entries.push_back(entry);
            }));
        }
    }
    ~ShowNotificationLog() {
        for (auto token : tokens_)
            center_.removeObserver(token);
    }

    std::vector<Entry> entries;

private:
    NotificationCenter& center_;
    std::vector<NotificationCenter::Token> tokens_;
};

// A stack with its own status and notification centre.
struct StackFixture {
    NotificationCenter center{MainQueue::shared()};
    ShowStatus status{center};
    CueStack stack{status};
    ShowNotificationLog log{center};
};

}  // namespace bw::test
