#pragma once

#include <QLabel>
#include <QProgressBar>
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

// The show window's central area: the "now and next" line (the cue on
// stage, the cue GO runs next, each by ID and description, and the running
// crossfade's progress), the cue list beneath it, and the generator tiles
// to drag onto its output cells. The next line always names the cue a GO
// would run: a row armed by selection, else the engine's answer (during a
// crossfade, the cue after the one fading in); a GO that would go back to
// the first cue says so in the warning colour.
//
// It reads the engine when told to refresh(); the window calls that on every
// engine notice (GO from any source: keys, OSC, CREP) and on its one-second
// timer. While a crossfade runs, the view also refreshes itself ten times a
// second, so that the progress moves.
//
// Main thread only; the engine and stack must outlive the view.
class ShowView : public QWidget {
    Q_OBJECT

public:
    ShowView(MediaEngine& engine, CueStack& stack, QWidget* parent = nullptr);
    ~ShowView() override;

    // "1.0 Opening", "2.5" (no description) or "none".
    static QString describeCue(const std::optional<Cue>& cue);

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
    QLabel* currentCueLabel_;
    QLabel* nextCueLabel_;
    QProgressBar* fadeProgress_;
    QTimer fadeTimer_;
    std::optional<double> armedCue_;
    bool darkMode_ = false;
};

}  // namespace bw
