#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "media/Thumbnail.h"
#include "platform/FileTypes.h"
#include "platform/GLibHandle.h"
#include "platform/MediaURL.h"
#include "platform/OperationQueue.h"

namespace bw {

class MainQueue;

// What the cue list knows of one media file: its kind and its thumbnail,
// each looked up once per path off the main thread.
//
// Kinds are looked up on one queue and thumbnails on another (at a lowered
// priority), each with `workers` threads, so a movie's slow decode never
// holds up another file's kind. Results are posted to the main queue and
// applied there. Paths whose kind came back None (missing or unreadable) are
// looked up again every `missingRecheck` while there are any, so a file
// copied in later fills its cells; a lookup in flight is never started twice.
// Paths are kept for the life of the catalog.
//
// Main thread only (the thread of the main queue's context); the lookups run
// on the catalog's workers and may be called from several at once. Observers
// are called on the main thread, from the main queue or the recheck timer,
// never from inside a call to the catalog.
class MediaCatalog {
public:
    struct Entry {
        bool kindKnown = false;  // false until the first lookup has come back
        MediaKind kind = MediaKind::None;
        ThumbnailImageRef thumbnail;  // null until made; only movies and images get one
    };
    using Observer = std::function<void(const std::string& path)>;
    using ObserverToken = std::uint64_t;
    using KindLookup = std::function<MediaKind(const MediaURL&)>;
    using ThumbnailLookup = std::function<ThumbnailImageRef(const MediaURL&)>;
    struct Parts {
        MainQueue& mainQueue;
        KindLookup kindOf{};             // empty: FileTypes::kindOf
        ThumbnailLookup thumbnailFor{};  // empty: Thumbnail::shared().thumbnailForURL
        std::chrono::milliseconds missingRecheck{std::chrono::seconds(2)};
        std::size_t workers = 2;
    };

    explicit MediaCatalog(Parts parts);
    // Cancels queued lookups and waits for running ones; results arriving
    // later are dropped.
    ~MediaCatalog();
    MediaCatalog(const MediaCatalog&) = delete;
    MediaCatalog& operator=(const MediaCatalog&) = delete;

    // What is known now of the file `url` names; never blocks and never
    // touches the file. The first call for a path starts its lookup (kind,
    // then the thumbnail for a movie or image). A generator URL: kindKnown
    // true, kind None, no lookup.
    Entry entry(const MediaURL& url);

    // The kind of `url`, waiting up to `timeout` for a lookup started now or
    // earlier; none when it has not come back by then (the lookup goes on and
    // is kept). For drag and drop, which must answer at once. A kind returned
    // here is entry()'s from then on, so a file dropped at once shows as what
    // it is; the observers hear of it when its posted result is applied, on a
    // later turn of the main queue.
    std::optional<MediaKind> kindWithin(const MediaURL& url, std::chrono::milliseconds timeout);

    // Looks every known path up again (a show was loaded: files may have
    // changed). Entries keep their present values until the new lookups come
    // back; a path whose lookup is in flight is looked up once more after it.
    void refresh();

    // Observers are told, with the path, whenever an entry changes (kind
    // learned or changed, thumbnail arrived or dropped).
    ObserverToken addObserver(Observer observer);
    void removeObserver(ObserverToken token);

    // Kind lookups started so far, for tests and benchmarks.
    std::size_t kindLookupCount() const { return kindLookupCount_; }

private:
    struct Record {
        MediaURL url;
        Entry entry;
        bool kindInFlight = false;
        bool kindStale = false;  // refreshed while in flight: look up again after it
        // kindWithin() filled the entry before its posted result came.
        bool kindTakenEarly = false;
        bool thumbnailInFlight = false;
        bool thumbnailStale = false;
    };

    Record& recordFor(const MediaURL& url);
    void startKindLookup(const std::string& path, Record& record);
    void startThumbnailLookup(const std::string& path, Record& record);
    void applyKind(const std::string& path, MediaKind kind);
    void applyThumbnail(const std::string& path, ThumbnailImageRef thumbnail);
    void updateRecheckTimer();
    static gboolean recheckMissing(gpointer self);
    void notify(const std::string& path);

    MainQueue& mainQueue_;
    const KindLookup kindOf_;
    const ThumbnailLookup thumbnailFor_;
    const std::chrono::milliseconds missingRecheck_;

    // Main thread only.
    std::map<std::string, Record, std::less<>> records_;
    std::map<ObserverToken, Observer> observers_;
    ObserverToken nextObserverToken_ = 1;
    std::size_t kindLookupCount_ = 0;
    GSourcePtr recheckTimer_;  // attached while some path's kind is None

    // Kinds come back here from the workers as well as through the main
    // queue, so that kindWithin() can wait for one without running the queue.
    std::mutex arrivedMutex_;
    std::condition_variable kindArrived_;
    // Guarded by arrivedMutex_: kinds looked up and not yet applied, by path.
    std::map<std::string, MediaKind, std::less<>> arrivedKinds_;

    // Work posted to the main queue checks that the catalog still exists.
    std::shared_ptr<MediaCatalog*> alive_;
    // Last, so they are joined before anything their work touches dies (the
    // destructor waits for them first all the same).
    OperationQueue kindQueue_;
    OperationQueue thumbnailQueue_;
};

}  // namespace bw
