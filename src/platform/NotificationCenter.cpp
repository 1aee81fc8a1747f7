#include "platform/NotificationCenter.h"

#include <algorithm>
#include <cassert>
#include <utility>

#include "platform/MainQueue.h"

namespace bw {

NotificationCenter::NotificationCenter(MainQueue& queue) : queue_(queue) {}

NotificationCenter& NotificationCenter::defaultCenter() {
    static NotificationCenter center(MainQueue::shared());
    return center;
}

NotificationCenter::Token NotificationCenter::addObserver(std::string name, Observer observer) {
    assert(queue_.isMainThread());
    const Token token = nextToken_++;
    entries_.push_back(
        Entry{token, std::move(name), std::make_shared<Observer>(std::move(observer))});
    return token;
}

void NotificationCenter::removeObserver(Token token) {
    assert(queue_.isMainThread());
    std::erase_if(entries_, [token](const Entry& entry) { return entry.token == token; });
}

void NotificationCenter::post(Notification notification) {
    if (!queue_.isMainThread()) {
        queue_.post([this, notification = std::move(notification)] { deliver(notification); });
        return;
    }
    deliver(notification);
}

void NotificationCenter::deliver(const Notification& notification) {
    // Observers may add and remove observers while being called, so the
    // matching ones are taken first and each is checked again before its call.
    // The shared_ptr keeps an observer alive while it runs, even if it removes
    // itself.
    std::vector<std::pair<Token, std::shared_ptr<Observer>>> matching;
    for (const Entry& entry : entries_) {
        if (entry.name == notification.name) {
            matching.emplace_back(entry.token, entry.observer);
        }
    }
    for (const auto& candidate : matching) {
        const Token token = candidate.first;
        const bool stillRegistered = std::any_of(entries_.begin(), entries_.end(),
                                                 [&](const Entry& e) { return e.token == token; });
        if (stillRegistered) {
            (*candidate.second)(notification);
        }
    }
}

}  // namespace bw
