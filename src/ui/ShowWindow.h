#pragma once

#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QPointer>
#include <QRect>
#include <QString>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/NotificationCenter.h"
#include "show/MediaWatch.h"
#include "show/ShowHealth.h"
#include "ui/cuelist/CueEntry.h"
#include "ui/remote/WebRemoteDialog.h"

class QAction;
class QCloseEvent;
class QFileDialog;
class QKeyEvent;
class QStyle;

namespace bw {

class ShowFeedback;

class CentringSpacer;
class CueStack;
class LoadingSheet;
class MediaEngine;
class OperatorPrompt;
class OutputWindows;
class PatchView;
class Preferences;
class Show;
class ShowView;
class WebRemoteServer;

// The show window: the toolbar (cue-number field, GO centred, duplicate and
// delete), the central ShowView with the "now and next" line, and a status
// bar with the frame rate, the refreshes dropped since the show was opened,
// the last GO's latency and, after a typed number that named no cue, which
// cue ran instead. The status bar draws the show's health (ShowHealth): a
// figure that matters takes the warning colour, bold, a short text and a
// tooltip saying what it means and what to do; missing media, outputs not
// shared and a lost show clock show only while they stand.
//
// Keys no control takes reach keyPressEvent and go to the CueEntry; the
// controls themselves take no focus. The window becomes the engine's
// delegate (through a small adapter holding the window weakly) and follows
// every GO, whatever its source; it also refreshes on a one-second timer.
// The title is "NAME[*] — Beamwright", NAME being the show file's name or
// "Untitled"; the edited marker follows the show's modified flag.
//
// The File menu holds the show commands. New, Open, Reload, Quit and closing
// the window ask before unsaved changes are lost: the window installs the
// prompt's question as the show's confirmation handler for its life. While
// the outputs show a cue (anything but the alignment grid), they ask first
// whether to replace or end what the audience sees, even with nothing
// unsaved; so does a show opened from the desktop or a second start. A
// failed save or load is shown with its reason, and the show in place stays
// as it was. While a show loads, the LoadingSheet covers the window; it
// closes at the end of every load.
//
// Show > Lock for Performance locks the show (unlocking asks first): edits of
// the cue list, drops, undo and redo, the Outputs window's changes, the show
// settings, New, Open, Reload and Save As are refused, and the status line
// says so; Quit asks. GO, typed cue numbers, Panic and remote commands go on.
// The toolbar's "Locked" badge and the title show the lock.
//
// Built from references so that tests hand it an engine of their own; all of
// them, and the prompt when one is given, must outlive the window. Without a
// prompt the window asks with message boxes. Main thread only.
//
// The cue list's selection arms the selected cue for GO and enables
// Duplicate and Delete; the Cue menu also makes new cues, the Cell menu
// holds the commands on the list's current cell, and the Edit menu undoes
// and redoes the list's edits. The control with the keyboard focus carries
// the focus mark (FocusRing).
class ShowWindow : public QMainWindow {
    Q_OBJECT
    Q_PROPERTY(bool darkMode READ darkMode WRITE setDarkMode)

public:
    ShowWindow(MediaEngine& engine, CueStack& stack, Show& show, NotificationCenter& center,
               Preferences& preferences, OperatorPrompt* prompt = nullptr,
               QWidget* parent = nullptr);
    ~ShowWindow() override;

    bool darkMode() const { return darkMode_; }
    // Applies the look at once, to the whole application.
    void setDarkMode(bool dark);

    const CueEntry& cueEntry() const { return cueEntry_; }
    ShowView* showView() const { return showView_; }

    // A shared show's clock state for the status line ("clock locked ...",
    // "clock lost ..."; a lost clock is a warning), asked once a second;
    // empty: the show plays alone and the line shows no clock.
    void setClockStatusSource(std::function<ShowHealth::ClockStatus()> source);
    // Why the outputs' frames cannot be shared (no PipeWire daemon answers),
    // asked once a second; none: they are. The status line then shows it in
    // bold. Empty: never asked.
    void setSharingProblemSource(std::function<std::optional<std::string>()> source);
    // Why movies play silent (no sound output answers), asked once a second;
    // none: they have sound. Empty: never asked.
    void setSoundProblemSource(std::function<std::optional<std::string>()> source);
    // The show's sound output while the sound server does not have it, asked
    // once a second; none: it is there. Empty: never asked.
    void setMissingSoundOutputSource(std::function<std::optional<std::string>()> source);

