#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace bw {

// A private serial queue: one worker thread runs posted work items one at a
// time, in the order they were posted.
//
// post(), sync() and isCurrent() may be called from any thread. An exception
// escaping a work item is caught and logged ("SerialQueue: ..."); the queue
// goes on with the next item. The destructor runs everything already posted,
// then joins the worker; it must not run on the queue's own thread.
class SerialQueue {
public:
    using Work = std::function<void()>;

    // `label` names the queue in log lines and, cut to 15 bytes, its thread.
    explicit SerialQueue(std::string label = "bw.serial");
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    void post(Work work);

    // Runs `work` on the queue, after everything posted before it, and returns
    // once it has run. Called on the queue's own thread it runs `work` inline.
    void sync(const Work& work);

    // Whether the calling thread is the queue's worker.
    bool isCurrent() const { return std::this_thread::get_id() == worker_.get_id(); }

    const std::string& label() const { return label_; }

private:
    void run();
    void runGuarded(const Work& work) const;

    const std::string label_;

    std::mutex mutex_;
    std::condition_variable wake_;
    // Guarded by mutex_.
    std::deque<Work> pending_;
    bool stopping_ = false;

    // Last: started once everything above is ready.
    std::thread worker_;
};

}  // namespace bw
