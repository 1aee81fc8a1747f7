#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "media/MediaCatalog.h"
#include "platform/MainQueue.h"
#include "support/Deadline.h"
#include "support/TempDir.h"

namespace bw {
namespace {

using namespace std::chrono_literals;

const MediaURL kMovie = MediaURL::fileURL("/show/media/movie.mov");
const MediaURL kStill = MediaURL::fileURL("/show/media/still.png");
const MediaURL kMissing = MediaURL::fileURL("/show/media/later.mov");

// Lookups the test answers: each waits at a gate the test opens, then gives
// the kind set for its path (None by default) and one picture per path.
class FakeMedia {
public:
    void open() {
        std::lock_guard lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }
    void setKind(const MediaURL& url, MediaKind kind) {
        std::lock_guard lock(mutex_);
        kinds_[url.path()] = kind;
    }
    // Kind lookups that have reached the gate, open or not.
    std::size_t kindLookupsAtGate() {
        std::lock_guard lock(mutex_);
        return atGate_;
    }
    std::size_t kindLookups() {
        std::lock_guard lock(mutex_);
        return kindLookups_;
    }
    std::size_t thumbnailLookups() {
        std::lock_guard lock(mutex_);
        return thumbnailLookups_;
    }
    // The picture made for `url`; null before its first lookup.
    ThumbnailImageRef imageFor(const MediaURL& url) {
        std::lock_guard lock(mutex_);
        return images_[url.path()];
    }

    MediaCatalog::Parts parts(std::chrono::milliseconds missingRecheck = 1h) {
        return {.mainQueue = MainQueue::shared(),
                .kindOf = [this](const MediaURL& url) { return kindOf(url); },
                .thumbnailFor = [this](const MediaURL& url) { return thumbnailFor(url); },
                .missingRecheck = missingRecheck};
    }

private:
    MediaKind kindOf(const MediaURL& url) {
        std::unique_lock lock(mutex_);
        ++atGate_;
        // Bounded, so that a broken catalog fails the test instead of hanging it.
        changed_.wait_for(lock, 10s, [this] { return open_; });
        ++kindLookups_;
        return kinds_[url.path()];
    }
    ThumbnailImageRef thumbnailFor(const MediaURL& url) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, 10s, [this] { return open_; });
        ++thumbnailLookups_;
        auto& image = images_[url.path()];
        if (!image) image = std::make_shared<ThumbnailImage>();
        return image;
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = false;
    std::map<std::string, MediaKind> kinds_;
    std::map<std::string, ThumbnailImageRef> images_;
    std::size_t atGate_ = 0;
    std::size_t kindLookups_ = 0;
    std::size_t thumbnailLookups_ = 0;
};

// The paths the observers were told of, and whether always on the main thread.
struct Told {
    explicit Told(MediaCatalog& catalog) {
        catalog.addObserver([this](const std::string& path) {
            paths.push_back(path);
            onMainThread = onMainThread && MainQueue::shared().isMainThread();
        });
    }
    std::vector<std::string> paths;
    bool onMainThread = true;
};

bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 10s) {
    return MainQueue::shared().pumpUntil(done, test::scaled(timeout));
}

// Runs the main queue a while, for results that must not come.
void settle() {
    MainQueue::shared().pumpUntil([] { return false; }, 100ms);
}

TEST(MediaCatalogTest, EntryAnswersAtOnceThenTheObserverIsToldOfKindAndThumbnail) {
    struct Case {
        MediaURL url;
        MediaKind kind;
        bool thumbnail;
    };
    const std::vector<Case> cases = {{kMovie, MediaKind::Movie, true},
                                     {kStill, MediaKind::Image, true},
                                     {kMissing, MediaKind::None, false}};
    FakeMedia media;
    for (const Case& c : cases)
        media.setKind(c.url, c.kind);
    MediaCatalog catalog(media.parts());
    Told told(catalog);

    for (int round = 0; round < 3; ++round) {
        for (const Case& c : cases) {
            const MediaCatalog::Entry entry = catalog.entry(c.url);
            // The gate holds every lookup until it opens: an entry() that
            // waited for one would come back after the gate gave up.
            EXPECT_EQ(media.kindLookups(), 0u) << "entry() waited for a lookup";
            EXPECT_FALSE(entry.kindKnown);
            EXPECT_EQ(entry.thumbnail, nullptr);
        }
    }
    EXPECT_EQ(catalog.kindLookupCount(), cases.size());

    // Movie and still: kind, then thumbnail; the missing file: its kind only.
    media.open();
    ASSERT_TRUE(pumpUntil([&] { return told.paths.size() == 5; })) << told.paths.size();
    settle();
    EXPECT_EQ(told.paths.size(), 5u);
    EXPECT_TRUE(told.onMainThread);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url.path());
        const MediaCatalog::Entry entry = catalog.entry(c.url);
        EXPECT_TRUE(entry.kindKnown);
        EXPECT_EQ(entry.kind, c.kind);
        EXPECT_EQ(entry.thumbnail, c.thumbnail ? media.imageFor(c.url) : nullptr);
    }
    EXPECT_EQ(catalog.kindLookupCount(), cases.size());
    EXPECT_EQ(media.thumbnailLookups(), 2u);
}

