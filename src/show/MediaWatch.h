#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/OperationQueue.h"
#include "show/Cue.h"
#include "show/MediaScan.h"

namespace bw {

class MainQueue;

// Keeps a show's missing media known without touching the disk on the main
// thread (a file on a network share that hangs must not hold up GO): each
// check() hands a copy of the cues to a worker thread of its own, which scans
// them (MediaScan); the result comes back through the main queue. A check
// while a scan still runs is skipped; the next one after it scans again.
//
// Main thread only. Destruction waits for a scan in progress; a result that
// arrives after it is dropped.
class MediaWatch {
public:
    explicit MediaWatch(MainQueue& mainQueue);
    ~MediaWatch();
    MediaWatch(const MediaWatch&) = delete;
    MediaWatch& operator=(const MediaWatch&) = delete;

    // Starts a scan of `cues`, unless one is running.
    void check(std::vector<Cue> cues);
    // What the last finished scan found; empty before the first.
    const std::vector<MissingMedia>& missingMedia() const { return missingMedia_; }
    // Scans finished so far.
    std::uint64_t scansFinished() const { return scansFinished_; }

private:
    MainQueue& mainQueue_;
    std::vector<MissingMedia> missingMedia_;
    bool scanning_ = false;
    std::uint64_t scansFinished_ = 0;
    // Results posted to the main queue check that this watch still lives.
    std::shared_ptr<MediaWatch*> alive_;
    // Last, so that it goes first: its worker is joined before the rest.
    OperationQueue queue_{1};
};

}  // namespace bw
