#pragma once

#include <memory>
#include <mutex>
#include <utility>

#include "platform/MainQueue.h"

namespace bw {

// How a socket reaches its delegate: the delegate, the queue its calls run on,
// and the public socket object (`Owner`) that the calls name. The socket's
// I/O thread posts; the calls run on the delegate queue, each checking that
// the delegate and owner are still there.
//
// Any thread. set(), setOwner() and detach() wait for a delegate call that is
// running on another thread, so that once they return no call is in progress
// or to come with the old values; from inside a call (the same thread) they
// take effect at once. A call posted to one queue is dropped if the queue has
// changed before it runs.
template <typename Delegate, typename Owner>
class SocketDelegateLink {
public:
    void set(Delegate* delegate, MainQueue* queue) {
        std::lock_guard calling(callMutex_);
        std::lock_guard lock(fieldsMutex_);
        delegate_ = delegate;
        queue_ = queue;
    }
    void setDelegate(Delegate* delegate) {
        std::lock_guard calling(callMutex_);
        std::lock_guard lock(fieldsMutex_);
        delegate_ = delegate;
    }
    void setOwner(Owner* owner) {
        std::lock_guard calling(callMutex_);
        std::lock_guard lock(fieldsMutex_);
        owner_ = owner;
    }
    // The owner is going away: nothing is delivered from now on.
    void detach() {
        std::lock_guard calling(callMutex_);
        std::lock_guard lock(fieldsMutex_);
        delegate_ = nullptr;
        owner_ = nullptr;
    }

    std::pair<Delegate*, MainQueue*> delegateAndQueue() const {
        std::lock_guard lock(fieldsMutex_);
        return {delegate_, queue_};
    }

    // Runs `work(link, queue)` on the delegate queue while the object that
    // `guard` watches (the one holding this link) still lives. Nothing is
    // posted without a delegate queue.
    template <typename Work>
    void postRaw(std::weak_ptr<const void> guard, Work work) {
        MainQueue* queue = nullptr;
        {
            std::lock_guard lock(fieldsMutex_);
            queue = queue_;
        }
        if (queue == nullptr) {
            return;
        }
        queue->post(
            [guard = std::move(guard), link = this, queue, work = std::move(work)]() mutable {
                const std::shared_ptr<const void> alive = guard.lock();
                if (alive != nullptr) {
                    work(*link, queue);
                }
            });
    }

    // Posts `call(delegate, owner)`; see deliver().
    template <typename Call>
    void post(std::weak_ptr<const void> guard, Call call) {
        postRaw(std::move(guard),
                [call = std::move(call)](SocketDelegateLink& link, MainQueue* queue) mutable {
                    link.deliver(queue, call);
                });
    }

    // Delegate queue only (inside postRaw work): calls `call(delegate, owner)`
    // unless the delegate or owner is gone or the queue is no longer
    // `postedTo`. Returns whether it called.
    template <typename Call>
    bool deliver(MainQueue* postedTo, Call&& call) {
        std::lock_guard calling(callMutex_);
        Delegate* delegate = nullptr;
        Owner* owner = nullptr;
        {
            std::lock_guard lock(fieldsMutex_);
            if (queue_ != postedTo) {
                return false;
            }
            delegate = delegate_;
            owner = owner_;
        }
        if (delegate == nullptr || owner == nullptr) {
            return false;
        }
        call(*delegate, *owner);
        return true;
    }

private:
    // Held by the delegate queue's thread for the length of each call.
    // Recursive: a call may clear the delegate or destroy the owner.
    std::recursive_mutex callMutex_;

    mutable std::mutex fieldsMutex_;
    // Guarded by fieldsMutex_ (written under callMutex_ as well).
    Delegate* delegate_ = nullptr;
    MainQueue* queue_ = nullptr;
    Owner* owner_ = nullptr;
};

}  // namespace bw