TEST(MediaCatalogTest, GeneratorsAreKnownAtOnceAndNeverLookedUp) {
    FakeMedia media;
    MediaCatalog catalog(media.parts());
    for (const auto generator :
         {MediaURL::Generator::Black, MediaURL::Generator::Clear, MediaURL::Generator::Grid}) {
        const MediaURL url = MediaURL::generator(generator);
        SCOPED_TRACE(url.absoluteString());
        const MediaCatalog::Entry entry = catalog.entry(url);
        EXPECT_TRUE(entry.kindKnown);
        EXPECT_EQ(entry.kind, MediaKind::None);
        EXPECT_EQ(entry.thumbnail, nullptr);
        EXPECT_EQ(catalog.kindWithin(url, 0ms), MediaKind::None);
    }
    EXPECT_EQ(catalog.kindLookupCount(), 0u);
}

TEST(MediaCatalogTest, KindWithinAnswersAQuickLookupAndGivesUpOnABlockedOne) {
    FakeMedia media;
    media.setKind(kMovie, MediaKind::Movie);
    media.setKind(kStill, MediaKind::Image);
    {
        MediaCatalog catalog(media.parts());
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(catalog.kindWithin(kMovie, 50ms), std::nullopt);
        EXPECT_GE(std::chrono::steady_clock::now() - start, 50ms);
        // The lookup goes on: opening the gate lets it reach the entry.
        media.open();
        ASSERT_TRUE(pumpUntil([&] { return catalog.entry(kMovie).kindKnown; }));
        EXPECT_EQ(catalog.entry(kMovie).kind, MediaKind::Movie);
        EXPECT_EQ(catalog.kindLookupCount(), 1u);
    }
    MediaCatalog catalog(media.parts());
    Told told(catalog);
    EXPECT_EQ(catalog.kindWithin(kStill, test::scaled(10s)), MediaKind::Image);
    EXPECT_TRUE(told.paths.empty());  // told later, from the main queue
    ASSERT_TRUE(pumpUntil([&] { return !told.paths.empty(); }));
    EXPECT_EQ(catalog.kindLookupCount(), 1u);
}

TEST(MediaCatalogTest, RefreshLooksEveryPathUpAgainAndTellsTheKindsThatChanged) {
    FakeMedia media;
    media.setKind(kMovie, MediaKind::Movie);
    media.setKind(kStill, MediaKind::Image);
    MediaCatalog catalog(media.parts());
    catalog.entry(kMovie);
    catalog.entry(kStill);
    // Both in flight: each is looked up once more after its first lookup, not twice now.
    catalog.refresh();
    EXPECT_EQ(catalog.kindLookupCount(), 2u);
    media.open();
    ASSERT_TRUE(pumpUntil([&] { return media.thumbnailLookups() == 4; }));
    settle();
    EXPECT_EQ(catalog.kindLookupCount(), 4u);
    EXPECT_EQ(media.kindLookups(), 4u);

    // The still turns into a movie, the movie disappears, a third path stays.
    catalog.entry(kMissing);
    ASSERT_TRUE(pumpUntil([&] { return catalog.entry(kMissing).kindKnown; }));
    Told told(catalog);
    media.setKind(kStill, MediaKind::Movie);
    media.setKind(kMovie, MediaKind::None);
    catalog.refresh();
    EXPECT_EQ(catalog.kindLookupCount(), 8u);
    EXPECT_EQ(catalog.entry(kStill).kind, MediaKind::Image);  // until the lookup comes back
    EXPECT_NE(catalog.entry(kStill).thumbnail, nullptr);
    ASSERT_TRUE(pumpUntil([&] { return catalog.entry(kMovie).kind == MediaKind::None; }));
    ASSERT_TRUE(pumpUntil([&] { return catalog.entry(kStill).kind == MediaKind::Movie; }));
    settle();
    EXPECT_EQ(catalog.entry(kMovie).thumbnail, nullptr);
    EXPECT_EQ(std::multiset<std::string>(told.paths.begin(), told.paths.end()),
              (std::multiset<std::string>{kMovie.path(), kStill.path()}));
}