    // "demo.bwshow[*] — Beamwright", or "Untitled[*] — Beamwright"; with
    // " — Locked" after it while the show is locked.
    static QString titleFor(const std::optional<std::string>& fileURL, bool locked = false);

    // How a show opened from outside ended: loaded, kept (the operator kept
    // the show in place, or cancelled the load, or the show is locked), or
    // failed to load (with the reason).
    enum class Opening { Opened, Kept, Failed };
    using OpeningReply = std::function<void(Opening opening, const QString& reason)>;

    // `wanted` made no larger than `available` and moved inside it; an
    // empty `available` (no screen known) leaves it as it is.
    static QRect fittedGeometry(const QRect& wanted, const QRect& available);
    double zoom() const { return zoom_; }

    // Locks or unlocks the show at once, without asking (--locked, tests).
    void setLocked(bool locked);
    bool isLocked() const;

public slots:
    // File menu. Each asks before discarding unsaved changes where it would.
    void newShow();
    // Asks, then offers a file dialog whose choice goes to openShowFile().
    void openShow();
    // Loads the show at `path` without asking (the caller has), as the file
    // dialog and the command line do.
    void openShowFile(const QString& path);
    // A show opened from the desktop or a second start: brings the window to
    // the front, asks before replacing the stage or discarding unsaved
    // changes, then opens `path`; `reply` hears how that ended, once.
    void openShowFromDesktop(const QString& path, OpeningReply reply);
    // Shows the window (restored when minimised), raised and active.
    void bringToFront();
    void reloadShow();
    // Saves to the show's file, or asks for one (saveShowAs) when it has none.
    void saveShow();
    // Offers a save dialog whose choice goes to saveShowTo().
    void saveShowAs();
    // Saves to `path` (".bwshow" appended when missing), which becomes the
    // show's location; on failure the location stays what it was.
    void saveShowTo(const QString& path);

    // The cue list's selection changed: a cue is selected or none is.
    void cueSelected(bool selected);
    // Cue menu: a new cue after the selected or typed one, a copy of the
    // selected cue, and deleting it (undo brings it back).
    void newCue();
    void duplicateSelectedCue();
    void deleteSelectedCue();
    // Edit menu: the outputs' window (made on first use, kept while the
    // show window lives).
    void showOutputs();
    PatchView* patchView() const { return patchView_; }
    // The show's sound output (empty: the system default), as the outputs'
    // window chooses it: an edit the Edit menu undoes, refused while locked.
    void chooseSoundOutput(const std::string& name);
    OutputWindows& outputWindows() const { return *outputWindows_; }
    // The one-second refresh: frame rate, drops, GO latency, the show's
    // health, now and next.
    void updateRefreshRate();
    // The health as of the last refresh.
    const ShowHealth& health() const { return health_; }

protected:
    void keyPressEvent(QKeyEvent* event) override;
    // Return's release: the next press counts again only after it.
    void keyReleaseEvent(QKeyEvent* event) override;
    // Closes only when the show may be discarded (File > Quit ends here too).
    void closeEvent(QCloseEvent* event) override;

private:
    class EngineNotices;

    void buildFileMenu();
    void buildEditMenu();
    // GO, and the cue list's duplicate and delete (shared with the toolbar).
    void buildCueMenu();
    // The cue list's commands on its current cell (CellActions), with
    // their keys, and the row's Duplicate and Delete in its context menu.
    void buildCellMenu();
    // The show's settings: what GO does after the last cue.
    void buildShowMenu();
    // Bigger, Smaller and Actual Size of the cue list and stage line.
    void buildViewMenu();
    // The operator's zoom, kept in the preferences.
    void chooseZoom(double zoom);
    void setZoom(double zoom);
    // The zoom the window's screen asks for (ViewZoom::forScreen).
    double screenZoom() const;
    // The saved place and size, fitted to the screen; without one, a size
    // for the zoom, centred on the screen and no larger than it.
    void restoreWindowGeometry();
    void saveWindowGeometry();
    // Show > Panic Fade…: the show's Panic fade, asked in seconds.
    void askPanicFade();
    // Show > Web Remote…, and what its Apply does: saves the port and
    // passcode in the preferences and starts the server anew with them.
    void showWebRemote();
    std::optional<QString> applyWebRemote(const WebRemoteDialog::Settings& settings);
    void setWebRemote(std::unique_ptr<WebRemoteServer> server);
    // Checks the Fit for New Media and Black Bars choices the show has.
    void showNewMediaFit();
    // Show > Lock for Performance, and Unlock (which asks first).
    void toggleLock();
    void lockChanged(bool locked);
    // True, with the reason on the status line, while the show is locked.
    bool refusedWhileLocked(const QString& what);
    void showRefusal(const QString& what);
    // Asks before the outputs lose the cue they show; true at once while
    // they show the alignment grid or there are none. `consequence` says
    // what becomes of them.
    bool confirmStageChange(const QString& consequence);
    void buildToolBar();
    void buildStatusBar();
    // The status figures as the last health update left them.
    void showHealth();
    // `label` shows `plain`, or the standing warning of `kind` in the
    // warning look with its explanation as the tooltip.
    void showFigure(QLabel* label, const QString& plain, ShowHealth::Kind kind);
    // The GO button and the Cue menu's GO end here.
    void goFromWindow();
    // The Panic button and its shortcut.
    void panicFromWindow();
    // What the window shows after a GO from any of its own sources.
    void showGoResult();
    void showCueEntry();
    void showLastGo();
    void showWillLoad();
    void showDidLoad();
    void warnSaveFailed(const std::string& reason);
    void engineChanged();
    void engineCuesChanged();
    void listSelectionChanged();

