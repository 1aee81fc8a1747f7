#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <vector>

#include "show/Cue.h"

namespace bw {

class ShowStatus;

// The show's cues in running order, with the IDs of those cues alongside.
//
// Main thread only; takes no lock. Every edit replaces the whole list, keeps
// `cueIDs()` equal to the cues' IDs at once, and marks the show modified.
// Positions (`i`) and output indices (`j`) are zero-based; an out-of-range
// one is a caller error and leaves the stack untouched.
class CueStack {
public:
    // How many outputs the show has, so that a new cue gets one state each.
    using OutputCountSource = std::function<std::size_t()>;

    explicit CueStack(ShowStatus& status);
    CueStack(const CueStack&) = delete;

    // The process's one stack, on the shared show status; created on first
    // use and never destroyed.
    static CueStack& shared();
    CueStack& operator=(const CueStack&) = delete;

    // The engine installs its output count here. Until then a new cue gets as
    // many states as the first cue has (none on an empty stack).
    void setOutputCountSource(OutputCountSource source);

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
    // Sets the media and makes the state's flags fit it: only an image keeps
    // Ken Burns motion, and anything but a movie is muted and looped.
    void setMediaURL(const MediaURL& url, std::size_t j, std::size_t i);
    void setMuted(bool muted, std::size_t j, std::size_t i);
    void setLooped(bool looped, std::size_t j, std::size_t i);
    void setKenBurns(bool kenBurns, std::size_t j, std::size_t i);
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
    void replace(std::vector<Cue> cues);
    void sortByID();
    // The ID after the cue with ID x: midway to the next cue's, or x + 1.
    double idAfter(double x) const;
    std::size_t outputCount() const;
    template <typename Edit>
    void editState(std::size_t j, std::size_t i, Edit edit);

    ShowStatus& status_;
    OutputCountSource outputCountSource_;
    std::vector<Cue> cues_;
    std::vector<double> cueIDs_;
};

}  // namespace bw
