#include "ui/cuelist/CueListController.h"

#include <QUndoCommand>
#include <cmath>

#include "engine/MediaEngine.h"
#include "show/CueStack.h"
#include "ui/cuelist/CueListModel.h"

namespace bw {

// One step of the history. Its first redo (QUndoStack::push) makes the
// change itself, with the model told row by row and the engine following;
// later redos and undos put back the whole list as it stood.
class CueListController::Edit final : public QUndoCommand {
public:
    Edit(CueListController& controller, const QString& name, std::function<void()> change,
         std::optional<std::pair<double, double>> rebind, bool& changed)
        : QUndoCommand(name),
          controller_(controller),
          change_(std::move(change)),
          rebind_(rebind),
          changed_(changed) {}

    void redo() override {
        if (change_) {
            before_ = controller_.snapshot();
            std::exchange(change_, nullptr)();
            after_ = controller_.snapshot();
            changed_ = *before_ != *after_;
            // Nothing to undo: the stack drops the step.
            setObsolete(!changed_);
            return;
        }
        controller_.restore(after_, rebind_);
    }

    void undo() override {
        std::optional<std::pair<double, double>> back;
        if (rebind_) back = std::pair(rebind_->second, rebind_->first);
        controller_.restore(before_, back);
    }

private:
    CueListController& controller_;
    std::function<void()> change_;
    std::optional<std::pair<double, double>> rebind_;
    bool& changed_;
    Snapshot before_;
    Snapshot after_;
};

CueListController::CueListController(MediaEngine& engine, CueStack& stack, CueListModel& model,
                                     QObject* parent)
    : QObject(parent), engine_(engine), stack_(stack), model_(model) {
    undoStack_.setUndoLimit(kUndoLimit);
    model_.setEditHandler(
        [this](int row, std::optional<int> output, CueListModel::Role role, const QVariant& value) {
            if (!output) {
                switch (role) {
                    case CueListModel::CueIDRole:
                        return setCueID(row, value.toDouble()).has_value();
                    case CueListModel::FadeLengthRole:
                        return setFadeLength(row, value.toDouble());
                    case CueListModel::DescriptionRole:
                        return setDescription(row, value.toString().toStdString());
                    case CueListModel::PreWaitRole:
                        return setPreWait(row, value.toDouble());
                    case CueListModel::ContinueRole:
                        return setContinueMode(row, static_cast<CueContinue>(value.toInt()));
                    case CueListModel::PostWaitRole:
                        return setPostWait(row, value.toDouble());
                    default:
                        return false;
                }
            }
            switch (role) {
                case CueListModel::AudioRole:
                    return setFlag(row, *output, Flag::Muted, !value.toBool());
                case CueListModel::LoopedRole:
                    return setFlag(row, *output, Flag::Looped, value.toBool());
                case CueListModel::KenBurnsRole:
                    return setFlag(row, *output, Flag::KenBurns, value.toBool());
                case CueListModel::FitRole:
                    return setFit(row, *output, static_cast<PictureFit>(value.toInt()));
                default:
                    return false;
            }
        });
}

CueListController::~CueListController() {
    model_.setEditHandler(nullptr);
}

CueListController::Snapshot CueListController::snapshot() {
    // Consecutive steps share the list between them.
    if (!lastSnapshot_ || *lastSnapshot_ != stack_.cues()) {
        lastSnapshot_ = std::make_shared<const std::vector<Cue>>(stack_.cues());
    }
    return lastSnapshot_;
}

bool CueListController::refuseWhileLocked(const QString& what) {
    if (!locked_) return false;
    emit refused(what);
    return true;
}

void CueListController::undo() {
    if (!refuseWhileLocked(tr("Undo"))) undoStack_.undo();
}

void CueListController::redo() {
    if (!refuseWhileLocked(tr("Redo"))) undoStack_.redo();
}

bool CueListController::perform(const QString& name, const std::function<void()>& change,
                                std::optional<std::pair<double, double>> rebind) {
    if (refuseWhileLocked(name)) return false;
    bool changed = false;
    undoStack_.push(new Edit(*this, name, change, rebind, changed));
    return changed;
}

void CueListController::restore(const Snapshot& cues,
                                std::optional<std::pair<double, double>> rebind) {
    // The model hears of the whole list and takes it afresh.
    stack_.replaceCues(*cues);
    if (rebind) engine_.rebindCueID(rebind->first, rebind->second);
    engine_.reloadCues();
    model_.recomputeHighlights();
}

bool CueListController::isCurrentOrNext(int row) const {
    return row == model_.currentRow() || row == model_.nextRow();
}

void CueListController::refreshEngineFor(int row) {
    if (isCurrentOrNext(row)) engine_.reloadCues();
    model_.recomputeHighlights();
}

std::optional<int> CueListController::newCue(std::optional<double> near) {
    std::optional<int> made;
    perform(tr("New Cue"), [&] {
        const double id = stack_.newCueID(near);
        model_.beginOwnEdit();
        stack_.addCue(id);
        made = stack_.indexOfCue(id).has_value()
                   ? std::optional<int>(static_cast<int>(*stack_.indexOfCue(id)))
                   : std::nullopt;
        if (made) {
            model_.rowInserted(*made);
        } else {
            model_.reload();
        }
        model_.endOwnEdit();

        const std::vector<Cue>& cues = stack_.cues();
        if (cues.size() == 1) {
            // The show's first cue: GO runs it.
            engine_.loadNextCue(cues.front());
        } else if (cues.size() == 2 && model_.currentRow() == 0) {
            // The second cue, with the first on stage: GO runs it next.
            engine_.loadCueAfterCurrent();
        }
        model_.recomputeHighlights();
    });
    if (made) emit rowToShow(*made);
    return made;
}

std::optional<int> CueListController::duplicateCue(int row) {
    if (model_.cueAt(row) == nullptr) return std::nullopt;
    std::optional<int> made;
    perform(tr("Duplicate Cue"), [&] {
        model_.beginOwnEdit();
        stack_.duplicateCue(static_cast<std::size_t>(row));
        model_.rowInserted(row + 1);
        model_.endOwnEdit();
        made = row + 1;
    });
    if (made) emit rowToShow(*made);
    return made;
}

void CueListController::deleteCue(int row) {
    if (model_.cueAt(row) == nullptr) return;
    perform(tr("Delete Cue"), [&] {
        // The next cue hands over before it goes.
        if (row == model_.nextRow()) engine_.advanceNextCue();
        model_.beginOwnEdit();
        stack_.deleteCue(static_cast<std::size_t>(row));
        model_.rowRemoved(row);
        model_.endOwnEdit();
        // The only cue is gone: nothing is left for GO to run.
        if (stack_.cues().empty()) engine_.clearNextCue();
        model_.recomputeHighlights();
    });
}

bool CueListController::acceptsCueID(int row, double id) const {
    if (!std::isfinite(id)) return false;
    const std::optional<std::size_t> taken = stack_.indexOfCue(id);
    return !taken || static_cast<int>(*taken) == row;
}

std::optional<int> CueListController::setCueID(int row, double id) {
    const Cue* cue = model_.cueAt(row);
    if (cue == nullptr || !acceptsCueID(row, id)) return std::nullopt;
    const double old = cue->id;
    if (old == id) return row;
    std::optional<int> moved;
    perform(
        tr("Change Cue Number"),
        [&] {
            model_.beginOwnEdit();
            stack_.setCueID(static_cast<std::size_t>(row), id);
            const std::optional<std::size_t> to = stack_.indexOfCue(id);
            if (to) {
                moved = static_cast<int>(*to);
                model_.rowMoved(row, *moved);
            } else {
                model_.reload();
            }
            model_.endOwnEdit();
            // The engine's cue on stage or next goes on under its new ID.
            engine_.rebindCueID(old, id);
            model_.recomputeHighlights();
        },
        std::pair(old, id));
    if (moved) emit rowToShow(*moved);
    return moved;
}

bool CueListController::setFadeLength(int row, double seconds) {
    if (model_.cueAt(row) == nullptr || !std::isfinite(seconds) || seconds < 0.0) return false;
    return perform(tr("Change Fade"), [&] {
        model_.beginOwnEdit();
        stack_.setFadeLength(static_cast<std::size_t>(row), seconds);
        model_.rowChanged(row);
        model_.endOwnEdit();
        refreshEngineFor(row);
    });
}

bool CueListController::setTiming(int row, const QString& name, double preWait, CueContinue mode,
                                  double postWait) {
    const Cue* cue = model_.cueAt(row);
    if (cue == nullptr) return false;
    for (const double seconds : {preWait, postWait}) {
        if (!(seconds >= 0.0 && seconds <= kMaxWaitSeconds)) return false;
    }
    if (cue->preWait == preWait && cue->continueMode == mode && cue->postWait == postWait)
        return false;
    return perform(name, [&] {
        model_.beginOwnEdit();
        stack_.setTiming(static_cast<std::size_t>(row), preWait, mode, postWait);
        model_.rowChanged(row);
        model_.endOwnEdit();
        refreshEngineFor(row);
    });
}

bool CueListController::setPreWait(int row, double seconds) {
    const Cue* cue = model_.cueAt(row);
    return cue != nullptr &&
           setTiming(row, tr("Change Pre-Wait"), seconds, cue->continueMode, cue->postWait);
}

bool CueListController::setContinueMode(int row, CueContinue mode) {
    const Cue* cue = model_.cueAt(row);
    return cue != nullptr &&
           setTiming(row, tr("Change Continue"), cue->preWait, mode, cue->postWait);
}

bool CueListController::setPostWait(int row, double seconds) {
    const Cue* cue = model_.cueAt(row);
    return cue != nullptr &&
           setTiming(row, tr("Change Post-Wait"), cue->preWait, cue->continueMode, seconds);
}

bool CueListController::setDescription(int row, const std::string& description) {
    if (model_.cueAt(row) == nullptr) return false;
    return perform(tr("Change Description"), [&] {
        model_.beginOwnEdit();
        stack_.setDescription(static_cast<std::size_t>(row), description);
        model_.rowChanged(row);
        model_.endOwnEdit();
        // The engine's copies name the cue on stage and the next one.
        refreshEngineFor(row);
    });
}

bool CueListController::setMediaURL(int row, int output, const MediaURL& url, const QString& name) {
    if (model_.stateAt(row, output) == nullptr) return false;
    return perform(name.isEmpty() ? tr("Drop Media") : name, [&] {
        model_.beginOwnEdit();
        const std::optional<PictureFit> fit =
            newMediaFit_ ? std::optional(newMediaFit_()) : std::nullopt;
        stack_.setMediaURL(url, static_cast<std::size_t>(output), static_cast<std::size_t>(row),
                           fit);
        model_.cellChanged(row, output);
        model_.endOwnEdit();
        refreshEngineFor(row);
    });
}

bool CueListController::setFit(int row, int output, PictureFit fit) {
    const MediaOutputState* state = model_.stateAt(row, output);
    if (state == nullptr || fit < PictureFit::Stretch || fit > PictureFit::Fill) return false;
    return perform(tr("Change Fit"), [&] {
        model_.beginOwnEdit();
        stack_.setFit(fit, static_cast<std::size_t>(output), static_cast<std::size_t>(row));
        model_.cellChanged(row, output);
        model_.endOwnEdit();
        refreshEngineFor(row);
    });
}

bool CueListController::setFlag(int row, int output, Flag flag, bool on) {
    if (model_.stateAt(row, output) == nullptr) return false;
    static const char* const names[] = {QT_TR_NOOP("Change Audio"), QT_TR_NOOP("Change Loop"),
                                        QT_TR_NOOP("Change Ken Burns")};
    return perform(tr(names[static_cast<int>(flag)]), [&] {
        const auto j = static_cast<std::size_t>(output);
        const auto i = static_cast<std::size_t>(row);
        model_.beginOwnEdit();
        switch (flag) {
            case Flag::Muted:
                stack_.setMuted(on, j, i);
                break;
            case Flag::Looped:
                stack_.setLooped(on, j, i);
                break;
            case Flag::KenBurns:
                stack_.setKenBurns(on, j, i);
                break;
        }
        model_.cellChanged(row, output);
        model_.endOwnEdit();
        refreshEngineFor(row);
    });
}

}  // namespace bw