    MediaEngine& engine_;
    Show& show_;
    NotificationCenter& center_;
    Preferences& preferences_;
    std::unique_ptr<OperatorPrompt> ownPrompt_;
    OperatorPrompt& prompt_;
    CueEntry cueEntry_;
    std::shared_ptr<EngineNotices> notices_;
    std::vector<NotificationCenter::Token> observers_;
    bool darkMode_ = false;
    double zoom_ = 1.0;

    // Owned here: widgets do not own a style set on them.
    std::unique_ptr<QStyle> toolBarStyle_;
    OutputWindows* outputWindows_ = nullptr;
    QToolBar* toolBar_ = nullptr;
    CentringSpacer* goSpacer_ = nullptr;
    QToolButton* goButton_ = nullptr;
    QAction* newShowAction_ = nullptr;
    QAction* openShowAction_ = nullptr;
    QAction* reloadShowAction_ = nullptr;
    QAction* saveShowAction_ = nullptr;
    QAction* saveShowAsAction_ = nullptr;
    QAction* quitAction_ = nullptr;
    QAction* newCueAction_ = nullptr;
    QAction* duplicateCueAction_ = nullptr;
    QAction* deleteCueAction_ = nullptr;
    QAction* stopAtEndAction_ = nullptr;
    QAction* panicFadeAction_ = nullptr;
    std::vector<QAction*> newMediaFitActions_;
    QAction* blackBarsAction_ = nullptr;
    QAction* lockAction_ = nullptr;
    QAction* lockBadge_ = nullptr;
    QLabel* refusalLabel_ = nullptr;
    QTimer refusalTimer_;
    // The reply to a show opened from outside, until its load ends.
    OpeningReply pendingOpening_;
    QLineEdit* gotoCueTextField_ = nullptr;
    ShowView* showView_ = nullptr;
    ShowHealth health_;
    MediaWatch mediaWatch_;
    // What OSC and CREP controllers are told of the show.
    std::unique_ptr<ShowFeedback> feedback_;
    // The web remote, while it is on; it follows feedback_.
    std::unique_ptr<WebRemoteServer> webRemote_;
    QPointer<WebRemoteDialog> webRemoteDialog_;
    // Why the web remote the settings ask for is off; empty while it is on
    // or not asked for.
    QString webRemoteProblem_;
    // The figures of the last refresh, which the status bar shows.
    ShowHealth::Sample sample_;
    QLabel* mediaLabel_ = nullptr;
    QLabel* clockLabel_ = nullptr;
    std::function<ShowHealth::ClockStatus()> clockStatus_;
    QLabel* sharingLabel_ = nullptr;
    QLabel* soundLabel_ = nullptr;
    std::function<std::optional<std::string>()> sharingProblem_;
    std::function<std::optional<std::string>()> soundProblem_;
    std::function<std::optional<std::string>()> missingSoundOutput_;
    QLabel* fpsLabel_ = nullptr;
    QLabel* framesDroppedLabel_ = nullptr;
    QLabel* goLatencyLabel_ = nullptr;
    QLabel* lastGoLabel_ = nullptr;
    LoadingSheet* loadingSheet_ = nullptr;
    PatchView* patchView_ = nullptr;
    // The open or save dialog while one is up; it deletes itself when done.
    QPointer<QFileDialog> fileDialog_;
    QTimer refreshTimer_;
};

}  // namespace bw
