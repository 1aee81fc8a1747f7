#include "show/CueStack.h"

#include <algorithm>
#include <cmath>

#include "platform/FileTypes.h"
#include "show/ShowStatus.h"

namespace bw {

CueStack& CueStack::shared() {
    static CueStack* stack = new CueStack(ShowStatus::shared());
    return *stack;
}

CueStack::CueStack(ShowStatus& status) : status_(status) {}

void CueStack::setOutputCountSource(OutputCountSource source) {
    outputCountSource_ = std::move(source);
}

std::size_t CueStack::outputCount() const {
    if (outputCountSource_) return outputCountSource_();
    return cues_.empty() ? 0 : cues_.front().outputStates.size();
}

CueStack::ObserverToken CueStack::addObserver(Observer observer) {
    observers_.push_back(ObserverEntry{++lastObserverToken_, std::move(observer)});
    return lastObserverToken_;
}

void CueStack::removeObserver(ObserverToken token) {
    std::erase_if(observers_, [token](const ObserverEntry& entry) { return entry.token == token; });
}

void CueStack::notifyObservers() {
    // A copy: an observer may add or remove observers while it runs.
    const std::vector<ObserverEntry> observers = observers_;
    for (const ObserverEntry& entry : observers) {
        const bool stillRegistered =
            std::any_of(observers_.begin(), observers_.end(),
                        [&](const ObserverEntry& live) { return live.token == entry.token; });
        if (stillRegistered) entry.observer();
    }
}

void CueStack::replace(std::vector<Cue> cues) {
    cues_ = std::move(cues);
    cueIDs_.clear();
    cueIDs_.reserve(cues_.size());
    for (const Cue& cue : cues_)
        cueIDs_.push_back(cue.id);
    status_.setDirty(true);
    notifyObservers();
}

std::vector<Cue> CueStack::sortedByID(std::vector<Cue> cues) {
    // Ascending by ID; equal IDs keep their order. A not-a-number ID compares
    // false with everything, which is no ordering at all: such cues go last
    // so the sort stays well-defined.
    std::stable_sort(cues.begin(), cues.end(), [](const Cue& a, const Cue& b) {
        return a.id < b.id || (!std::isnan(a.id) && std::isnan(b.id));
    });
    return cues;
}

void CueStack::addCue(double id) {
    std::vector<Cue> edited = cues_;
    Cue cue;
    cue.id = id;
    cue.outputStates.assign(outputCount(), MediaOutputState::defaultState());
    edited.push_back(std::move(cue));
    replace(sortedByID(std::move(edited)));
}

void CueStack::duplicateCue(std::size_t i) {
    if (i >= cues_.size()) return;
    Cue copy = cues_[i];
    copy.id = idAfter(copy.id);
    std::vector<Cue> edited = cues_;
    edited.insert(edited.begin() + static_cast<std::ptrdiff_t>(i) + 1, std::move(copy));
    replace(std::move(edited));
}

void CueStack::deleteCue(std::size_t i) {
    if (i >= cues_.size()) return;
    std::vector<Cue> edited = cues_;
    edited.erase(edited.begin() + static_cast<std::ptrdiff_t>(i));
    replace(std::move(edited));
}

void CueStack::setCueID(std::size_t i, double id) {
    if (i >= cues_.size()) return;
    std::vector<Cue> edited = cues_;
    edited[i].id = id;
    replace(sortedByID(std::move(edited)));
}

void CueStack::setFadeLength(std::size_t i, double seconds) {
    if (i >= cues_.size()) return;
    std::vector<Cue> edited = cues_;
    edited[i].fadeLength = seconds;
    replace(std::move(edited));
}

void CueStack::setTiming(std::size_t i, double preWait, CueContinue continueMode, double postWait) {
    if (i >= cues_.size()) return;
    std::vector<Cue> edited = cues_;
    edited[i].preWait = preWait;
    edited[i].continueMode = continueMode;
    edited[i].postWait = postWait;
    replace(std::move(edited));
}

void CueStack::setDescription(std::size_t i, std::string description) {
    if (i >= cues_.size()) return;
    std::vector<Cue> edited = cues_;
    edited[i].description = std::move(description);
    replace(std::move(edited));
}

template <typename Edit>
void CueStack::editState(std::size_t j, std::size_t i, Edit edit) {
    if (i >= cues_.size() || j >= cues_[i].outputStates.size()) return;
    std::vector<Cue> edited = cues_;
    edit(edited[i].outputStates[j]);
    replace(std::move(edited));
}

void CueStack::setMediaURL(const MediaURL& url, std::size_t j, std::size_t i,
                           std::optional<PictureFit> newMediaFit) {
    const MediaKind kind = FileTypes::kindOf(url);
    editState(j, i, [&](MediaOutputState& state) {
        if (newMediaFit && !state.mediaURL.isFileURL() && url.isFileURL()) state.fit = *newMediaFit;
        state.mediaURL = url;
        if (kind != MediaKind::Image) state.kenBurns = false;
        if (kind != MediaKind::Movie) {
            state.muted = true;
            state.looped = true;
        }
    });
}

void CueStack::setMuted(bool muted, std::size_t j, std::size_t i) {
    editState(j, i, [&](MediaOutputState& state) { state.muted = muted; });
}

void CueStack::setLooped(bool looped, std::size_t j, std::size_t i) {
    editState(j, i, [&](MediaOutputState& state) { state.looped = looped; });
}

void CueStack::setKenBurns(bool kenBurns, std::size_t j, std::size_t i) {
    editState(j, i, [&](MediaOutputState& state) { state.kenBurns = kenBurns; });
}

void CueStack::setFit(PictureFit fit, std::size_t j, std::size_t i) {
    editState(j, i, [&](MediaOutputState& state) { state.fit = fit; });
}

void CueStack::addOutputState() {
    std::vector<Cue> edited = cues_;
    for (Cue& cue : edited) {
        cue.outputStates.push_back(MediaOutputState::defaultState());
    }
    replace(std::move(edited));
}

void CueStack::removeOutputState(std::size_t j) {
    std::vector<Cue> edited = cues_;
    for (Cue& cue : edited) {
        if (j < cue.outputStates.size()) {
            cue.outputStates.erase(cue.outputStates.begin() + static_cast<std::ptrdiff_t>(j));
        }
    }
    replace(std::move(edited));
}

void CueStack::replaceCues(std::vector<Cue> cues) {
    replace(std::move(cues));
}

double CueStack::idAfter(double x) const {
    auto k = indexOfCue(x);
    if (!k || *k + 1 == cues_.size()) return x + 1.0;
    return x + (cues_[*k + 1].id - x) * 0.5;
}

double CueStack::newCueID(std::optional<double> requested) const {
    // A requested value that is not a number counts as no request.
    if (!requested || std::isnan(*requested)) {
        double last = cueIDs_.empty() ? 0.0 : cueIDs_.back();
        return std::floor(last) + 1.0;
    }
    if (!indexOfCue(*requested)) return *requested;
    return idAfter(*requested);
}

std::optional<std::size_t> CueStack::indexOfCue(double id) const {
    auto found = std::find(cueIDs_.begin(), cueIDs_.end(), id);
    if (found == cueIDs_.end()) return std::nullopt;
    return static_cast<std::size_t>(found - cueIDs_.begin());
}

}  // namespace bw
