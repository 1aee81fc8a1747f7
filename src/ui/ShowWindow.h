#pragma once

#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QString>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/NotificationCenter.h"
#include "ui/CueEntry.h"

class QAction;
class QKeyEvent;
class QStyle;

namespace bw {

class CentringSpacer;
class CueStack;
class MediaEngine;
class Preferences;
class Show;
class ShowView;

// The show window: the toolbar (cue-number field, GO centred, duplicate and
// delete), the central ShowView with the "now and next" line, and a status
// bar with the frame rate, the refreshes dropped since the show was opened,
// the last GO's latency and, after a typed number that named no cue, which
// cue ran instead.
//
// Keys no control takes reach keyPressEvent and go to the CueEntry; the
// controls themselves take no focus. The window becomes the engine's
// delegate (through a small adapter holding the window weakly) and follows
// every GO, whatever its source; it also refreshes on a one-second timer.
// The title is "NAME[*] — Beamwright", NAME being the show file's name or
// "Untitled"; the edited marker follows the show's modified flag.
//
// Built from references so that tests hand it an engine of their own; all of
// them must outlive the window. Main thread only.
//
// Not here yet: the File menu and the discard-changes question (closing
// the window does not ask), the loading sheet, and the cue list, whose
// selection will drive cueSelected() and whose actions will give Duplicate
// Cue and Delete Cue their handlers (until then they have none).
class ShowWindow : public QMainWindow {
    Q_OBJECT
    Q_PROPERTY(bool darkMode READ darkMode WRITE setDarkMode)

public:
    ShowWindow(MediaEngine& engine, CueStack& stack, Show& show, NotificationCenter& center,
               Preferences& preferences, QWidget* parent = nullptr);
    ~ShowWindow() override;

    bool darkMode() const { return darkMode_; }
    // Applies the look at once, to the whole application.
    void setDarkMode(bool dark);

    const CueEntry& cueEntry() const { return cueEntry_; }
    ShowView* showView() const { return showView_; }

    // "demo.bwshow[*] — Beamwright", or "Untitled[*] — Beamwright".
    static QString titleFor(const std::optional<std::string>& fileURL);

public slots:
    // The cue list's selection changed: a cue is selected or none is.
    void cueSelected(bool selected);
    // The one-second refresh: frame rate, drops, GO latency, now and next.
    void updateRefreshRate();

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    class EngineNotices;

    void buildToolBar();
    void buildStatusBar();
    // The GO button, Return and keypad Enter end here.
    void goFromWindow();
    void showCueEntry();
    void showLastGo();
    void showDidLoad();
    void engineChanged();

    MediaEngine& engine_;
    Show& show_;
    NotificationCenter& center_;
    CueEntry cueEntry_;
    std::shared_ptr<EngineNotices> notices_;
    std::vector<NotificationCenter::Token> observers_;
    bool darkMode_ = false;

    // Owned here: widgets do not own a style set on them.
    std::unique_ptr<QStyle> toolBarStyle_;
    QToolBar* toolBar_ = nullptr;
    CentringSpacer* goSpacer_ = nullptr;
    QToolButton* goButton_ = nullptr;
    QAction* duplicateCueAction_ = nullptr;
    QAction* deleteCueAction_ = nullptr;
    QLineEdit* gotoCueTextField_ = nullptr;
    ShowView* showView_ = nullptr;
    QLabel* fpsLabel_ = nullptr;
    QLabel* framesDroppedLabel_ = nullptr;
    QLabel* goLatencyLabel_ = nullptr;
    QLabel* lastGoLabel_ = nullptr;
    QTimer refreshTimer_;
};

}  // namespace bw