TEST(MediaCatalogTest, MissingFileIsLookedUpAgainUntilItAppears) {
    FakeMedia media;
    media.open();
    MediaCatalog catalog(media.parts(20ms));
    Told told(catalog);
    catalog.entry(kMissing);
    ASSERT_TRUE(pumpUntil([&] { return catalog.kindLookupCount() >= 3; }));
    // Learned once; the same answer again tells nobody.
    EXPECT_EQ(told.paths.size(), 1u);

    media.setKind(kMissing, MediaKind::Movie);
    ASSERT_TRUE(pumpUntil([&] { return catalog.entry(kMissing).thumbnail != nullptr; }));
    EXPECT_EQ(catalog.entry(kMissing).kind, MediaKind::Movie);
    EXPECT_EQ(told.paths.size(), 3u);  // then its kind changed, then its thumbnail arrived

    // Nothing is missing now: the rechecks stop.
    const std::size_t lookups = catalog.kindLookupCount();
    settle();
    EXPECT_EQ(catalog.kindLookupCount(), lookups);
}

// Verifies that a lookup finishing after the catalog died is dropped, and that
// queued lookups never run.
TEST(MediaCatalogTest, DestroyingTheCatalogWithALookupBlockedDropsItsResult) {
    FakeMedia media;
    media.setKind(kMovie, MediaKind::Movie);
    bool told = false;
    {
        std::jthread opener;  // joined after the catalog is gone
        auto parts = media.parts();
        parts.workers = 1;
        MediaCatalog catalog(parts);
        catalog.addObserver([&](const std::string&) { told = true; });
        for (const MediaURL& url : {kMovie, kStill, kMissing})
            catalog.entry(url);
        ASSERT_TRUE(pumpUntil([&] { return media.kindLookupsAtGate() == 1; }));
        // The destructor waits for the running lookup, which the gate holds.
        opener = std::jthread([&] {
            std::this_thread::sleep_for(50ms);
            media.open();
        });
    }
    settle();
    EXPECT_FALSE(told);
    EXPECT_EQ(media.kindLookups(), 1u);
}

// The real kind and thumbnail lookups on generated media.
TEST(MediaCatalogTest, RealLookupsGiveMoviesAndStillsTheirKindAndThumbnail) {
    struct Case {
        const char* name;
        MediaKind kind;
    };
    const std::vector<Case> cases = {{"movie.webm", MediaKind::Movie},
                                     {"image.png", MediaKind::Image},
                                     {"notes.txt", MediaKind::None}};
    std::vector<MediaURL> urls;
    for (const Case& c : cases) {
        const auto path = test::testMediaDir() / c.name;
        if (!std::filesystem::exists(path)) GTEST_SKIP() << path << " was not made here";
        urls.push_back(MediaURL::fileURL(path.string()));
    }
    MediaCatalog catalog({.mainQueue = MainQueue::shared()});
    for (const MediaURL& url : urls)
        catalog.entry(url);
    ASSERT_TRUE(pumpUntil(
        [&] {
            for (std::size_t i = 0; i < cases.size(); ++i) {
                const MediaCatalog::Entry entry = catalog.entry(urls[i]);
                if (!entry.kindKnown) return false;
                if (entry.kind != MediaKind::None && entry.thumbnail == nullptr) return false;
            }
            return true;
        },
        test::scaled(30s)));
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].name);
        const MediaCatalog::Entry entry = catalog.entry(urls[i]);
        EXPECT_EQ(entry.kind, cases[i].kind);
        if (cases[i].kind != MediaKind::None) {
            ASSERT_NE(entry.thumbnail, nullptr);
            EXPECT_NE(entry.thumbnail, Thumbnail::missingImage());
            EXPECT_EQ(entry.thumbnail->width, Thumbnail::kSize);
        }
    }
}

}  // namespace
}  // namespace bw
