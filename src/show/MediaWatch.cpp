#include "show/MediaWatch.h"

#include <utility>

#include "platform/MainQueue.h"

namespace bw {

MediaWatch::MediaWatch(MainQueue& mainQueue)
    : mainQueue_(mainQueue), alive_(std::make_shared<MediaWatch*>(this)) {}

MediaWatch::~MediaWatch() {
    alive_.reset();
    queue_.cancelAllOperations();
}

void MediaWatch::check(std::vector<Cue> cues) {
    if (scanning_) return;
    scanning_ = true;
    queue_.addOperation(
        [&mainQueue = mainQueue_, alive = std::weak_ptr<MediaWatch*>(alive_),
         cues = std::move(cues)](Operation& operation) {
            std::vector<MissingMedia> missing = MediaScan::missingMedia(cues);
            if (operation.isCancelled()) return;
            mainQueue.post([alive, missing = std::move(missing)]() mutable {
                const std::shared_ptr<MediaWatch*> watch = alive.lock();
                if (!watch) return;
                (*watch)->missingMedia_ = std::move(missing);
                (*watch)->scanning_ = false;
                ++(*watch)->scansFinished_;
            });
        },
        QualityOfService::Utility);
}

}  // namespace bw
