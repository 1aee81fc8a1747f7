#pragma once

#include <QString>
#include <QTimer>
#include <QWidget>
#include <memory>
#include <optional>

#include "show/Cue.h"

namespace bw {

class CueListController;
class CueListModel;
class CueStack;
class MediaCatalog;
class MediaEngine;
class ShowTableView;
class StageLine;

// The show window's central area: the stage line (StageLine: the cue on
// stage and the cue GO runs next, each by ID and description, the running
// crossfade's progress and times, and the movie on stage's times), the cue
// list beneath it, and the generator tiles to drag onto its output cells.
// The next line always names the cue a GO would run: a row armed by
// selection, else the engine's answer (during a crossfade, the cue after the
// one fading in); a GO that would go back to the first cue says so in the
// warning colour. When the next cue changes, the list scrolls to it with a
// few rows after it in view.
//
// It reads the engine when told to refresh(); the window calls that on every
// engine notice (GO from any source: keys, OSC, CREP) and on its one-second
// timer. While a crossfade or a movie runs, the view also refreshes itself
// ten times a second, so that the times move.
//
// Main thread only; the engine and stack must outlive the view.
class ShowView : public QWidget {
    Q_OBJECT

public:
    ShowView(MediaEngine& engine, CueStack& stack, QWidget* parent = nullptr);
    ~ShowView() override;

    // "1.0 Opening", "2.5" (no description) or "none".
    static QString describeCue(const std::optional<Cue>& cue);
    // "Now: 1.0 Opening", "Now: Panic", or "Now: Alignment grid" for the
    // built-in grid (which is no cue of the show).
    QString describeStage() const;

    ShowTableView* tableView() const { return tableView_; }
    CueListModel& model() const { return *model_; }
    CueListController& controller() const { return *controller_; }
    MediaCatalog& catalog() const { return *catalog_; }

    // The selected cue's row and ID, if a row is selected.
    std::optional<int> selectedRow() const;
    std::optional<double> selectedCueID() const;
    void deselectAll();
    void setDarkMode(bool dark);
    // A selected row armed GO for its cue (none: nothing armed): the next
    // line and the next cue's colour show that cue at once.
    void setArmedCue(std::optional<double> id);
    // A show was loaded or made new: the list anew, files looked at again,
    // no history to undo.
    void showDidLoad();
    // The outputs were renamed or resized: the columns anew.
    void reloadColumns();
    // The stage line's and the list's type and sizes, times `zoom`.
    void setZoom(double zoom);

public slots:
    void refresh();
    // The engine's current or next cue changed: the list's highlights move
    // and the cue comes into view.
    void cuesChanged();

signals:
    // The list's selection changed (also when a reload cleared it).
    void selectionChanged();

private:
    MediaEngine& engine_;
    CueStack& stack_;
    std::unique_ptr<MediaCatalog> catalog_;
    std::unique_ptr<CueListModel> model_;
    std::unique_ptr<CueListController> controller_;
    ShowTableView* tableView_;
    StageLine* stageLine_;
    QTimer timingTimer_;
    std::optional<double> armedCue_;
    bool darkMode_ = false;
};

}  // namespace bw
