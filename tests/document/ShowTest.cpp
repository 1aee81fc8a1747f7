#include "document/Show.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

#include "engine/EngineTestSupport.h"
#include "show/ShowTestSupport.h"
#include "support/TempDir.h"

namespace bw {
namespace {

using namespace std::chrono_literals;
using Entry = test::ShowNotificationLog::Entry;

const Entry kWillLoad{"ShowWillLoad", std::nullopt};
const Entry kDidLoad{"ShowDidLoad", std::nullopt};
const Entry kDirty{"ShowDirtyStatusChanged", true};
const Entry kClean{"ShowDirtyStatusChanged", false};

constexpr const char* kState = R"({"mediaPath":"%s","muted":true,"looped":true,"kenBurns":false})";

std::string state(const std::string& mediaPath) {
    char buffer[512];
    std::snprintf(buffer, sizeof buffer, kState, mediaPath.c_str());
    return buffer;
}

// Two outputs; cues 1 (grid, movie) and 2.5 (clear, still) in that order in
// the file, so not sorted by ID; `extraCue` is appended as it is.
std::string twoCueShow(const std::string& extraCue = "") {
    return R"({"config":[{"name":"Stage","width":8,"height":6},{"name":"Foyer","width":4,"height":2}],)"
           R"("cues":[{"id":2.5,"description":"Second","fadeLength":1.5,"outputStates":[)" +
           state("clear://") + "," + state("media/still.png") + R"(]},)" +
           R"({"id":1,"description":"First","fadeLength":0,"outputStates":[)" + state("grid://") +
           "," + state("media/movie.webm") + "]}" + extraCue + "]}";
}

// `text` with its first `from` replaced by `to`.
std::string replaced(std::string text, const std::string& from, const std::string& to) {
    const std::size_t at = text.find(from);
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

// The two-cue show with generators where its media files were: a show put
// on stage here with no player decoding on threads of its own.
std::string generatorShow() {
    return replaced(replaced(twoCueShow(), "media/movie.webm", "grid://"), "media/still.png",
                    "black://");
}

// Thumbnail lookups that record what they were asked for, and can be held
// until the test lets them go.
class ThumbnailProbe {
public:
    void lookUp(const MediaURL& url) {
        std::unique_lock lock(mutex_);
        urls_.push_back(url.path());
        threads_.insert(std::this_thread::get_id());
        entered_.notify_all();
        changed_.wait(lock, [this] { return !held_; });
    }
    void hold() {
        std::lock_guard lock(mutex_);
        held_ = true;
    }
    void release() {
        std::lock_guard lock(mutex_);
        held_ = false;
        changed_.notify_all();
    }
    bool waitForLookup() {
        std::unique_lock lock(mutex_);
        return entered_.wait_for(lock, 10s, [this] { return !urls_.empty(); });
    }
    std::vector<std::string> urls() const {
        std::lock_guard lock(mutex_);
        return urls_;
    }
    std::size_t threadCount() const {
        std::lock_guard lock(mutex_);
        return threads_.size();
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable entered_;
    std::condition_variable changed_;
    bool held_ = false;
    std::vector<std::string> urls_;
    std::set<std::thread::id> threads_;
};

class ShowTest : public test::EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        makeShow(1);
    }
    void TearDown() override {
        probe_.release();
        show_.reset();
        EngineTest::TearDown();
    }

    void makeShow(std::size_t thumbnailWorkers) {
        show_.reset();
        show_ = std::make_unique<Show>(Show::Parts{
            *engine_, stack_, status_, MainQueue::shared(),
            [this](const MediaURL& url) { probe_.lookUp(url); }, nullptr, thumbnailWorkers});
    }

    // Writes a show file (with its media); the next loads read it.
    std::string writeShow(const std::string& json, const std::string& name = "show.bwshow") {
        dir_.write("media/still.png", "not really a picture");
        dir_.write("media/movie.webm", "not really a movie");
        path_ = dir_.write(name, json).string();
        return path_;
    }

    // Loads `path` (the last show written without one) and waits for the
    // load's "ShowDidLoad".
    void loadAndWait(std::optional<std::string> path = std::nullopt) {
        show_->load(path.value_or(path_));
        waitForLoad();
    }
    void waitForLoad() {
        ASSERT_TRUE(MainQueue::shared().pumpUntil([this] { return !show_->isLoading(); }, 20s));
    }

    std::vector<std::string> outputNames() const {
        std::vector<std::string> names;
        for (const auto& output : engine_->outputs()) names.push_back(output->name());
        return names;
    }

    void expectEmptyShow() const {
        EXPECT_TRUE(engine_->outputs().empty());
        EXPECT_TRUE(stack_.cues().empty());
        EXPECT_FALSE(engine_->nextCue().has_value());
        ASSERT_TRUE(engine_->currentCue().has_value());
        EXPECT_EQ(engine_->currentCue()->description, "Alignment Grid");
    }

    test::TempDir dir_;
    std::string path_;
    ThumbnailProbe probe_;
    std::unique_ptr<Show> show_;
};

TEST_F(ShowTest, ResetGivesAnEmptyCleanUntitledShowAndEndsWithDidLoad) {
    addOutputs(2);
    stack_.addCue(1.0);
    show_->setFileURL(dir_.path() / "old.bwshow");
    ASSERT_TRUE(show_->isDirty());

    test::ShowNotificationLog log(center_);
    show_->reset();

    expectEmptyShow();
    EXPECT_FALSE(show_->isDirty());
    EXPECT_FALSE(show_->fileURL().has_value());
    EXPECT_EQ(log.entries, (std::vector<Entry>{kClean, kDidLoad}));

    // From clean, the engine reset and the emptied stack mark the show on the
    // way; the last flag posted before "ShowDidLoad" is still false.
    show_->reset();
    EXPECT_EQ(log.entries, (std::vector<Entry>{kClean, kDidLoad, kDirty, kClean, kDidLoad}));
}

TEST_F(ShowTest, LoadFromCleanInstallsTheShowInFileOrder) {
    const std::string path = writeShow(twoCueShow());
    test::ShowNotificationLog log(center_);
    loadAndWait();

    EXPECT_EQ(log.entries, (std::vector<Entry>{kWillLoad, kDirty, kClean, kDidLoad}));
    EXPECT_EQ(outputNames(), (std::vector<std::string>{"Stage", "Foyer"}));
    EXPECT_EQ(engine_->outputs()[1]->pixelSize(), (PixelSize{4, 2}));
    EXPECT_EQ(stack_.cueIDs(), (std::vector<double>{2.5, 1.0}));
    ASSERT_TRUE(engine_->nextCue().has_value());
    EXPECT_EQ(engine_->nextCue()->id, 2.5);
    EXPECT_EQ(engine_->nextCue()->description, "Second");
    EXPECT_FALSE(show_->isDirty());
    EXPECT_EQ(show_->fileURL(), path);
    EXPECT_FALSE(show_->loadFailure().has_value());
    // Media files only, each once, in the order the cues name them.
    EXPECT_EQ(probe_.urls(), (std::vector<std::string>{(dir_ / "media/still.png").string(),
                                                       (dir_ / "media/movie.webm").string()}));
}

// Verifies that shutting down leaves nothing playing or publishing and no
// delegate to call, and that a load already handed over installs before.
TEST_F(ShowTest, ShutDownStopsPlaybackAfterALoadHandedOver) {
    writeShow(twoCueShow());
    show_->load(path_);
    show_->loadQueue().waitUntilAllOperationsAreFinished();  // handed to the main queue
    test::ShowNotificationLog log(center_);
    EXPECT_TRUE(show_->shutDown());
    EXPECT_FALSE(show_->isLoading());
    EXPECT_NE(std::find(log.entries.begin(), log.entries.end(), kDidLoad), log.entries.end())
        << "the handed-over load ended first";
    EXPECT_EQ(engine_->delegate(), nullptr);
    EXPECT_TRUE(engine_->outputs().empty());
}

TEST_F(ShowTest, AShowWithoutCuesLeavesNothingNext) {
    writeShow(R"({"config":[{"name":"Stage","width":8,"height":6}],"cues":[]})");
    loadAndWait();
    EXPECT_EQ(outputNames(), (std::vector<std::string>{"Stage"}));
    EXPECT_FALSE(engine_->nextCue().has_value());
    EXPECT_FALSE(show_->isDirty());
}

// Verifies that a show that fails to load leaves the show in place as it
// was: untitled and empty from the start, or loaded, on stage, modified.
TEST_F(ShowTest, AFailedLoadLeavesTheShowInPlaceAndSaysWhy) {
    const std::string bad = writeShow(R"({"config":[{"name":"Stage","width":8,"height":6}],)"
                                      R"("cues":[{"id":1,"outputStates":[]}]})",
                                      "bad.bwshow");
    test::ShowNotificationLog log(center_);
    loadAndWait();
    EXPECT_EQ(log.entries, (std::vector<Entry>{kWillLoad, kDidLoad}));
    expectEmptyShow();
    EXPECT_FALSE(show_->isDirty());
    ASSERT_TRUE(show_->loadFailure().has_value());
    EXPECT_NE(show_->loadFailure()->find("fadeLength"), std::string::npos) << *show_->loadFailure();
    // Nothing was loaded: a save has nowhere to go, least of all the file
    // that failed.
    EXPECT_FALSE(show_->fileURL().has_value());
    std::string failure;
    EXPECT_FALSE(show_->save(&failure));
    EXPECT_TRUE(probe_.urls().empty());

    const std::string good = writeShow(generatorShow());
    loadAndWait();
    engine_->go();
    stack_.setDescription(0, "Edited");
    const auto outputs = engine_->outputs();
    const std::vector<Cue> cues = stack_.cues();
    log.entries.clear();
    loadAndWait(bad);
    EXPECT_EQ(log.entries, (std::vector<Entry>{kWillLoad, kDidLoad}));
    EXPECT_TRUE(show_->loadFailure().has_value());
    EXPECT_EQ(engine_->outputs(), outputs);
    EXPECT_EQ(stack_.cues(), cues);
    ASSERT_TRUE(engine_->currentCue().has_value());
    EXPECT_EQ(engine_->currentCue()->id, 2.5);
    EXPECT_EQ(show_->fileURL(), good);
    EXPECT_TRUE(show_->isDirty());
    ASSERT_TRUE(show_->save(&failure)) << failure;
    EXPECT_NE(test::readFile(good).find("Edited"), std::string::npos);
}

// Loads that find no show at all end the same way as a decode failure,
// with "ShowDidLoad" and a reason, rather than leaving the loading sheet up.
TEST_F(ShowTest, LoadsThatFindNoShowEndWithDidLoadAndAReason) {
    const std::map<std::string, std::string> cases = {
        {"not JSON", "{"},
        {"not an object", "[1,2]"},
        {"no cues", R"({"config":[]})"},
        {"cues of the wrong kind", R"({"config":[],"cues":{}})"},
    };
    for (const auto& [what, json] : cases) {
        SCOPED_TRACE(what);
        const std::string path = writeShow(json);
        test::ShowNotificationLog log(center_);
        loadAndWait();
        EXPECT_EQ(log.entries.back(), kDidLoad);
        ASSERT_TRUE(show_->loadFailure().has_value());
        EXPECT_NE(show_->loadFailure()->find("not a show"), std::string::npos);
        EXPECT_FALSE(show_->fileURL().has_value());
        EXPECT_EQ(test::readFile(path), json);
    }

    loadAndWait((dir_ / "missing.bwshow").string());
    ASSERT_TRUE(show_->loadFailure().has_value());
    EXPECT_NE(show_->loadFailure()->find("cannot be read"), std::string::npos);

    // Larger than memory: refused before anything is read (sparse, so no disk).
    const std::filesystem::path huge = dir_.write("huge.bwshow", "");
    std::filesystem::resize_file(huge, std::uintmax_t{64} << 30);
    loadAndWait(huge.string());
    EXPECT_EQ(show_->loadFailure(), huge.string() + " is not a show: too large");

    test::ShowNotificationLog log(center_);
    show_->reload();
    waitForLoad();
    EXPECT_EQ(log.entries, (std::vector<Entry>{kWillLoad, kDidLoad}));
    EXPECT_EQ(show_->loadFailure(), "the show has no file location");
    expectEmptyShow();
}

// Verifies that a cancelled load leaves the show in place as it was: the
// same outputs (still publishing), cues, cue on stage and location.
TEST_F(ShowTest, CancellingDuringTheThumbnailsKeepsTheShowInPlace) {
    const std::string first = writeShow(generatorShow(), "first.bwshow");
    loadAndWait();
    engine_->go();
    const auto outputs = engine_->outputs();
    writeShow(R"({"config":[{"name":"Other","width":8,"height":6}],"cues":[]})", "other.bwshow");
    probe_.hold();
    const std::size_t lookups = probe_.urls().size();
    test::ShowNotificationLog log(center_);
    writeShow(twoCueShow(), "second.bwshow");
    show_->load(path_);
    ASSERT_TRUE(MainQueue::shared().pumpUntil([&] { return probe_.urls().size() > lookups; }, 20s));

    show_->cancelLoad();
    probe_.release();
    show_->loadQueue().waitUntilAllOperationsAreFinished();
    MainQueue::shared().pumpUntil([] { return false; }, 100ms);

    EXPECT_EQ(log.entries, (std::vector<Entry>{kWillLoad, kDidLoad}));
    EXPECT_TRUE(show_->loadCancelled());
    EXPECT_EQ(engine_->outputs(), outputs);
    EXPECT_EQ(stack_.cueIDs(), (std::vector<double>{2.5, 1.0}));
    ASSERT_TRUE(engine_->currentCue().has_value());
    EXPECT_EQ(engine_->currentCue()->id, 2.5);
    EXPECT_EQ(show_->fileURL(), first);
    EXPECT_FALSE(show_->isDirty());
    EXPECT_FALSE(show_->isLoading());
    // The remaining lookups were skipped once the load was cancelled.
    EXPECT_EQ(probe_.urls().size(), lookups + 1);
}

TEST_F(ShowTest, ASecondLoadSupersedesOneStillRunning) {
    writeShow(twoCueShow(), "first.bwshow");
    probe_.hold();
    test::ShowNotificationLog log(center_);
    show_->load(path_);
    ASSERT_TRUE(probe_.waitForLookup());

    const std::string second =
        writeShow(R"({"config":[{"name":"Second","width":8,"height":6}],"cues":[]})", "second.bwshow");
    show_->load(path_);
    probe_.release();
    ASSERT_TRUE(MainQueue::shared().pumpUntil([this] { return !show_->isLoading(); }, 20s));
    MainQueue::shared().pumpUntil([] { return false; }, 100ms);

    EXPECT_EQ(outputNames(), (std::vector<std::string>{"Second"}));
    EXPECT_EQ(show_->fileURL(), second);
    EXPECT_EQ(log.entries, (std::vector<Entry>{kWillLoad, kWillLoad, kDirty, kClean, kDidLoad}));
}

// Verifies what loading the show's own file again keeps: with as many
// outputs, the outputs themselves (renamed and resized as the file says) and
// the cue on stage, read again by its ID; with other outputs, or from
// another file, the alignment grid on new outputs.
TEST_F(ShowTest, AReloadKeepsTheOutputsAndTheCueOnStage) {
    struct Case {
        const char* name;
        std::string json;
        bool sameFile;
        bool keeps;
    };
    const std::string edited =
        replaced(replaced(generatorShow(), R"("Second")", R"("Second, edited")"),
                 R"("name":"Foyer","width":4)", R"("name":"Lobby","width":6)");
    const std::string oneOutput =
        R"({"config":[{"name":"Stage","width":8,"height":6}],"cues":[{"id":2.5,"fadeLength":0,)"
        R"("description":"Second, edited","outputStates":[)" +
        state("black://") + "]}]}";
    const std::vector<Case> cases = {
        {"same outputs", edited, true, true},
        {"one output fewer", oneOutput, true, false},
        {"another file", edited, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        show_->reset();
        writeShow(generatorShow());
        loadAndWait();
        engine_->go();
        const auto outputs = engine_->outputs();
        writeShow(c.json, c.sameFile ? "show.bwshow" : "other.bwshow");
        if (c.sameFile) {
            show_->reload();
            waitForLoad();
        } else {
            loadAndWait();
        }

        EXPECT_FALSE(show_->loadFailure().has_value());
        EXPECT_EQ(show_->fileURL(), path_);
        EXPECT_FALSE(show_->isDirty());
        EXPECT_EQ(engine_->outputs() == outputs, c.keeps);
        EXPECT_EQ(engine_->showsAlignmentGrid(), !c.keeps);
        if (!c.keeps) continue;
        EXPECT_EQ(outputNames(), (std::vector<std::string>{"Stage", "Lobby"}));
        EXPECT_EQ(engine_->outputs()[1]->pixelSize(), (PixelSize{6, 2}));
        ASSERT_TRUE(engine_->currentCue().has_value());
        EXPECT_EQ(engine_->currentCue()->description, "Second, edited");
        ASSERT_TRUE(engine_->nextCue().has_value());
        EXPECT_EQ(engine_->nextCue()->id, 1.0);
    }
}

// Verifies that a load superseded or cancelled after it handed its result to
// the main thread changes nothing: no install, no notification, and neither
// the newer load's file location nor its loading guard is touched.
TEST_F(ShowTest, ResultsOfSupersededOrCancelledLoadsChangeNothing) {
    // A load whose file fails to decode has handed over its failure when a
    // reload of a good file starts; the reload is still making thumbnails.
    writeShow(R"({"config":[],"cues":[{"id":1,"outputStates":[]}]})", "bad.bwshow");
    show_->load(path_);
    show_->loadQueue().waitUntilAllOperationsAreFinished();
    const std::string good = writeShow(twoCueShow());
    probe_.hold();
    test::ShowNotificationLog log(center_);
    show_->load(path_);
    ASSERT_TRUE(probe_.waitForLookup());
    MainQueue::shared().pumpUntil([] { return false; }, 100ms);

    EXPECT_TRUE(show_->isLoading());
    EXPECT_FALSE(show_->loadFailure().has_value());
    EXPECT_EQ(show_->loadingURL(), good);
    EXPECT_FALSE(show_->fileURL().has_value());

    probe_.release();
    ASSERT_TRUE(MainQueue::shared().pumpUntil([this] { return !show_->isLoading(); }, 20s));
    EXPECT_EQ(log.entries, (std::vector<Entry>{kWillLoad, kDirty, kClean, kDidLoad}));
    std::string failure;
    EXPECT_EQ(outputNames(), (std::vector<std::string>{"Stage", "Foyer"}));
    EXPECT_EQ(show_->fileURL(), good);
    EXPECT_TRUE(show_->save(&failure)) << failure;

    // A cancel that arrives after the load handed over its show.
    const auto outputs = engine_->outputs();
    show_->load(path_);
    show_->loadQueue().waitUntilAllOperationsAreFinished();
    show_->cancelLoad();
    MainQueue::shared().pumpUntil([] { return false; }, 100ms);
    EXPECT_EQ(engine_->outputs(), outputs);
    EXPECT_EQ(show_->fileURL(), good);
    EXPECT_FALSE(show_->isLoading());
    EXPECT_FALSE(show_->isDirty());
}

// Verifies that an exception inside the load operation, on its own thread or
// on a thumbnail helper, ends the load as a failure that says why, so that
// the show does not stay "loading" for good.
TEST_F(ShowTest, AnExceptionInsideALoadEndsItAsAFailedLoad) {
    writeShow(twoCueShow());
    for (const std::size_t workers : {1u, 3u}) {
        SCOPED_TRACE(workers);
        show_ = std::make_unique<Show>(Show::Parts{
            *engine_, stack_, status_, MainQueue::shared(),
            [](const MediaURL&) { throw std::runtime_error("the thumbnail cache is full"); },
            nullptr, workers});
        test::ShowNotificationLog log(center_);
        loadAndWait((dir_ / "show.bwshow").string());

        EXPECT_EQ(log.entries.back(), kDidLoad);
        ASSERT_TRUE(show_->loadFailure().has_value());
        EXPECT_NE(show_->loadFailure()->find("the thumbnail cache is full"), std::string::npos)
            << *show_->loadFailure();
        expectEmptyShow();
        std::string failure;
        EXPECT_FALSE(show_->save(&failure));
        EXPECT_EQ(failure, "the show has no file location");
    }
}

// Verifies that show paths through symbolic links name the file the system
// opens: ".." after a linked folder climbs out of the folder the link points
// at, while a link to the show file itself is kept, with its media found
// beside the link and the link's path saved as "show".
TEST_F(ShowTest, ShowPathsThroughSymbolicLinksResolveAsTheSystemDoes) {
    namespace fs = std::filesystem;
    const fs::path base = fs::canonical(dir_.path());
    const std::string decoy = R"({"config":[],"cues":[]})";
    dir_.write("show.bwshow", decoy);
    const std::string real = dir_.write("real/show.bwshow", twoCueShow()).string();
    dir_.write("real/media/still.png", "x");
    fs::create_directories(dir_ / "real/deep");
    fs::create_directory_symlink(dir_ / "real/deep", dir_ / "linkdir");

    show_->setFileURL((dir_ / "linkdir/../show.bwshow").string());
    EXPECT_EQ(show_->fileURL(), (base / "real/show.bwshow").string());
    loadAndWait((dir_ / "linkdir/../show.bwshow").string());
    EXPECT_EQ(show_->fileURL(), (base / "real/show.bwshow").string());
    EXPECT_EQ(outputNames(), (std::vector<std::string>{"Stage", "Foyer"}));
    EXPECT_EQ(stack_.cues().at(0).outputStates.at(1).mediaURL.path(),
              (base / "real/media/still.png").string());
    stack_.setDescription(0, "Saved through the link");
    std::string failure;
    ASSERT_TRUE(show_->save(&failure)) << failure;
    EXPECT_NE(test::readFile(real).find("Saved through the link"), std::string::npos);
    EXPECT_EQ(test::readFile(dir_ / "show.bwshow"), decoy);

    dir_.write("stage/media/still.png", "x");
    fs::create_symlink(real, dir_ / "stage/show.bwshow");
    const std::string link = (base / "stage/show.bwshow").string();
    loadAndWait(link);
    EXPECT_EQ(show_->fileURL(), link);
    EXPECT_EQ(stack_.cues().at(0).outputStates.at(1).mediaURL.path(),
              (base / "stage/media/still.png").string());
    ASSERT_TRUE(show_->save(&failure)) << failure;
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(ShowFile::decode(test::readFile(real), real).savedLocation, link);
}

TEST_F(ShowTest, ParallelThumbnailsLookUpEveryFileOnceOnSeveralThreads) {
    makeShow(4);
    std::string cues;
    std::set<std::string> expected;
    for (int i = 0; i < 40; ++i) {
        // Each file twice, and a generator that has no thumbnail to make.
        const std::string media = "media/" + std::to_string(i % 20) + ".png";
        expected.insert((dir_ / media).string());
        cues += R"(,{"id":)" + std::to_string(i + 10) + R"(,"fadeLength":1,"outputStates":[)" +
                state(media) + "," + state("black://") + "]}";
    }
    writeShow(twoCueShow(cues));
    probe_.hold();
    show_->load(path_);
    ASSERT_TRUE(probe_.waitForLookup());
    // Let several workers reach the probe before any lookup ends.
    std::this_thread::sleep_for(100ms);
    probe_.release();
    ASSERT_TRUE(MainQueue::shared().pumpUntil([this] { return !show_->isLoading(); }, 20s));

    const std::vector<std::string> urls = probe_.urls();
    const std::set<std::string> distinct(urls.begin(), urls.end());
    EXPECT_EQ(urls.size(), distinct.size());
    expected.insert((dir_ / "media/still.png").string());
    expected.insert((dir_ / "media/movie.webm").string());
    EXPECT_EQ(distinct, expected);
    EXPECT_GT(probe_.threadCount(), 1u);
    EXPECT_EQ(stack_.cues().size(), 42u);
}

TEST_F(ShowTest, SaveThenEditThenSaveWritesEachStateAndClearsTheFlag) {
    const std::string path = writeShow(twoCueShow());
    loadAndWait();
    stack_.setDescription(0, "Renamed");
    stack_.setDescription(1, "Renamed again");
    ASSERT_TRUE(show_->isDirty());

    test::ShowNotificationLog log(center_);
    std::string failure;
    ASSERT_TRUE(show_->save(&failure)) << failure;
    EXPECT_FALSE(show_->isDirty());
    DecodedShow saved = ShowFile::decode(test::readFile(path), path);
    ASSERT_EQ(saved.status, DecodedShow::Status::Decoded);
    EXPECT_EQ(saved.cues, stack_.cues());
    EXPECT_EQ(saved.outputs, (std::vector<OutputConfig>{{"Stage", 8, 6}, {"Foyer", 4, 2}}));
    EXPECT_EQ(saved.savedLocation, path);

    for (int k = 0; k < 10; ++k) stack_.setFadeLength(0, k);
    ASSERT_TRUE(show_->save());
    saved = ShowFile::decode(test::readFile(path), path);
    EXPECT_EQ(saved.cues.at(0).fadeLength, 9.0);
    EXPECT_EQ(log.entries, (std::vector<Entry>{kClean, kDirty, kClean}));
}

// Verifies that an output's screen choice is saved and comes back with the
// show, and that choosing the screen an output already has leaves it clean.
TEST_F(ShowTest, ScreenChoicesAreSavedAndLoadedBack) {
    const std::string path = writeShow(twoCueShow());
    loadAndWait();
    engine_->setOutputScreen(1, std::nullopt);
    EXPECT_FALSE(show_->isDirty());
    const ScreenChoice projector{"DP-1", "Beamer", "SN 7"};
    engine_->setOutputScreen(1, projector);
    EXPECT_TRUE(show_->isDirty());

    std::string failure;
    ASSERT_TRUE(show_->save(&failure)) << failure;
    const DecodedShow saved = ShowFile::decode(test::readFile(path), path);
    ASSERT_EQ(saved.status, DecodedShow::Status::Decoded);
    EXPECT_EQ(saved.outputs,
              (std::vector<OutputConfig>{{"Stage", 8, 6}, {"Foyer", 4, 2, projector}}));

    show_->reset();
    loadAndWait(path);
    ASSERT_EQ(engine_->outputs().size(), 2u);
    EXPECT_FALSE(engine_->outputs()[0]->screen().has_value());
    EXPECT_EQ(engine_->outputs()[1]->screen(), projector);
    EXPECT_FALSE(show_->isDirty());
}

TEST_F(ShowTest, SaveAsWritesTheNewLocationAndLaterSavesGoThere) {
    const std::string original = writeShow(twoCueShow());
    loadAndWait();
    const std::string before = test::readFile(original);

    // Save-as into another folder: media paths are written from there.
    const std::string copy = (dir_ / "elsewhere" / "copy.bwshow").string();
    std::filesystem::create_directories(dir_ / "elsewhere");
    show_->setFileURL(copy);
    ASSERT_TRUE(show_->save());
    stack_.setDescription(0, "Changed after save-as");
    ASSERT_TRUE(show_->save());

    EXPECT_EQ(test::readFile(original), before);
    const DecodedShow saved = ShowFile::decode(test::readFile(copy), copy);
    ASSERT_EQ(saved.status, DecodedShow::Status::Decoded);
    EXPECT_EQ(saved.cues.at(0).description, "Changed after save-as");
    EXPECT_NE(test::readFile(copy).find(R"("mediaPath":"../media/still.png")"), std::string::npos);
    EXPECT_EQ(saved.cues, stack_.cues());
}

TEST_F(ShowTest, AFailedSaveKeepsTheShowDirtyAndTheFileAsItWas) {
    const std::string path = writeShow(twoCueShow());
    loadAndWait();
    const std::string before = test::readFile(path);

    // A cue ID that JSON cannot hold.
    stack_.setCueID(0, std::numeric_limits<double>::quiet_NaN());
    std::string failure;
    EXPECT_FALSE(show_->save(&failure));
    EXPECT_NE(failure.find("cannot be written"), std::string::npos) << failure;
    EXPECT_TRUE(show_->isDirty());
    EXPECT_EQ(test::readFile(path), before);

    // A write that fails: the folder named is a file.
    stack_.setCueID(1, 7.0);
    show_->setFileURL(path + "/inside.bwshow");
    failure.clear();
    EXPECT_FALSE(show_->save(&failure));
    EXPECT_FALSE(failure.empty());
    EXPECT_TRUE(show_->isDirty());

    show_->setFileURL(std::nullopt);
    EXPECT_FALSE(show_->save(&failure));
    EXPECT_EQ(failure, "the show has no file location");
    EXPECT_TRUE(show_->isDirty());
}

TEST_F(ShowTest, NoSaveWhileALoadRuns) {
    const std::string path = writeShow(generatorShow());
    loadAndWait();
    stack_.setDescription(0, "Not saved during the next load");
    const std::string before = test::readFile(path);
    probe_.hold();
    show_->load(writeShow(twoCueShow(), "next.bwshow"));
    std::string failure;
    EXPECT_FALSE(show_->save(&failure));
    EXPECT_EQ(failure, "a show is still loading");
    probe_.release();
    ASSERT_TRUE(MainQueue::shared().pumpUntil([this] { return !show_->isLoading(); }, 20s));
    EXPECT_EQ(test::readFile(path), before);
}

TEST_F(ShowTest, DiscardingChangesAsksOnlyWhenTheShowIsDirty) {
    int asked = 0;
    bool answer = false;
    show_->setConfirmationHandler([&] {
        ++asked;
        return answer;
    });
    EXPECT_TRUE(show_->confirmDiscardChanges());
    EXPECT_EQ(asked, 0);

    stack_.addCue(1.0);
    EXPECT_FALSE(show_->confirmDiscardChanges());
    answer = true;
    EXPECT_TRUE(show_->confirmDiscardChanges());
    EXPECT_EQ(asked, 2);

    // Without a window there is nobody to ask: go on.
    show_->setConfirmationHandler(nullptr);
    EXPECT_TRUE(show_->confirmDiscardChanges());
}

}  // namespace
}  // namespace bw
