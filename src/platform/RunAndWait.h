#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>

namespace bw {

// Hands `work` to another thread through `post` and waits until it has run
// there. For queues whose sync() is "post, then wait"; the caller handles
// the case of already being on that thread (waiting would deadlock).
template <typename Post>
void runAndWait(Post&& post, const std::function<void()>& work) {
    std::mutex doneMutex;
    std::condition_variable doneChanged;
    bool done = false;
    post([&] {
        work();
        std::lock_guard lock(doneMutex);
        done = true;
        // Notified under the lock: the waiter's locals die as soon as it wakes.
        doneChanged.notify_one();
    });
    std::unique_lock lock(doneMutex);
    doneChanged.wait(lock, [&] { return done; });
}

}  // namespace bw
