#pragma once

#include <QObject>
#include <QString>
#include <QUndoStack>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "show/Cue.h"

namespace bw {

class CueListModel;
class CueStack;
class MediaEngine;

// Every edit the cue list makes to the show: new, duplicate and delete cue,
// the cue cell's fields, media dropped on an output cell and its
// checkboxes. Each edit changes the stack, tells the model which rows
// changed, keeps the engine's current and next cues in step with it, and can
// be undone.
//
// The engine follows as an operator expects: the first cue made becomes the
// next cue; a second cue made while the first is on stage becomes the next;
// a deleted next cue hands over to the one after it, and deleting the last
// cue leaves nothing armed; a cue on stage or next whose ID is edited keeps
// its place in the running order under its new ID; edits of the current or
// next cue reach the outputs at once (a movie whose sound or looping changes
// goes on playing).
//
// Undo and redo restore the whole list as it stood before or after the edit,
// then let the engine reload its cues from it. A load or new show clears the
// history. While the show is locked for the performance nothing is edited.
//
// Main thread only; the engine, stack and model must outlive the controller.
class CueListController final : public QObject {
    Q_OBJECT

public:
    // How many edits can be undone.
    static constexpr int kUndoLimit = 100;

    enum class Flag { Muted, Looped, KenBurns };

    CueListController(MediaEngine& engine, CueStack& stack, CueListModel& model,
                      QObject* parent = nullptr);
    ~CueListController() override;

    QUndoStack& undoStack() { return undoStack_; }
    void clearHistory() { undoStack_.clear(); }
    // Undo and redo of the history, refused while locked.
    void undo();
    void redo();

    // Locked for the performance: every edit, undo and redo is refused
    // (nothing changes, and refused() names what was not done).
    void setLocked(bool locked) { locked_ = locked; }
    bool isLocked() const { return locked_; }
    // True, after refused(what), while locked: for an edit about to start
    // elsewhere (an editor opening, a drop).
    bool refuseWhileLocked(const QString& what);

    // A new cue after `near` (or at that number when no cue has it; after
    // the last cue without one). Returns its row.
    std::optional<int> newCue(std::optional<double> near);
    // A copy of cue `row` right after it. Returns the copy's row.
    std::optional<int> duplicateCue(int row);
    void deleteCue(int row);
    // Refused (false) when `id` is not finite or is another cue's ID.
    // Returns the cue's row after the change.
    std::optional<int> setCueID(int row, double id);
    // Refused when `seconds` is negative or not finite.
    bool setFadeLength(int row, double seconds);
    // A cue's pre-wait, what follows it by itself, and its post-wait, each
    // one undoable step; waits from 0 to a day.
    bool setPreWait(int row, double seconds);
    bool setContinueMode(int row, CueContinue mode);
    bool setPostWait(int row, double seconds);
    // The longest wait the cue list takes, as a show file holds: a day.
    static constexpr double kMaxWaitSeconds = 86400.0;
    bool setDescription(int row, const std::string& description);
    // `name` names the step in the history ("Drop Media" when empty).
    bool setMediaURL(int row, int output, const MediaURL& url, const QString& name = {});
    bool setFlag(int row, int output, Flag flag, bool on);
    bool setFit(int row, int output, PictureFit fit);
    // The fit a cell takes when it is given a file where it had none (the
    // show's setting); without a source, new media keeps the cell's fit.
    void setNewMediaFit(std::function<PictureFit()> source) { newMediaFit_ = std::move(source); }

    // Whether `id` may become the ID of cue `row`: finite, and no other
    // cue's.
    bool acceptsCueID(int row, double id) const;

signals:
    // A row the operator should see: the one just made, moved or edited.
    void rowToShow(int row);
    // An edit named `what` ("Delete Cue") was refused: the list is locked.
    void refused(const QString& what);

private:
    class Edit;
    bool setTiming(int row, const QString& name, double preWait, CueContinue mode, double postWait);
    using Snapshot = std::shared_ptr<const std::vector<Cue>>;

    // Runs `change` as one undoable step named `name`; false when it
    // changed nothing (then there is nothing to undo). `rebind` names an ID
    // the change gives a new value (old, new).
    bool perform(const QString& name, const std::function<void()>& change,
                 std::optional<std::pair<double, double>> rebind = std::nullopt);
    Snapshot snapshot();
    // Undo and redo: the list as `cues`, the engine's copies under `rebind`.
    void restore(const Snapshot& cues, std::optional<std::pair<double, double>> rebind);
    bool isCurrentOrNext(int row) const;
    // After an edit of cue `row`: the engine reloads when it is on stage or next.
    void refreshEngineFor(int row);

    MediaEngine& engine_;
    CueStack& stack_;
    std::function<PictureFit()> newMediaFit_;
    CueListModel& model_;
    QUndoStack undoStack_;
    Snapshot lastSnapshot_;
    bool locked_ = false;
};

}  // namespace bw
