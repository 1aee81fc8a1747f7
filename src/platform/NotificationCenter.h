#pragma once

#include <any>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace bw {

class MainQueue;

struct Notification {
    std::string name;
    std::any object;  // empty when the notification carries none
};

// An in-process notification centre: observers register for a name and are
// called on the main thread, in registration order, for every post of it.
//
// Main thread only, except post(): a post from another thread is forwarded to
// the main queue, so observers always run on the main thread. Observers may
// add or remove observers (themselves included) while being called; an
// observer removed during a post is not called afterwards, one added during a
// post is first called for the next one. A post on the main thread calls the
// observers before it returns. The centre must outlive the main-queue items of
// posts forwarded to it.
class NotificationCenter {
public:
    using Observer = std::function<void(const Notification&)>;
    using Token = std::uint64_t;

    explicit NotificationCenter(MainQueue& queue);
    NotificationCenter(const NotificationCenter&) = delete;
    NotificationCenter& operator=(const NotificationCenter&) = delete;

    // The process's default centre on MainQueue::shared(), created on first use.
    static NotificationCenter& defaultCenter();

    Token addObserver(std::string name, Observer observer);
    void removeObserver(Token token);

    void post(Notification notification);
    void post(std::string name) { post(Notification{std::move(name), {}}); }

private:
    void deliver(const Notification& notification);

    struct Entry {
        Token token;
        std::string name;
        std::shared_ptr<Observer> observer;
    };
    MainQueue& queue_;
    // Main thread only.
    std::vector<Entry> entries_;
    Token nextToken_ = 1;
};

}  // namespace bw
