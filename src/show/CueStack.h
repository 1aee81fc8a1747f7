#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "show/Cue.h"

namespace bw {

class ShowStatus;

// The show's cues in running order, with the IDs of those cues alongside.
//
// Main thread only; takes no lock. Every edit replaces the whole list, keeps
// `cueIDs()` equal to the cues' IDs at once, marks the show modified, then
// calls each observer once. Positions (`i`) and output indices (`j`) are
// zero-based; an out-of-range one is a caller error and leaves the stack
// untouched, with no observer called.
class CueStack {
public:
    // How many outputs the show has, so that a new cue gets one state each.
    using OutputCountSource = std::function<std::size_t()>;
    // Called after an edit, once it is complete: cues() and cueIDs() are
    // final (sorted, for the edits that sort).
    using Observer = std::function<void()>;
    using ObserverToken = std::uint64_t;

    explicit CueStack(ShowStatus& status);
    CueStack(const CueStack&) = delete;

    // The process's one stack, on the shared show status; created on first
    // use and never destroyed.
    static CueStack& shared();
    CueStack& operator=(const CueStack&) = delete;

    // The engine installs its output count here. Until then a new cue gets as
    // many states as the first cue has (none on an empty stack).
    void setOutputCountSource(OutputCountSource source);

    // Observers are called in the order they were added, once per public
    // edit. One may add or remove observers (itself included) while it is
    // called: one added then is called from the next edit on, one removed
    // then is not called again, not even later in the same round.
    ObserverToken addObserver(Observer observer);
    // An unknown token is ignored.
    void removeObserver(ObserverToken token);

    const std::vector<Cue>& cues() const { return cues_; }
    const std::vector<double>& cueIDs() const { return cueIDs_; }

    // Appends a new cue (description "", fade 3 s, default states), then
    // sorts by ID.
    void addCue(double id);
    // Inserts a copy of cue i at i + 1, with an ID between cue i's and the
    // next one's; does not sort.
    void duplicateCue(std::size_t i);
    void deleteCue(std::size_t i);
    // Sets cue i's ID, then sorts by ID.
    void setCueID(std::size_t i, double id);
    void setFadeLength(std::size_t i, double seconds);
    void setDescription(std::size_t i, std::string description);
    // Cue i's waits (seconds) and what follows it by itself.
    void setTiming(std::size_t i, double preWait, CueContinue continueMode, double postWait);
    // Sets the media and makes the state's flags fit it: only an image keeps
    // Ken Burns motion, and anything but a movie is muted and looped. A cell
    // that held no file before takes `newMediaFit`, where given, as its fit;
    // one that held a file keeps the fit the operator gave it.
    void setMediaURL(const MediaURL& url, std::size_t j, std::size_t i,
                     std::optional<PictureFit> newMediaFit = std::nullopt);
    void setMuted(bool muted, std::size_t j, std::size_t i);
    void setLooped(bool looped, std::size_t j, std::size_t i);
    void setKenBurns(bool kenBurns, std::size_t j, std::size_t i);
    void setFit(PictureFit fit, std::size_t j, std::size_t i);
    // Output columns: append a default state to / remove state j from every cue.
    void addOutputState();
    void removeOutputState(std::size_t j);
    // Replaces the whole list (emptying it, installing a loaded show); the
    // list is taken in the given order.
    void replaceCues(std::vector<Cue> cues);

    // The ID for a cue about to be added, optionally near a requested one.
    double newCueID(std::optional<double> requested = std::nullopt) const;
    // The position of the first cue whose ID equals `id` exactly.
    std::optional<std::size_t> indexOfCue(double id) const;

private:
    struct ObserverEntry {
        ObserverToken token;
        Observer observer;
    };

    // Installs `cues`, marks the show modified and tells the observers.
    void replace(std::vector<Cue> cues);
    static std::vector<Cue> sortedByID(std::vector<Cue> cues);
    void notifyObservers();
    // The ID after the cue with ID x: midway to the next cue's, or x + 1.
    double idAfter(double x) const;
    std::size_t outputCount() const;
    template <typename Edit>
    void editState(std::size_t j, std::size_t i, Edit edit);

    ShowStatus& status_;
    OutputCountSource outputCountSource_;
    std::vector<Cue> cues_;
    std::vector<double> cueIDs_;
    std::vector<ObserverEntry> observers_;
    ObserverToken lastObserverToken_ = 0;
};

}  // namespace bw
