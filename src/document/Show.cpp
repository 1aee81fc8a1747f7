#include "document/Show.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

#include "engine/MediaEngine.h"
#include "engine/MediaOutput.h"
#include "media/AudioOutput.h"
#include "media/Thumbnail.h"
#include "media/VideoPlayer.h"
#include "platform/AtomicFile.h"
#include "platform/MainQueue.h"
#include "platform/SystemLog.h"
#include "render/DisplayLink.h"
#include "show/CueStack.h"
#include "show/ShowStatus.h"

namespace bw {

Show& Show::shared() {
    static Show* show = new Show(Parts{
        MediaEngine::sharedEngine(), CueStack::shared(), ShowStatus::shared(), MainQueue::shared(),
        [](const MediaURL& url) { Thumbnail::shared().thumbnailForURL(url); }, nullptr, 0});
    return *show;
}

Show::Show(Parts parts)
    : engine_(parts.engine),
      stack_(parts.stack),
      status_(parts.status),
      mainQueue_(parts.mainQueue),
      lookUpThumbnail_(std::move(parts.lookUpThumbnail)),
      makeOutput_(std::move(parts.makeOutput)),
      thumbnailWorkers_(parts.thumbnailWorkers > 0 ? parts.thumbnailWorkers
                                                   : defaultThumbnailWorkers()),
      alive_(std::make_shared<Show*>(this)) {
    if (!makeOutput_) {
        makeOutput_ = [](const std::string& name, int width, int height) {
            return std::make_shared<MediaOutput>(name, width, height);
        };
    }
}

Show::~Show() {
    loadQueue_.cancelAllOperations();
    loadQueue_.waitUntilAllOperationsAreFinished();
}

std::size_t Show::defaultThumbnailWorkers() {
    return std::max(1u, std::thread::hardware_concurrency());
}

void Show::setFileURL(std::optional<std::string> path) {
    if (path && !path->empty()) {
        path = ShowFile::absoluteShowPath(*path);
    } else {
        path.reset();
    }
    fileURL_ = std::move(path);
}

bool Show::isDirty() const {
    return status_.isDirty();
}

bool Show::isLocked() const {
    return status_.isLocked();
}

void Show::setLocked(bool locked) {
    // Locking or unlocking stops a running chain of cues.
    if (locked != status_.isLocked()) engine_.stopChain();
    status_.setLocked(locked);
}

void Show::setConfirmationHandler(ConfirmationHandler handler) {
    confirmationHandler_ = std::move(handler);
}

bool Show::confirmDiscardChanges() {
    if (!isDirty()) return true;
    return confirmationHandler_ ? confirmationHandler_() : true;
}

void Show::reset() {
    // Whatever a running load produces is no longer wanted.
    loadQueue_.cancelAllOperations();
    ++loadGeneration_;
    fileURL_.reset();
    loadingURL_.reset();
    loadFailure_.reset();
    loading_ = false;
    loadCancelled_ = false;
    engine_.resetOutputs();
    engine_.resetFrameStatistics();
    stack_.replaceCues({});
    settings_ = ShowSettings{};
    applySettings();
    status_.setDirty(false);
    status_.postDidLoad();
}

void Show::applySettings() {
    engine_.setStopsAtEnd(settings_.atEnd == ShowSettings::AtEnd::Stop);
    engine_.setPanicSeconds(settings_.panicSeconds);
    engine_.setPictureBars(settings_.bars);
    AudioOutput::shared().setTarget(settings_.soundOutput);
}

void Show::setSettings(const ShowSettings& settings) {
    if (settings == settings_) return;
    settings_ = settings;
    applySettings();
    status_.setDirty(true);
}

void Show::load(const std::string& path) {
    startLoad(path.empty() ? std::nullopt
                           : std::optional<std::string>(ShowFile::absoluteShowPath(path)));
}

void Show::reload() {
    startLoad(fileURL_);
}

void Show::startLoad(std::optional<std::string> path) {
    // A new load supersedes one still running.
    loadQueue_.cancelAllOperations();
    const std::uint64_t generation = ++loadGeneration_;
    loadingURL_ = path;
    loading_ = true;
    loadCancelled_ = false;
    loadFailure_.reset();
    status_.postWillLoad();

    auto operation =
        std::make_shared<Operation>([this, path = std::move(path), generation,
                                     alive = std::weak_ptr<Show*>(alive_)](Operation& self) {
            std::optional<LoadResult> result;
            try {
                result = runLoad(path, self);
            } catch (const std::exception& error) {
                result = failedLoad(path, error.what());
            } catch (...) {
                result = failedLoad(path, "an unknown error");
            }
            if (!result) return;
            mainQueue_.post([alive, generation, result = std::move(*result)]() mutable {
                if (auto show = alive.lock()) (*show)->finishLoad(generation, std::move(result));
            });
        });
    operation->setQualityOfService(QualityOfService::UserInitiated);
    loadQueue_.add(std::move(operation));
}

void Show::cancelLoad() {
    if (!loading_) return;
    loadQueue_.cancelAllOperations();
    ++loadGeneration_;
    loading_ = false;
    loadCancelled_ = true;
    loadingURL_.reset();
    status_.postDidLoad();
}

Show::LoadResult Show::failedLoad(const std::optional<std::string>& path, std::string_view reason) {
    LoadResult result;
    result.failure = path.value_or("the show") + " cannot be loaded: " + std::string(reason);
    return result;
}

std::optional<Show::LoadResult> Show::runLoad(const std::optional<std::string>& path,
                                              const Operation& operation) const {
    LoadResult result;
    if (!path) {
        result.failure = "the show has no file location";
        return result;
    }
    const ShowFileBytes file = ShowFile::readFile(*path);
    switch (file.status) {
        case ShowFileBytes::Status::Unreadable:
            result.failure = *path + " cannot be read";
            return result;
        case ShowFileBytes::Status::TooLarge:
            result.failure = *path + " is not a show: too large";
            return result;
        case ShowFileBytes::Status::Read:
            break;
    }
    result.show = ShowFile::decode(file.bytes, *path);
    switch (result.show.status) {
        case DecodedShow::Status::NotAShow:
            result.failure = *path + " is not a show: " + result.show.failure;
            return result;
        case DecodedShow::Status::Failed:
            result.failure = *path + " does not load: " + result.show.failure;
            return result;
        case DecodedShow::Status::Decoded:
            break;
    }
    prefillThumbnails(result.show.cues, operation);
    if (operation.isCancelled()) return std::nullopt;
    return result;
}

void Show::prefillThumbnails(const std::vector<Cue>& cues, const Operation& operation) const {
    // Every media file once, in the order the cues name them; generators
    // have no thumbnail of their own to make.
    if (!lookUpThumbnail_) return;
    std::vector<MediaURL> files;
    std::set<std::string, std::less<>> seen;
    for (const Cue& cue : cues) {
        for (const MediaOutputState& state : cue.outputStates) {
            if (state.mediaURL.isFileURL() && seen.insert(state.mediaURL.path()).second) {
                files.push_back(state.mediaURL);
            }
        }
    }

    // A lookup that throws stops every worker; the first exception is
    // rethrown on the operation's thread once the helpers are joined, since
    // one escaping a helper thread would end the process.
    std::atomic<std::size_t> nextFile{0};
    std::atomic<bool> failed{false};
    std::mutex failureMutex;
    std::exception_ptr failure;
    auto work = [&] {
        try {
            for (std::size_t i = nextFile++; i < files.size(); i = nextFile++) {
                if (operation.isCancelled() || failed) return;
                lookUpThumbnail_(files[i]);
            }
        } catch (...) {
            std::lock_guard lock(failureMutex);
            if (!failure) failure = std::current_exception();
            failed = true;
        }
    };
    const std::size_t helpers = std::min(thumbnailWorkers_, files.size());
    {
        std::vector<std::jthread> threads;
        for (std::size_t k = 1; k < helpers; ++k) {
            threads.emplace_back(work);
        }
        work();
    }
    if (failure) std::rethrow_exception(failure);
}

void Show::finishLoad(std::uint64_t generation, LoadResult result) {
    // A load superseded by another, or ended by a reset or a cancel, touches
    // nothing: the newer load owns the location, the loading flag and the
    // failure.
    if (generation != loadGeneration_) return;
    const std::optional<std::string> path = std::exchange(loadingURL_, std::nullopt);
    loading_ = false;

    const bool reload = !result.failure && path == fileURL_ &&
                        result.show.outputs.size() == engine_.outputs().size();
    // The outputs are built before anything is installed, so that one that
    // cannot be made fails the load as a whole.
    std::vector<std::shared_ptr<MediaOutput>> outputs;
    if (!result.failure && !reload) {
        try {
            outputs = makeOutputs(result.show.outputs);
        } catch (const std::exception& error) {
            result = failedLoad(path, error.what());
        }
    }
    if (result.failure) {
        // The show in place stays as it was, modified or not, at its own
        // location: a later save writes it where it came from.
        loadFailure_ = std::move(result.failure);
        status_.postDidLoad();
        return;
    }

    fileURL_ = path;
    settings_ = result.show.settings;
    applySettings();
    if (reload) {
        reloadInPlace(std::move(result.show));
    } else {
        engine_.resetFrameStatistics();
        // The streams of the outputs going away give up their ports before
        // the new ones listen, on the same ports as like as not.
        for (const std::shared_ptr<MediaOutput>& output : engine_.outputs())
            output->setStream(std::nullopt, 0);
        engine_.loadOutputs(std::move(outputs));
        for (std::size_t j = 0; j < result.show.outputs.size(); ++j)
            engine_.setOutputStream(j, result.show.outputs[j].stream);
        std::vector<Cue> cues = std::move(result.show.cues);
        const std::optional<Cue> first =
            cues.empty() ? std::nullopt : std::optional<Cue>(cues.front());
        stack_.replaceCues(std::move(cues));
        if (first) engine_.loadNextCue(*first);
    }
    status_.setDirty(false);
    status_.postDidLoad();
}

std::vector<std::shared_ptr<MediaOutput>> Show::makeOutputs(
    const std::vector<OutputConfig>& configs) const {
    std::vector<std::shared_ptr<MediaOutput>> outputs;
    outputs.reserve(configs.size());
    for (const OutputConfig& config : configs) {
        outputs.push_back(makeOutput_(config.name, config.width, config.height));
        outputs.back()->setScreen(config.screen);
    }
    return outputs;
}

void Show::reloadInPlace(DecodedShow show) {
    // Each output keeps publishing (under the file's name, at its size), so
    // that what takes its frames stays connected.
    for (std::size_t j = 0; j < show.outputs.size(); ++j) {
        const OutputConfig& config = show.outputs[j];
        engine_.renameOutput(j, config.name);
        engine_.resizeOutput(j, config.width, config.height);
        engine_.setOutputScreen(j, config.screen);
        engine_.setOutputStream(j, config.stream);
    }
    stack_.replaceCues(std::move(show.cues));
    engine_.reloadCues();
}

bool Show::shutDown(std::chrono::milliseconds pipelineWait) {
    loadQueue_.cancelAllOperations();
    loadQueue_.waitUntilAllOperationsAreFinished();
    mainQueue_.drain();

    engine_.setDelegate(nullptr);
    if (DisplayLink* link = engine_.displayLink()) link->stop();
    engine_.resetOutputs();
    mainQueue_.drain();
    // A movie whose pipeline hangs is left behind rather than holding up the
    // exit.
    if (!VideoPlayer::waitForStoppedPipelines(pipelineWait)) {
        SystemLog::shared().log("Warning: a movie did not stop in time; quitting without it");
        return false;
    }
    return true;
}

std::vector<OutputConfig> Show::outputConfigs() const {
    std::vector<OutputConfig> configs;
    for (const auto& output : engine_.outputs()) {
        const PixelSize size = output->pixelSize();
        configs.push_back(OutputConfig{output->name(), size.width, size.height, output->screen(),
                                       output->stream()});
    }
    return configs;
}

bool Show::save(std::string* failure) {
    auto fail = [failure](std::string reason) {
        if (failure != nullptr) *failure = std::move(reason);
        return false;
    };
    if (!fileURL_) return fail("the show has no file location");
    if (loading_) return fail("a show is still loading");

    const EncodedShow encoded =
        ShowFile::encode(outputConfigs(), stack_.cues(), *fileURL_, settings_);
    if (!encoded.ok) return fail("the show cannot be written: " + encoded.failure);
    std::string writeFailure;
    if (!AtomicFile::write(*fileURL_, encoded.json, &writeFailure)) return fail(writeFailure);
    status_.setDirty(false);
    return true;
}

}  // namespace bw
