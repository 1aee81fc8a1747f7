#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/MediaURL.h"
#include "platform/OperationQueue.h"
#include "show/ShowFile.h"

namespace bw {

class CueStack;
class MainQueue;
class MediaEngine;
class MediaOutput;
class ShowStatus;

// The question asked before unsaved changes are thrown away. The window
// shows it as a modal warning alert with the two buttons in this order.
struct DiscardChangesConfirmation {
    static constexpr std::string_view kMessageText =
        "The current show is unsaved. Are you sure you wish to continue?";
    static constexpr std::string_view kInformativeText =
        "All changes to the current show will be lost if you proceed.";
    static constexpr std::string_view kConfirmButton = "OK";
    static constexpr std::string_view kCancelButton = "Cancel";
};

// The show document: where the show lives on disk, whether it has unsaved
// changes, and starting afresh, loading and saving. It fills and empties the
// engine and the cue stack; it never replaces them.
//
// A load posts "ShowWillLoad", decodes the file and fills the thumbnail
// cache on a background operation, and installs the show on the main thread
// before posting "ShowDidLoad". Until it installs, the show in place stays
// as it is: on the outputs, in the stack, at its location, modified or not.
// Every load ends with "ShowDidLoad": installed, failed (loadFailure() says
// why; the show in place is untouched), or cancelled (cancelLoad(); the show
// in place is untouched). A load superseded by a later load() or ended by
// reset() or cancelLoad() changes nothing after that, even when its result
// had already been handed to the main thread; an exception inside the load
// operation fails the load.
//
// A load of the file the show was loaded from or saved to (a reload) whose
// outputs are as many as before keeps the outputs (they take the file's
// names, sizes and screens) and the cue on stage, read again from the file
// by its ID, with its players where their media is unchanged; any other
// load puts the alignment grid on new outputs.
//
// Threads: main thread only, except what the load operation does on its own
// thread (decoding and thumbnails, which touch neither the engine nor the
// stack). The destructor cancels and waits for a running load.
class Show {
public:
    // Builds one output of a loaded show; main thread.
    using OutputFactory =
        std::function<std::shared_ptr<MediaOutput>(const std::string& name, int width, int height)>;
    // Looks up the thumbnail of one media file, to have it cached; any thread.
    using ThumbnailLookup = std::function<void(const MediaURL& url)>;
    // Answers the discard-changes question: true to continue.
    using ConfirmationHandler = std::function<bool()>;

    struct Parts {
        MediaEngine& engine;
        CueStack& stack;
        ShowStatus& status;
        MainQueue& mainQueue;
        ThumbnailLookup lookUpThumbnail;
        // Null: outputs publishing on the process's PipeWire connection.
        OutputFactory makeOutput;
        // Threads filling the thumbnail cache during a load; 0: one per core.
        std::size_t thumbnailWorkers = 0;
    };

    // The process's show document on the shared engine, stack, status,
    // main queue and thumbnail cache (Thumbnail::shared()); created on first use (main thread) and
    // never destroyed.
    static Show& shared();

    explicit Show(Parts parts);
    ~Show();
    Show(const Show&) = delete;
    Show& operator=(const Show&) = delete;

    // The show file's absolute path; none for a show never saved or loaded.
    const std::optional<std::string>& fileURL() const { return fileURL_; }
    // A relative path is taken from the working folder; the folder is
    // resolved through the file system and the file name kept as given
    // (ShowFile::absoluteShowPath).
    void setFileURL(std::optional<std::string> path);

    bool isDirty() const;
    // Locked for the performance (see ShowStatus); loads and resets keep it.
    bool isLocked() const;
    void setLocked(bool locked);
    OperationQueue& loadQueue() { return loadQueue_; }
    // From load() until its "ShowDidLoad".
    bool isLoading() const { return loading_; }

    // The window installs the alert here. Without a handler the answer is to
    // continue.
    void setConfirmationHandler(ConfirmationHandler handler);
    // True at once when the show has no unsaved changes; otherwise what the
    // handler answers.
    bool confirmDiscardChanges();

