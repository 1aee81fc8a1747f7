#include "media/MediaCatalog.h"

#include <algorithm>
#include <exception>
#include <utility>
#include <vector>

#include "platform/MainQueue.h"
#include "platform/SystemLog.h"

namespace bw {
namespace {

bool hasThumbnail(MediaKind kind) {
    return kind == MediaKind::Movie || kind == MediaKind::Image;
}

// Runs a lookup on a worker; an exception must not leave its path in flight
// for ever, so it counts as "nothing found" (None, no thumbnail).
template <typename Result, typename Lookup>
Result guardedLookup(const Lookup& lookup, const MediaURL& url, const char* what) {
    try {
        return lookup(url);
    } catch (const std::exception& error) {
        SystemLog::shared().log(std::string("MediaCatalog: ") + what + " of " + url.path() +
                                " threw: " + error.what());
    } catch (...) {
        SystemLog::shared().log(std::string("MediaCatalog: ") + what + " of " + url.path() +
                                " threw an unknown exception");
    }
    return Result{};
}

}  // namespace

MediaCatalog::MediaCatalog(Parts parts)
    : mainQueue_(parts.mainQueue),
      kindOf_(parts.kindOf ? std::move(parts.kindOf) : KindLookup(&FileTypes::kindOf)),
      thumbnailFor_(parts.thumbnailFor ? std::move(parts.thumbnailFor)
                                       : ThumbnailLookup([](const MediaURL& url) {
                                             return Thumbnail::shared().thumbnailForURL(url);
                                         })),
      missingRecheck_(std::max(parts.missingRecheck, std::chrono::milliseconds(1))),
      alive_(std::make_shared<MediaCatalog*>(this)),
      kindQueue_(parts.workers),
      thumbnailQueue_(parts.workers) {}

MediaCatalog::~MediaCatalog() {
    // The workers read this object's lookups and arrivedKinds_; results they
    // post find alive_ expired and are dropped.
    kindQueue_.cancelAllOperations();
    thumbnailQueue_.cancelAllOperations();
    kindQueue_.waitUntilAllOperationsAreFinished();
    thumbnailQueue_.waitUntilAllOperationsAreFinished();
}

MediaCatalog::Entry MediaCatalog::entry(const MediaURL& url) {
    if (!url.isFileURL()) {
        Entry generator;
        generator.kindKnown = true;
        return generator;
    }
    return recordFor(url).entry;
}

std::optional<MediaKind> MediaCatalog::kindWithin(const MediaURL& url,
                                                  std::chrono::milliseconds timeout) {
    if (!url.isFileURL()) return MediaKind::None;
    Record& record = recordFor(url);
    if (record.entry.kindKnown) return record.entry.kind;
    // The first lookup is in flight: wait for its answer on the side channel.
    // Its posted result still applies it, and tells the observers, later.
    std::optional<MediaKind> kind;
    {
        std::unique_lock lock(arrivedMutex_);
        kindArrived_.wait_for(lock, timeout, [&] {
            const auto found = arrivedKinds_.find(url.path());
            if (found != arrivedKinds_.end()) kind = found->second;
            return kind.has_value();
        });
    }
    if (kind && !record.entry.kindKnown) {
        // Known from now on (a file dropped this instant is shown as what it
        // is); the observers hear of it when the posted result is applied.
        record.entry.kindKnown = true;
        record.entry.kind = *kind;
        record.kindTakenEarly = true;
    }
    return kind;
}

void MediaCatalog::refresh() {
    for (auto& [path, record] : records_) {
        if (record.kindInFlight) {
            record.kindStale = true;
        } else {
            startKindLookup(path, record);
        }
    }
}

MediaCatalog::ObserverToken MediaCatalog::addObserver(Observer observer) {
    const ObserverToken token = nextObserverToken_++;
    observers_.emplace(token, std::move(observer));
    return token;
}

void MediaCatalog::removeObserver(ObserverToken token) {
    observers_.erase(token);
}

MediaCatalog::Record& MediaCatalog::recordFor(const MediaURL& url) {
    const auto [found, added] = records_.try_emplace(url.path());
    if (added) {
        found->second.url = url;
        startKindLookup(found->first, found->second);
    }
    return found->second;
}

void MediaCatalog::startKindLookup(const std::string& path, Record& record) {
    record.kindInFlight = true;
    record.kindStale = false;
    ++kindLookupCount_;
    kindQueue_.addOperation(
        [this, path, url = record.url, alive = std::weak_ptr<MediaCatalog*>(alive_)](Operation&) {
            const MediaKind kind = guardedLookup<MediaKind>(kindOf_, url, "the kind lookup");
            {
                std::lock_guard lock(arrivedMutex_);
                arrivedKinds_.insert_or_assign(path, kind);
            }
            kindArrived_.notify_all();
            mainQueue_.post([alive, path, kind] {
                if (auto catalog = alive.lock()) (*catalog)->applyKind(path, kind);
            });
        },
        QualityOfService::UserInitiated);
}

void MediaCatalog::startThumbnailLookup(const std::string& path, Record& record) {
    if (record.thumbnailInFlight) {
        record.thumbnailStale = true;
        return;
    }
    record.thumbnailInFlight = true;
    record.thumbnailStale = false;
    // Decoding runs at a lowered priority: it must not compete with playback.
    thumbnailQueue_.addOperation(
        [this, path, url = record.url, alive = std::weak_ptr<MediaCatalog*>(alive_)](Operation&) {
            ThumbnailImageRef thumbnail =
                guardedLookup<ThumbnailImageRef>(thumbnailFor_, url, "the thumbnail lookup");
            mainQueue_.post([alive, path, thumbnail = std::move(thumbnail)]() mutable {
                if (auto catalog = alive.lock()) {
                    (*catalog)->applyThumbnail(path, std::move(thumbnail));
                }
            });
        },
        QualityOfService::Utility);
}

void MediaCatalog::applyKind(const std::string& path, MediaKind kind) {
    {
        std::lock_guard lock(arrivedMutex_);
        arrivedKinds_.erase(path);
    }
    const auto found = records_.find(path);
    if (found == records_.end()) return;
    Record& record = found->second;
    Entry& entry = record.entry;
    record.kindInFlight = false;

    bool changed = std::exchange(record.kindTakenEarly, false) || !entry.kindKnown ||
                   entry.kind != kind;
    entry.kindKnown = true;
    entry.kind = kind;
    if (hasThumbnail(kind)) {
        // Asked again after every lookup: the thumbnail cache answers a kept
        // file at once, and a file that could not be decoded before may now.
        startThumbnailLookup(path, record);
    } else if (entry.thumbnail != nullptr) {
        entry.thumbnail = nullptr;
        changed = true;
    }
    if (record.kindStale) startKindLookup(path, record);
    updateRecheckTimer();
    if (changed) notify(path);
}

void MediaCatalog::applyThumbnail(const std::string& path, ThumbnailImageRef thumbnail) {
    const auto found = records_.find(path);
    if (found == records_.end()) return;
    Record& record = found->second;
    record.thumbnailInFlight = false;
    // The kind may have turned None while the thumbnail was being made.
    if (!hasThumbnail(record.entry.kind)) return;
    if (record.thumbnailStale) {
        // The kind was looked up again meanwhile: this answer may be old.
        startThumbnailLookup(path, record);
    }
    if (thumbnail == record.entry.thumbnail) return;
    record.entry.thumbnail = std::move(thumbnail);
    notify(path);
}

void MediaCatalog::updateRecheckTimer() {
    const bool anyMissing = std::ranges::any_of(records_, [](const auto& item) {
        return item.second.entry.kindKnown && item.second.entry.kind == MediaKind::None;
    });
    if (!anyMissing) {
        recheckTimer_.reset();
        return;
    }
    if (recheckTimer_ != nullptr) return;
    recheckTimer_.reset(g_timeout_source_new(static_cast<guint>(missingRecheck_.count())));
    g_source_set_name(recheckTimer_.get(), "bw.MediaCatalog.recheck");
    g_source_set_callback(recheckTimer_.get(), &MediaCatalog::recheckMissing, this, nullptr);
    g_source_attach(recheckTimer_.get(), mainQueue_.context());
}

gboolean MediaCatalog::recheckMissing(gpointer self) {
    auto* catalog = static_cast<MediaCatalog*>(self);
    for (auto& [path, record] : catalog->records_) {
        if (record.entry.kindKnown && record.entry.kind == MediaKind::None &&
            !record.kindInFlight) {
            catalog->startKindLookup(path, record);
        }
    }
    return G_SOURCE_CONTINUE;
}

void MediaCatalog::notify(const std::string& path) {
    // An observer may add or remove observers: walk a snapshot of the tokens
    // and skip those removed on the way.
    std::vector<ObserverToken> tokens;
    tokens.reserve(observers_.size());
    for (const auto& item : observers_)
        tokens.push_back(item.first);
    for (const ObserverToken token : tokens) {
        const auto found = observers_.find(token);
        if (found == observers_.end()) continue;
        // A copy: the observer may remove itself while it runs.
        const Observer observer = found->second;
        observer(path);
    }
}

}  // namespace bw