    // An empty, untitled, clean show with no outputs; posts "ShowDidLoad".
    // A load still running is cancelled and its result dropped.
    void reset();
    // Loads the show at `path` (made absolute as setFileURL() does); returns
    // at once. A load still running is cancelled first and its result
    // dropped.
    void load(const std::string& path);
    // Loads the show's own file again; without a file location the load
    // fails.
    void reload();
    // Cancels a running load, leaving the show in place as it is, and posts
    // "ShowDidLoad"; nothing without a running load.
    void cancelLoad();
    // The file a running load reads; none while no load runs.
    const std::optional<std::string>& loadingURL() const { return loadingURL_; }
    // Whether the last load ended by cancelLoad(); false once another starts.
    bool loadCancelled() const { return loadCancelled_; }
    // Why the last load installed nothing; none after one that did, and
    // while a load runs.
    const std::optional<std::string>& loadFailure() const { return loadFailure_; }

    // Writes the show to fileURL() atomically and marks it saved. On failure
    // (no file location, a load running, a show that cannot be encoded, a
    // write that fails) nothing changes, the show stays dirty, and `failure`
    // (when given) says why.
    bool save(std::string* failure = nullptr);
    // The show's settings (what GO does after the last cue, the Panic fade):
    // read from the file with the show, saved with it, the defaults after a
    // reset. A change is applied to the engine at once and marks the show
    // modified.
    const ShowSettings& settings() const { return settings_; }
    void setSettings(const ShowSettings& settings);

    // One thumbnail worker per core of the machine.
    static std::size_t defaultThumbnailWorkers();

    // Ends playback for good, before the process exits: a load still running
    // is abandoned (one already handed over installs first, so that nothing
    // arrives after the outputs are gone), the engine's delegate is dropped,
    // its display link stopped and its outputs removed (withdrawing what they
    // publish), then movie pipelines get `pipelineWait` to stop. False, with
    // one log line, when some did not: the process may exit without them.
    bool shutDown(std::chrono::milliseconds pipelineWait = std::chrono::seconds(2));

private:
    // Gives the engine the settings' end-of-show rule and Panic length.
    void applySettings();
    // What a load operation hands to the main thread: a show to install, or
    // why there is none.
    struct LoadResult {
        DecodedShow show;
        std::optional<std::string> failure;
    };

    // Load work on the operation's thread; none when cancelled. May throw:
    // the operation turns an exception into a failed load.
    std::optional<LoadResult> runLoad(const std::optional<std::string>& path,
                                      const Operation& operation) const;
    static LoadResult failedLoad(const std::optional<std::string>& path, std::string_view reason);
    // Fills the thumbnail cache with every media file of `cues`.
    void prefillThumbnails(const std::vector<Cue>& cues, const Operation& operation) const;
    // Starts a load of `path`; none: the load fails for want of a location.
    void startLoad(std::optional<std::string> path);
    // Main thread: installs or reports the result of load number
    // `generation`; drops it unseen when a later load(), reset() or
    // cancelLoad() came since.
    void finishLoad(std::uint64_t generation, LoadResult result);
    // Builds the outputs `configs` name; throws when one cannot be made.
    std::vector<std::shared_ptr<MediaOutput>> makeOutputs(
        const std::vector<OutputConfig>& configs) const;
    // A reload: the present outputs take `configs` in place, the stack the
    // new cues, and the engine reads its cues again by ID.
    void reloadInPlace(DecodedShow show);
    std::vector<OutputConfig> outputConfigs() const;

    MediaEngine& engine_;
    CueStack& stack_;
    ShowStatus& status_;
    MainQueue& mainQueue_;
    ThumbnailLookup lookUpThumbnail_;
    OutputFactory makeOutput_;
    std::size_t thumbnailWorkers_;
    ConfirmationHandler confirmationHandler_;

    std::optional<std::string> fileURL_;
    std::optional<std::string> loadingURL_;
    std::optional<std::string> loadFailure_;
    ShowSettings settings_;
    bool loading_ = false;
    bool loadCancelled_ = false;
    // Counts loads, resets and cancels; a load's result installs only while
    // its own number is still the latest. Main thread only.
    std::uint64_t loadGeneration_ = 0;
    OperationQueue loadQueue_;
    // Work posted to the main queue checks that the show still exists.
    std::shared_ptr<Show*> alive_;
};

}  // namespace bw
