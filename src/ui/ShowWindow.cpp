#include "ui/ShowWindow.h"

#include <QAction>
#include <QActionGroup>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QFileDialog>
#include <QFont>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QMenuBar>
#include <QPalette>
#include <QPointer>
#include <QProxyStyle>
#include <QScreen>
#include <QStatusBar>
#include <QStyleFactory>
#include <QStyleHints>
#include <QUndoCommand>
#include <QUndoStack>
#include <algorithm>
#include <any>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <iostream>

#include "document/Show.h"
#include "engine/MediaEngine.h"
#include "engine/MediaEngineDelegate.h"
#include "engine/ShowFeedback.h"
#include "platform/MainQueue.h"
#include "platform/PortSetting.h"
#include "platform/Preferences.h"
#include "platform/SystemLog.h"
#include "remote/NetworkManager.h"
#include "remote/web/WebRemoteServer.h"
#include "render/RenderContext.h"
#include "show/CueStack.h"
#include "show/NumberText.h"
#include "show/ShowStatus.h"
#include "ui/AccessibleText.h"
#include "ui/CentringSpacer.h"
#include "ui/FocusRing.h"
#include "ui/LoadingSheet.h"
#include "ui/Look.h"
#include "ui/MessageBoxPrompt.h"
#include "ui/OperatorPrompt.h"
#include "ui/ShowView.h"
#include "ui/ViewZoom.h"
#include "ui/cuelist/CellActions.h"
#include "ui/cuelist/CueListController.h"
#include "ui/cuelist/ShowTableView.h"
#include "ui/outputs/OutputWindows.h"
#include "ui/outputs/PatchView.h"

namespace bw {

namespace {

// How long after its release a press of the GO key may still be the repeat
// of a held key: the platform's repeat interval, and never less than 50 ms
// (an X server stamps a repeat's release and press alike, or a tick apart).
std::uint64_t keyRepeatInterval() {
    const int rate = std::max(QGuiApplication::styleHints()->keyboardAutoRepeatRate(), 1);
    return std::max<std::uint64_t>(50, static_cast<std::uint64_t>(1000 / rate));
}

constexpr std::chrono::milliseconds kRefreshInterval{1000};
// How long the status line says why a command was refused.
constexpr std::chrono::milliseconds kRefusalShown{10000};
const QKeySequence kPanicShortcut(Qt::CTRL | Qt::SHIFT | Qt::Key_Escape);
// Where the window's place and size are kept between runs.
constexpr const char* kGeometryPreference = "WindowGeometry";
// The window's first size: this much of its screen, and at least the size
// below at zoom 1 (made smaller where the screen is).
constexpr double kDefaultScreenShare = 0.8;
constexpr QSize kDefaultSize(1100, 700);
const QString kShowSuffix = QStringLiteral("bwshow");
const QString kShowFilter = QStringLiteral("Beamwright show (*.bwshow)");

// Fusion with the toolbar's items the centring rule's distance apart.
class ToolBarStyle final : public QProxyStyle {
public:
    ToolBarStyle() : QProxyStyle(QStyleFactory::create("Fusion")) {}

    int pixelMetric(PixelMetric metric, const QStyleOption* option,
                    const QWidget* widget) const override {
        if (metric == PM_ToolBarItemSpacing) return CentringSpacer::kItemSpacing;
        return QProxyStyle::pixelMetric(metric, option, widget);
    }
};

QLabel* makeStatusLabel(const char* objectName, const QString& accessibleName, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setObjectName(objectName);
    label->setAccessibleName(accessibleName);
    label->setTextFormat(Qt::PlainText);
    return label;
}

// A change of the show's sound output; undone by putting back the one before.
class SoundOutputEdit final : public QUndoCommand {
public:
    SoundOutputEdit(std::function<void(const std::string&)> apply, std::string before,
                    std::string after)
        : QUndoCommand(QCoreApplication::translate("ShowWindow", "Sound Output")),
          apply_(std::move(apply)),
          before_(std::move(before)),
          after_(std::move(after)) {}
    void redo() override { apply_(after_); }
    void undo() override { apply_(before_); }

private:
    std::function<void(const std::string&)> apply_;
    std::string before_;
    std::string after_;
};

}  // namespace

// Engine notices arrive on the main thread; the window may be gone by then
// when the engine outlives it.
class ShowWindow::EngineNotices final : public MediaEngineDelegate {
public:
    explicit EngineNotices(ShowWindow* window) : window_(window) {}

    void cueTransitionBegan() override { changed(); }
    void cueTransitionComplete() override { changed(); }
    void currentCueChanged(const std::optional<Cue>&) override { cuesChanged(); }
    void nextCueChanged(const std::optional<Cue>&) override { cuesChanged(); }
    void goIgnored(const IgnoredGo&) override {
        if (window_) window_->showLastGo();
    }
    void chainChanged() override { cuesChanged(); }

private:
    void changed() {
        if (window_) window_->engineChanged();
    }
    void cuesChanged() {
        if (window_) window_->engineCuesChanged();
    }

    QPointer<ShowWindow> window_;
};

ShowWindow::ShowWindow(MediaEngine& engine, CueStack& stack, Show& show, NotificationCenter& center,
                       Preferences& preferences, OperatorPrompt* prompt, QWidget* parent)
    : QMainWindow(parent),
      engine_(engine),
      show_(show),
      center_(center),
      preferences_(preferences),
      ownPrompt_(prompt != nullptr ? nullptr : std::make_unique<MessageBoxPrompt>()),
      prompt_(prompt != nullptr ? *prompt : *ownPrompt_),
      cueEntry_(engine, stack,
                [this] {
                    if (showView_ != nullptr) showView_->deselectAll();
                }),
      notices_(std::make_shared<EngineNotices>(this)),
      toolBarStyle_(std::make_unique<ToolBarStyle>()),
      mediaWatch_(MainQueue::shared()) {
    setObjectName("showWindow");

    showView_ = new ShowView(engine_, stack, this);
    buildFileMenu();
    buildEditMenu();
    buildToolBar();
    buildCueMenu();
    buildCellMenu();
    buildShowMenu();
    buildViewMenu();
    setCentralWidget(showView_);
    // The focus mark, in this window and its Outputs window alike.
    new FocusRing(this);
    connect(showView_, &ShowView::selectionChanged, this, &ShowWindow::listSelectionChanged);
    buildStatusBar();

    setDarkMode(Look::prefersDark(
        preferences.stringValue(Preferences::kInterfaceStyle),
        [] { return DesktopAppearance::colorScheme(); }, Look::desktopPalette()));

    observers_.push_back(center_.addObserver(
        std::string(kShowDirtyStatusChangedNotification), [this](const Notification& note) {
            const bool* dirty = std::any_cast<bool>(&note.object);
            setWindowModified(dirty != nullptr && *dirty);
        }));
    observers_.push_back(center_.addObserver(
        std::string(kShowLockChangedNotification), [this](const Notification& note) {
            const bool* locked = std::any_cast<bool>(&note.object);
            lockChanged(locked != nullptr && *locked);
        }));
    observers_.push_back(center_.addObserver(std::string(kShowWillLoadNotification),
                                             [this](const Notification&) { showWillLoad(); }));
    observers_.push_back(center_.addObserver(std::string(kShowDidLoadNotification),
                                             [this](const Notification&) { showDidLoad(); }));
    loadingSheet_ = new LoadingSheet(show_, this);
    show_.setConfirmationHandler([this] { return prompt_.confirmDiscardChanges(this); });
    setWindowModified(show_.isDirty());
    connect(&showView_->controller(), &CueListController::refused, this, &ShowWindow::showRefusal);
    refusalTimer_.setSingleShot(true);
    refusalTimer_.setInterval(kRefusalShown);
    connect(&refusalTimer_, &QTimer::timeout, this,
            [this] { showAccessibleText(refusalLabel_, {}); });
    reloadShowAction_->setEnabled(show_.fileURL().has_value());
    lockChanged(show_.isLocked());

    engine_.setDelegate(notices_);
    feedback_ = std::make_unique<ShowFeedback>(engine_, center_, MainQueue::shared());
    if (NetworkManager* network = engine_.network()) feedback_->attach(*network);
    std::string webProblem;
    setWebRemote(WebRemoteServer::fromSettings(engine_, *feedback_, preferences_, &webProblem));
    if (!webProblem.empty()) {
        SystemLog::shared().log("WebRemote: off, " + webProblem);
        webRemoteProblem_ =
            tr("The web remote is off: %1.").arg(QString::fromStdString(webProblem));
    }

    // An output window that gets the focus after all gives it straight
    // back, and the keys typed meanwhile are this window's.
    outputWindows_ = new OutputWindows(
        engine_,
        [window = QPointer<ShowWindow>(this)] {
            if (window) window->activateWindow();
        },
        [this](QKeyEvent& key) {
            QKeyEvent copy(key.type(), key.key(), key.modifiers(), key.text(), key.isAutoRepeat(),
                           key.count());
            copy.setTimestamp(key.timestamp());
            QCoreApplication::sendEvent(this, &copy);
        },
        this);
    outputWindows_->update();

    refreshTimer_.setInterval(kRefreshInterval);
    connect(&refreshTimer_, &QTimer::timeout, this, &ShowWindow::updateRefreshRate);
    refreshTimer_.start();
    updateRefreshRate();
    setZoom(
        ViewZoom::parse(preferences_.stringValue(ViewZoom::kPreference)).value_or(screenZoom()));
    restoreWindowGeometry();
}

ShowWindow::~ShowWindow() {
    // No mark follows the focus through the window's teardown.
    delete findChild<FocusRing*>(QString(), Qt::FindDirectChildrenOnly);
    show_.setConfirmationHandler(nullptr);
    if (engine_.delegate() == notices_) engine_.setDelegate(nullptr);
    setWebRemote(nullptr);
    for (const NotificationCenter::Token token : observers_)
        center_.removeObserver(token);
    // The toolbar goes before the style it was given.
    delete toolBar_;
}

QString ShowWindow::titleFor(const std::optional<std::string>& fileURL, bool locked) {
    const QString name =
        fileURL ? QString::fromStdString(std::filesystem::path(*fileURL).filename().string())
                : tr("Untitled");
    return name + QStringLiteral("[*] — Beamwright") + (locked ? tr(" — Locked") : QString());
}

void ShowWindow::setDarkMode(bool dark) {
    darkMode_ = dark;
    Look::apply(dark);
    showView_->setDarkMode(dark);
    showHealth();  // the warning colour is the look's
}

void ShowWindow::buildFileMenu() {
    QMenu* menu = menuBar()->addMenu(tr("&File"));
    menu->setObjectName("fileMenu");
    // Digits, ".", "+", "-", Return, Enter, Escape and Backspace belong to
    // cue entry: no shortcut here is a bare key.
    auto add = [this, menu](const QString& text, const char* objectName,
                            const QKeySequence& shortcut, void (ShowWindow::*slot)()) {
        QAction* action = menu->addAction(text);
        action->setObjectName(objectName);
        action->setShortcut(shortcut);
        connect(action, &QAction::triggered, this, slot);
        return action;
    };
    newShowAction_ = add(tr("&New Show"), "newShowAction", QKeySequence::New, &ShowWindow::newShow);
    openShowAction_ =
        add(tr("&Open Show…"), "openShowAction", QKeySequence::Open, &ShowWindow::openShow);
    reloadShowAction_ = add(tr("&Reload Show"), "reloadShowAction",
                            QKeySequence(Qt::CTRL | Qt::Key_R), &ShowWindow::reloadShow);
    menu->addSeparator();
    saveShowAction_ =
        add(tr("&Save Show"), "saveShowAction", QKeySequence::Save, &ShowWindow::saveShow);
    saveShowAsAction_ = add(tr("Save Show &As…"), "saveShowAsAction", QKeySequence::SaveAs,
                            &ShowWindow::saveShowAs);
    menu->addSeparator();
    quitAction_ = menu->addAction(tr("&Quit"));
    quitAction_->setObjectName("quitAction");
    quitAction_->setShortcut(QKeySequence::Quit);
    quitAction_->setMenuRole(QAction::QuitRole);
    connect(quitAction_, &QAction::triggered, this, &QWidget::close);
}

void ShowWindow::buildEditMenu() {
    QMenu* menu = menuBar()->addMenu(tr("&Edit"));
    menu->setObjectName("editMenu");
    // The history's own actions would undo past the lock: these ask the
    // controller, and follow the history's state and names.
    CueListController& controller = showView_->controller();
    QUndoStack& history = controller.undoStack();
    auto* undo = new QAction(tr("&Undo"), this);
    undo->setObjectName("undoAction");
    undo->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Z));
    undo->setEnabled(history.canUndo());
    connect(&history, &QUndoStack::canUndoChanged, undo, &QAction::setEnabled);
    connect(&history, &QUndoStack::undoTextChanged, undo, [undo](const QString& name) {
        undo->setText(name.isEmpty() ? tr("&Undo") : tr("&Undo %1").arg(name));
    });
    connect(undo, &QAction::triggered, &controller, &CueListController::undo);
    auto* redo = new QAction(tr("&Redo"), this);
    redo->setObjectName("redoAction");
    redo->setEnabled(history.canRedo());
    connect(&history, &QUndoStack::canRedoChanged, redo, &QAction::setEnabled);
    connect(&history, &QUndoStack::redoTextChanged, redo, [redo](const QString& name) {
        redo->setText(name.isEmpty() ? tr("&Redo") : tr("&Redo %1").arg(name));
    });
    connect(redo, &QAction::triggered, &controller, &CueListController::redo);
    redo->setShortcuts({QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z),
                        QKeySequence(Qt::CTRL | Qt::Key_Y)});
    menu->addAction(undo);
    menu->addAction(redo);
    menu->addSeparator();
    QAction* outputs = menu->addAction(tr("&Outputs…"));
    outputs->setObjectName("outputsAction");
    outputs->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_O));
    connect(outputs, &QAction::triggered, this, &ShowWindow::showOutputs);
}

void ShowWindow::buildViewMenu() {
    QMenu* menu = menuBar()->addMenu(tr("&View"));
    menu->setObjectName("viewMenu");
    auto add = [this, menu](const QString& text, const char* objectName,
                            const QList<QKeySequence>& shortcuts, auto chosen) {
        QAction* action = menu->addAction(text);
        action->setObjectName(objectName);
        action->setShortcuts(shortcuts);
        connect(action, &QAction::triggered, this, chosen);
        return action;
    };
    // Ctrl+= as well: on most keyboards "+" is a shifted "=".
    add(tr("&Bigger"), "biggerAction",
        {QKeySequence(Qt::CTRL | Qt::Key_Plus), QKeySequence(Qt::CTRL | Qt::Key_Equal)},
        [this] { chooseZoom(ViewZoom::bigger(zoom_)); });
    add(tr("&Smaller"), "smallerAction", {QKeySequence(Qt::CTRL | Qt::Key_Minus)},
        [this] { chooseZoom(ViewZoom::smaller(zoom_)); });
    add(tr("&Actual Size"), "actualSizeAction", {QKeySequence(Qt::CTRL | Qt::Key_0)}, [this] {
        // The screen's own size again, from now on.
        preferences_.setString(ViewZoom::kPreference, "");
        setZoom(screenZoom());
    });
}

void ShowWindow::chooseZoom(double zoom) {
    preferences_.setString(ViewZoom::kPreference, ViewZoom::format(zoom));
    setZoom(zoom);
}

void ShowWindow::setZoom(double zoom) {
    zoom_ = zoom;
    showView_->setZoom(zoom);
}

double ShowWindow::screenZoom() const {
    const QScreen* on = screen();
    if (on == nullptr) return 1.0;
    return ViewZoom::forScreen(on->physicalDotsPerInch(), on->devicePixelRatio());
}

QRect ShowWindow::fittedGeometry(const QRect& wanted, const QRect& available) {
    if (available.isEmpty()) return wanted;
    QRect fitted = wanted;
    fitted.setWidth(std::min(wanted.width(), available.width()));
    fitted.setHeight(std::min(wanted.height(), available.height()));
    // Moved onto the screen where it would hang off an edge.
    fitted.moveLeft(
        std::clamp(fitted.left(), available.left(), available.right() + 1 - fitted.width()));
    fitted.moveTop(
        std::clamp(fitted.top(), available.top(), available.bottom() + 1 - fitted.height()));
    return fitted;
}

void ShowWindow::restoreWindowGeometry() {
    const std::optional<std::string> saved = preferences_.stringValue(kGeometryPreference);
    const bool restored =
        saved && restoreGeometry(QByteArray::fromBase64(QByteArray::fromStdString(*saved)));
    const QScreen* on = screen();
    const QRect available = on != nullptr ? on->availableGeometry() : QRect();
    if (!restored) {
        // Most of the screen, and no less than the list needs at its zoom
        // where the screen has room for it.
        const QSize wanted(std::max(static_cast<int>(kDefaultSize.width() * zoom_),
                                    static_cast<int>(available.width() * kDefaultScreenShare)),
                           std::max(static_cast<int>(kDefaultSize.height() * zoom_),
                                    static_cast<int>(available.height() * kDefaultScreenShare)));
        QRect frame(QPoint(), wanted);
        if (!available.isEmpty()) frame.moveCenter(available.center());
        setGeometry(fittedGeometry(frame, available));
        return;
    }
    // Saved on another screen, or a larger one: it never opens larger than
    // the screen it is on.
    if (!isMaximized() && !isFullScreen()) setGeometry(fittedGeometry(geometry(), available));
}

void ShowWindow::saveWindowGeometry() {
    preferences_.setString(kGeometryPreference, saveGeometry().toBase64().toStdString());
}

void ShowWindow::showOutputs() {
    if (patchView_ == nullptr) {
        patchView_ = new PatchView(engine_, center_, RenderContext::shared().maxTextureSize(),
                                   [this] {
                                       showView_->reloadColumns();
                                       outputWindows_->update();
                                   },
                                   this);
        patchView_->setLocked(show_.isLocked());
        patchView_->setSoundOutputChoice(
            {[this] { return show_.settings().soundOutput; },
             [this](const std::string& name) { chooseSoundOutput(name); }});
    }
    patchView_->show();
    patchView_->raise();
    patchView_->activateWindow();
}

void ShowWindow::chooseSoundOutput(const std::string& name) {
    if (name == show_.settings().soundOutput) return;
    if (refusedWhileLocked(tr("Sound Output"))) {
        if (patchView_ != nullptr) patchView_->showSoundOutput();
        return;
    }
    auto apply = [this](const std::string& output) {
        ShowSettings settings = show_.settings();
        settings.soundOutput = output;
        show_.setSettings(settings);
        if (patchView_ != nullptr) patchView_->showSoundOutput();
    };
    showView_->controller().undoStack().push(
        new SoundOutputEdit(apply, show_.settings().soundOutput, name));
}

void ShowWindow::buildCueMenu() {
    QMenu* menu = menuBar()->addMenu(tr("&Cue"));
    menu->setObjectName("cueMenu");
    // GO from the menu has no shortcut of its own: Return is GO, through cue
    // entry.
    QAction* go = menu->addAction(tr("&GO"));
    go->setObjectName("goAction");
    connect(go, &QAction::triggered, this, &ShowWindow::goFromWindow);
    QAction* panic = menu->addAction(tr("&Panic"));
    panic->setObjectName("panicAction");
    panic->setShortcut(kPanicShortcut);
    connect(panic, &QAction::triggered, this, &ShowWindow::panicFromWindow);
    menu->addSeparator();
    newCueAction_ = menu->addAction(tr("&New Cue"));
    newCueAction_->setObjectName("newCueAction");
    // No bare key: every one of those is the cue entry's or an editor's.
    newCueAction_->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_N));
    connect(newCueAction_, &QAction::triggered, this, &ShowWindow::newCue);
    duplicateCueAction_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_D));
    connect(duplicateCueAction_, &QAction::triggered, this, &ShowWindow::duplicateSelectedCue);
    deleteCueAction_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Delete));
    connect(deleteCueAction_, &QAction::triggered, this, &ShowWindow::deleteSelectedCue);
    menu->addAction(duplicateCueAction_);
    menu->addAction(deleteCueAction_);
}

void ShowWindow::buildCellMenu() {
    QMenu* menu = menuBar()->addMenu(tr("Ce&ll"));
    menu->setObjectName("cellMenu");
    CellActions& actions = showView_->tableView()->cellActions();
    actions.addTo(*menu);
    menu->addSeparator();
    menu->addAction(actions.action(CellActions::Command::CellMenu));
    actions.setRowActions({duplicateCueAction_, deleteCueAction_});
}

void ShowWindow::buildShowMenu() {
    QMenu* menu = menuBar()->addMenu(tr("&Show"));
    menu->setObjectName("showMenu");
    stopAtEndAction_ = menu->addAction(tr("&Stop After the Last Cue"));
    stopAtEndAction_->setObjectName("stopAtEndAction");
    stopAtEndAction_->setCheckable(true);
    stopAtEndAction_->setChecked(show_.settings().atEnd == ShowSettings::AtEnd::Stop);
    // The operator's choice only: a load sets the mark without this.
    connect(stopAtEndAction_, &QAction::triggered, this, [this](bool stop) {
        if (refusedWhileLocked(tr("Stop After the Last Cue"))) {
            stopAtEndAction_->setChecked(!stop);
            return;
        }
        ShowSettings settings = show_.settings();
        settings.atEnd = stop ? ShowSettings::AtEnd::Stop : ShowSettings::AtEnd::Wrap;
        show_.setSettings(settings);
        engineCuesChanged();
    });
    panicFadeAction_ = menu->addAction(tr("&Panic Fade…"));
    panicFadeAction_->setObjectName("panicFadeAction");
    connect(panicFadeAction_, &QAction::triggered, this, &ShowWindow::askPanicFade);
    QAction* webRemote = menu->addAction(tr("&Web Remote…"));
    webRemote->setObjectName("webRemoteAction");
    connect(webRemote, &QAction::triggered, this, &ShowWindow::showWebRemote);
    QMenu* fitMenu = menu->addMenu(tr("&Fit for New Media"));
    fitMenu->setObjectName("newMediaFitMenu");
    auto* fits = new QActionGroup(fitMenu);
    const std::pair<PictureFit, QString> choices[] = {
        {PictureFit::Fit, tr("&Fit: Whole Picture")},
        {PictureFit::Fill, tr("F&ill: Cover the Output")},
        {PictureFit::Stretch, tr("&Stretch")}};
    for (const auto& [fit, text] : choices) {
        QAction* choice = fitMenu->addAction(text);
        choice->setCheckable(true);
        choice->setData(static_cast<int>(fit));
        fits->addAction(choice);
        newMediaFitActions_.push_back(choice);
        connect(choice, &QAction::triggered, this, [this, fit = fit] {
            if (refusedWhileLocked(tr("Fit for New Media"))) {
                showNewMediaFit();
                return;
            }
            ShowSettings settings = show_.settings();
            settings.defaultFit = fit;
            show_.setSettings(settings);
        });
    }
    blackBarsAction_ = menu->addAction(tr("&Black Bars Around Fitted Pictures"));
    blackBarsAction_->setObjectName("blackBarsAction");
    blackBarsAction_->setCheckable(true);
    connect(blackBarsAction_, &QAction::triggered, this, [this](bool black) {
        if (refusedWhileLocked(tr("Black Bars Around Fitted Pictures"))) {
            showNewMediaFit();
            return;
        }
        ShowSettings settings = show_.settings();
        settings.bars = black ? PictureBars::Black : PictureBars::Transparent;
        show_.setSettings(settings);
    });
    showNewMediaFit();
    showView_->controller().setNewMediaFit([this] { return show_.settings().defaultFit; });
    menu->addSeparator();
    lockAction_ = menu->addAction(tr("&Lock for Performance"));
    lockAction_->setObjectName("lockAction");
    lockAction_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_L));
    connect(lockAction_, &QAction::triggered, this, &ShowWindow::toggleLock);
}

void ShowWindow::showNewMediaFit() {
    for (QAction* choice : newMediaFitActions_)
        choice->setChecked(choice->data().toInt() == static_cast<int>(show_.settings().defaultFit));
    blackBarsAction_->setChecked(show_.settings().bars == PictureBars::Black);
}

void ShowWindow::setWebRemote(std::unique_ptr<WebRemoteServer> server) {
    if (webRemote_) feedback_->removeListener(webRemote_.get());
    webRemote_ = std::move(server);
    if (webRemote_) {
        feedback_->addListener(webRemote_.get());
        webRemote_->setClientsChanged([this] {
            if (webRemoteDialog_) webRemoteDialog_->refresh();
        });
    }
    if (webRemoteDialog_) webRemoteDialog_->refresh();
}

void ShowWindow::showWebRemote() {
    if (!webRemoteDialog_) {
        WebRemoteDialog::Settings current;
        if (webRemote_) {
            current.port = webRemote_->port();
        } else if (const std::uint16_t asked =
                       portSetting(kWebPortSource, 0, preferences_, std::cerr);
                   asked != 0) {
            current.port = asked;
        }
        current.passcode =
            preferences_.stringValue(WebRemoteServer::kPasscodePreference).value_or("");
        webRemoteDialog_ = new WebRemoteDialog(
            current, [this] { return static_cast<const WebRemoteServer*>(webRemote_.get()); },
            [this](const WebRemoteDialog::Settings& settings) { return applyWebRemote(settings); },
            webRemoteProblem_, this);
        webRemoteDialog_->setAttribute(Qt::WA_DeleteOnClose);
    }
    webRemoteDialog_->show();
    webRemoteDialog_->raise();
    webRemoteDialog_->activateWindow();
}

std::optional<QString> ShowWindow::applyWebRemote(const WebRemoteDialog::Settings& settings) {
    if (refusedWhileLocked(tr("Web Remote")))
        return tr("Unlock the show to change the web remote.");
    preferences_.setString(kWebPortSource.preferenceKey,
                           settings.port ? std::to_string(*settings.port) : std::string("0"));
    preferences_.setString(WebRemoteServer::kPasscodePreference, settings.passcode);
    // The pages connected now reconnect by themselves to the new server.
    setWebRemote(nullptr);
    webRemoteProblem_.clear();
    if (!settings.port) return std::nullopt;
    auto server = std::make_unique<WebRemoteServer>(engine_, *feedback_);
    server->setPasscode(settings.passcode);
    std::string error;
    if (!server->listen(webAddressSetting(), *settings.port, &error)) {
        webRemoteProblem_ = tr("Port %1 cannot be opened: %2")
                                .arg(*settings.port)
                                .arg(QString::fromStdString(error));
        return webRemoteProblem_;
    }
    setWebRemote(std::move(server));
    return std::nullopt;
}

void ShowWindow::askPanicFade() {
    if (refusedWhileLocked(tr("Panic Fade"))) return;
    prompt_.askSeconds(this,
                       {tr("Panic Fade"), tr("Seconds for every output to fade to black:"),
                        show_.settings().panicSeconds, 0.0, ShowFile::kMaxPanicSeconds},
                       [this](double seconds) {
                           // The lock may have come while the dialog was up.
                           if (refusedWhileLocked(tr("Panic Fade"))) return;
                           ShowSettings settings = show_.settings();
                           settings.panicSeconds = seconds;
                           show_.setSettings(settings);
                       });
}

bool ShowWindow::isLocked() const {
    return show_.isLocked();
}

void ShowWindow::setLocked(bool locked) {
    show_.setLocked(locked);
}

void ShowWindow::toggleLock() {
    if (!show_.isLocked()) {
        show_.setLocked(true);
        return;
    }
    if (prompt_.confirm(this, {"unlockBox", tr("Unlock the show?"),
                               tr("Editing, opening another show and quitting become possible "
                                  "again."),
                               tr("&Unlock")})) {
        show_.setLocked(false);
    }
}

void ShowWindow::lockChanged(bool locked) {
    lockAction_->setText(locked ? tr("&Unlock…") : tr("&Lock for Performance"));
    lockBadge_->setVisible(locked);
    showView_->controller().setLocked(locked);
    if (patchView_ != nullptr) patchView_->setLocked(locked);
    setWindowTitle(titleFor(show_.fileURL(), locked));
    if (!locked) {
        refusalTimer_.stop();
        showAccessibleText(refusalLabel_, {});
    }
}

bool ShowWindow::refusedWhileLocked(const QString& what) {
    if (!show_.isLocked()) return false;
    showRefusal(what);
    return true;
}

void ShowWindow::showRefusal(const QString& what) {
    QString command = what;
    command.remove('&');
    command.remove(QStringLiteral("…"));
    showAccessibleText(
        refusalLabel_,
        tr("Locked for the performance: %1 refused. Unlock from the Show menu.").arg(command));
    refusalTimer_.start();
}

bool ShowWindow::confirmStageChange(const QString& consequence) {
    if (engine_.outputs().empty() || engine_.showsAlignmentGrid()) return true;
    return prompt_.confirm(
        this, {"runningShowBox",
               tr("A show is running on the outputs. Are you sure you wish to continue?"),
               consequence, tr("&Continue")});
}

void ShowWindow::newCue() {
    // Near the selected cue, or the typed number; after the last cue
    // without either.
    std::optional<double> near = cueEntry_.armedCue();
    if (!near) near = parseCueNumber(cueEntry_.text());
    const std::optional<int> row = showView_->controller().newCue(near);
    if (near && row && !showView_->selectedRow()) {
        cueEntry_.clear();
        showCueEntry();
    }
}

void ShowWindow::duplicateSelectedCue() {
    if (const std::optional<int> row = showView_->selectedRow())
        showView_->controller().duplicateCue(*row);
}

void ShowWindow::deleteSelectedCue() {
    const std::optional<int> row = showView_->selectedRow();
    if (!row) return;
    showView_->controller().deleteCue(*row);
    // Its row has gone with it: nothing is selected.
    showView_->deselectAll();
    listSelectionChanged();
}

void ShowWindow::listSelectionChanged() {
    const std::optional<double> id = showView_->selectedCueID();
    cueEntry_.selectCue(id);
    showCueEntry();
    cueSelected(id.has_value());
}

void ShowWindow::newShow() {
    if (refusedWhileLocked(tr("New Show"))) return;
    if (!confirmStageChange(tr("The outputs will be removed."))) return;
    if (!show_.confirmDiscardChanges()) return;
    showView_->deselectAll();
    show_.reset();
}

void ShowWindow::openShow() {
    if (fileDialog_) return;
    if (refusedWhileLocked(tr("Open Show"))) return;
    if (!confirmStageChange(tr("The outputs will show the alignment grid of the show you open.")))
        return;
    if (!show_.confirmDiscardChanges()) return;
    auto* dialog = new QFileDialog(this, tr("Open Show"));
    dialog->setObjectName("openShowDialog");
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    dialog->setFileMode(QFileDialog::ExistingFile);
    dialog->setNameFilter(kShowFilter);
    if (show_.fileURL()) {
        dialog->setDirectory(
            QString::fromStdString(std::filesystem::path(*show_.fileURL()).parent_path().string()));
    }
    connect(dialog, &QFileDialog::fileSelected, this, &ShowWindow::openShowFile);
    fileDialog_ = dialog;
    dialog->open();
}

void ShowWindow::openShowFile(const QString& path) {
    show_.load(path.toStdString());
}

void ShowWindow::openShowFromDesktop(const QString& path, OpeningReply reply) {
    bringToFront();
    const QString name =
        QString::fromStdString(std::filesystem::path(path.toStdString()).filename().string());
    if (refusedWhileLocked(tr("Opening %1").arg(name)) ||
        !confirmStageChange(tr("The outputs will show the alignment grid of %1.").arg(name)) ||
        !show_.confirmDiscardChanges()) {
        reply(Opening::Kept, {});
        return;
    }
    // A reply still waiting belongs to a load this one supersedes.
    if (pendingOpening_) std::exchange(pendingOpening_, {})(Opening::Kept, {});
    pendingOpening_ = std::move(reply);
    openShowFile(path);
}

void ShowWindow::bringToFront() {
    if (isMinimized()) {
        showNormal();
    } else {
        show();
    }
    raise();
    activateWindow();
}

void ShowWindow::reloadShow() {
    // Without a location a load could only fail: the command is disabled.
    if (!show_.fileURL()) return;
    if (refusedWhileLocked(tr("Reload Show"))) return;
    if (!confirmStageChange(
            tr("The cue on stage stays when the file has the same outputs; otherwise the "
               "outputs show its alignment grid.")))
        return;
    if (!show_.confirmDiscardChanges()) return;
    show_.reload();
}

void ShowWindow::saveShow() {
    if (!show_.fileURL()) {
        saveShowAs();
        return;
    }
    std::string failure;
    if (!show_.save(&failure)) warnSaveFailed(failure);
}

void ShowWindow::saveShowAs() {
    if (fileDialog_) return;
    if (refusedWhileLocked(tr("Save Show As"))) return;
    auto* dialog = new QFileDialog(this, tr("Save Show"));
    dialog->setObjectName("saveShowDialog");
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setFileMode(QFileDialog::AnyFile);
    dialog->setNameFilter(kShowFilter);
    dialog->setDefaultSuffix(kShowSuffix);
    if (show_.fileURL()) {
        dialog->selectFile(QString::fromStdString(*show_.fileURL()));
    } else {
        dialog->selectFile(tr("Untitled"));
    }
    connect(dialog, &QFileDialog::fileSelected, this, &ShowWindow::saveShowTo);
    fileDialog_ = dialog;
    dialog->open();
}

void ShowWindow::saveShowTo(const QString& path) {
    QString target = path;
    // The dialog adds the suffix itself, a desktop's own dialog may not.
    if (!target.endsWith(QStringLiteral(".") + kShowSuffix)) target += "." + kShowSuffix;
    std::optional<std::string> previous = show_.fileURL();
    show_.setFileURL(target.toStdString());
    std::string failure;
    if (!show_.save(&failure)) {
        // The show still lives where it did; a later Save must not aim at a
        // place that just failed.
        show_.setFileURL(std::move(previous));
        warnSaveFailed(failure);
        return;
    }
    setWindowTitle(titleFor(show_.fileURL(), show_.isLocked()));
    reloadShowAction_->setEnabled(true);
}

void ShowWindow::warnSaveFailed(const std::string& reason) {
    prompt_.warn(this, tr("The show could not be saved."), QString::fromStdString(reason));
}

void ShowWindow::closeEvent(QCloseEvent* event) {
    const bool asked =
        show_.isLocked()
            ? prompt_.confirm(this, {"quitLockedBox",
                                     tr("The show is locked for the performance. Are you sure "
                                        "you wish to quit?"),
                                     tr("The outputs will close."), tr("&Quit")})
            : confirmStageChange(tr("The outputs will close."));
    if (!asked || !show_.confirmDiscardChanges()) {
        event->ignore();
        return;
    }
    event->accept();
    saveWindowGeometry();
    // The output windows are windows of their own, and would keep the
    // program (and its remote control) running without this one.
    outputWindows_->closeAll();
    QCoreApplication::quit();
}

void ShowWindow::buildToolBar() {
    toolBar_ = addToolBar(tr("Show"));
    toolBar_->setObjectName("showToolBar");
    toolBar_->setStyle(toolBarStyle_.get());
    toolBar_->setMovable(false);
    toolBar_->setFloatable(false);
    toolBar_->setToolButtonStyle(Qt::ToolButtonTextOnly);

    auto addButton = [this](const QString& text, const char* objectName) {
        QAction* action = toolBar_->addAction(text);
        QWidget* button = toolBar_->widgetForAction(action);
        button->setObjectName(objectName);
        button->setFocusPolicy(Qt::NoFocus);
        return action;
    };
    duplicateCueAction_ = addButton(tr("Duplicate Cue"), "duplicateCueButton");
    deleteCueAction_ = addButton(tr("Delete Cue"), "deleteCueButton");
    cueSelected(false);

    gotoCueTextField_ = new QLineEdit(toolBar_);
    gotoCueTextField_->setObjectName("gotoCueTextField");
    gotoCueTextField_->setAccessibleName(tr("Cue number"));
    gotoCueTextField_->setPlaceholderText(tr("Cue"));
    gotoCueTextField_->setReadOnly(true);
    gotoCueTextField_->setFocusPolicy(Qt::NoFocus);
    gotoCueTextField_->setFixedWidth(120);
    toolBar_->addWidget(gotoCueTextField_);

    // The lock, at a glance from across the booth.
    auto* badge = new QLabel(tr("Locked"), toolBar_);
    badge->setObjectName("lockBadge");
    badge->setAccessibleName(tr("Show locked"));
    badge->setToolTip(tr("Locked for the performance: unlock from the Show menu"));
    badge->setStyleSheet(
        QStringLiteral("QLabel { background: #e8a317; color: black; "
                       "font-weight: bold; padding: 2px 8px; "
                       "border-radius: 3px; }"));
    // A widget on a toolbar shows and hides through its action.
    lockBadge_ = toolBar_->addWidget(badge);

    // Panic sits apart from GO, on the left, and its shortcut takes two
    // modifiers: neither is hit on the way to GO.
    auto* panic = new QToolButton(toolBar_);
    panic->setObjectName("panicButton");
    panic->setAccessibleName(tr("Panic"));
    panic->setText(tr("Panic"));
    panic->setToolTip(tr("Every output fades to black (%1); again: black at once")
                          .arg(kPanicShortcut.toString(QKeySequence::NativeText)));
    panic->setFocusPolicy(Qt::NoFocus);
    connect(panic, &QToolButton::clicked, this, &ShowWindow::panicFromWindow);
    toolBar_->addWidget(panic);

    goSpacer_ = new CentringSpacer(toolBar_);
    toolBar_->addWidget(goSpacer_);

    goButton_ = new QToolButton(toolBar_);
    goButton_->setObjectName("goButton");
    goButton_->setAccessibleName(tr("GO"));
    goButton_->setText(tr("GO"));
    goButton_->setFocusPolicy(Qt::NoFocus);
    QFont font = goButton_->font();
    font.setBold(true);
    goButton_->setFont(font);
    goButton_->setMinimumWidth(96);
    connect(goButton_, &QToolButton::clicked, this, &ShowWindow::goFromWindow);
    toolBar_->addWidget(goButton_);
}

void ShowWindow::buildStatusBar() {
    lastGoLabel_ = makeStatusLabel("lastGoLabel", tr("Last GO"), this);
    refusalLabel_ = makeStatusLabel("refusalLabel", tr("Refused"), this);
    QFont refusalFont = refusalLabel_->font();
    refusalFont.setBold(true);
    refusalLabel_->setFont(refusalFont);
    framesDroppedLabel_ = makeStatusLabel("framesDroppedLabel", tr("Frames dropped"), this);
    goLatencyLabel_ = makeStatusLabel("goLatencyLabel", tr("GO latency"), this);
    fpsLabel_ = makeStatusLabel("fpsLabel", tr("Frame rate"), this);
    clockLabel_ = makeStatusLabel("clockLabel", tr("Show clock"), this);
    clockLabel_->hide();
    sharingLabel_ = makeStatusLabel("sharingLabel", tr("Frame sharing"), this);
    sharingLabel_->hide();
    soundLabel_ = makeStatusLabel("soundLabel", tr("Sound output"), this);
    soundLabel_->hide();
    mediaLabel_ = makeStatusLabel("mediaLabel", tr("Missing media"), this);
    mediaLabel_->hide();
    statusBar()->addWidget(lastGoLabel_, 1);
    statusBar()->addWidget(refusalLabel_, 1);
    // The figures sit apart, so that two warnings side by side read as two.
    for (QLabel* figure : {mediaLabel_, soundLabel_, sharingLabel_, clockLabel_,
                           framesDroppedLabel_, goLatencyLabel_, fpsLabel_}) {
        figure->setContentsMargins(8, 0, 0, 0);
        statusBar()->addPermanentWidget(figure);
    }
}

void ShowWindow::cueSelected(bool selected) {
    duplicateCueAction_->setEnabled(selected);
    deleteCueAction_->setEnabled(selected);
}

void ShowWindow::setClockStatusSource(std::function<ShowHealth::ClockStatus()> source) {
    clockStatus_ = std::move(source);
    if (clockStatus_) {
        feedback_->setClockStatusSource(
            [this]() -> std::optional<ShowHealth::ClockStatus> { return clockStatus_(); });
    } else {
        feedback_->setClockStatusSource(nullptr);
    }
    updateRefreshRate();
}

void ShowWindow::setSharingProblemSource(std::function<std::optional<std::string>()> source) {
    sharingProblem_ = std::move(source);
    updateRefreshRate();
}

void ShowWindow::setSoundProblemSource(std::function<std::optional<std::string>()> source) {
    soundProblem_ = std::move(source);
    updateRefreshRate();
}

void ShowWindow::setMissingSoundOutputSource(
    std::function<std::optional<std::string>()> source) {
    missingSoundOutput_ = std::move(source);
    updateRefreshRate();
}

void ShowWindow::updateRefreshRate() {
    // The files are looked at off this thread; the figures take what the
    // last look found.
    mediaWatch_.check(engine_.stack().cues());
    sample_ = engine_.healthSample();
    sample_.missingMedia = mediaWatch_.missingMedia();
    if (sharingProblem_) sample_.sharingProblem = sharingProblem_();
    if (clockStatus_) sample_.clock = clockStatus_();
    if (soundProblem_) sample_.soundProblem = soundProblem_();
    if (missingSoundOutput_) sample_.missingSoundOutput = missingSoundOutput_();
    health_.update(sample_);
    feedback_->healthChecked(health_.warnings());
    showHealth();
    showView_->refresh();
}

void ShowWindow::showHealth() {
    using Kind = ShowHealth::Kind;
    showFigure(fpsLabel_, QString::number(sample_.framesPerSecond) + QStringLiteral(" FPS"),
               Kind::FrameRate);
    showFigure(framesDroppedLabel_, tr("%1 dropped").arg(sample_.framesDropped),
               Kind::DroppedFrames);
    const std::optional<double>& latency = sample_.lastGoLatency;
    showFigure(goLatencyLabel_,
               latency ? tr("GO %1 ms").arg(*latency * 1000.0, 0, 'f', 1) : tr("GO – ms"),
               Kind::GoLatency);
    showFigure(clockLabel_, sample_.clock ? QString::fromStdString(sample_.clock->text) : QString(),
               Kind::Clock);
    clockLabel_->setVisible(sample_.clock.has_value());
    showFigure(sharingLabel_, QString(), Kind::Sharing);
    sharingLabel_->setVisible(health_.warning(Kind::Sharing) != nullptr);
    showFigure(soundLabel_, QString(), Kind::Sound);
    soundLabel_->setVisible(health_.warning(Kind::Sound) != nullptr);
    showFigure(mediaLabel_, QString(), Kind::MissingMedia);
    mediaLabel_->setVisible(health_.warning(Kind::MissingMedia) != nullptr);
}

void ShowWindow::showFigure(QLabel* label, const QString& plain, ShowHealth::Kind kind) {
    const ShowHealth::Warning* warning = health_.warning(kind);
    if (warning == nullptr) {
        showAccessibleText(label, plain);
        label->setToolTip(QString());
        // Empty ones: the label inherits the window's font and colours again.
        label->setFont(QFont());
        label->setPalette(QPalette());
        return;
    }
    showAccessibleText(label, QString::fromStdString(warning->text));
    // Rich text, so that the tooltip wraps its sentences; the list of
    // missing files keeps its lines.
    label->setToolTip(QStringLiteral("<p>") +
                      QString::fromStdString(warning->explanation)
                          .toHtmlEscaped()
                          .replace(QLatin1Char('\n'), QStringLiteral("<br>")) +
                      QStringLiteral("</p>"));
    QFont bold;
    bold.setBold(true);
    label->setFont(bold);
    QPalette palette;
    palette.setColor(QPalette::WindowText, Look::warningColour(darkMode_));
    label->setPalette(palette);
}

void ShowWindow::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
        case Qt::Key_Backspace:
            cueEntry_.backspace();
            break;
        case Qt::Key_Return:
        case Qt::Key_Enter:
            if (cueEntry_.returnPressed(event->isAutoRepeat(), event->timestamp(),
                                        keyRepeatInterval())) {
                showGoResult();
            }
            break;
        case Qt::Key_Escape:
            cueEntry_.escapePressed();
            break;
        default: {
            const Qt::KeyboardModifiers modifiers = event->modifiers();
            // Shortcuts are not text.
            if (modifiers & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier) ||
                event->text().isEmpty()) {
                QMainWindow::keyPressEvent(event);
                return;
            }
            cueEntry_.insertText(event->text().toStdString(),
                                 modifiers.testFlag(Qt::KeypadModifier));
            break;
        }
    }
    showCueEntry();
    event->accept();
}

void ShowWindow::keyReleaseEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        cueEntry_.returnReleased(event->timestamp());
        event->accept();
        return;
    }
    QMainWindow::keyReleaseEvent(event);
}

void ShowWindow::panicFromWindow() {
    engine_.panic();
    engineChanged();
}

void ShowWindow::goFromWindow() {
    cueEntry_.goOrGoToCue(GoSource::Button);
    showGoResult();
}

void ShowWindow::showGoResult() {
    showCueEntry();
    showLastGo();
    engineChanged();
}

void ShowWindow::showCueEntry() {
    gotoCueTextField_->setText(QString::fromStdString(cueEntry_.text()));
    showView_->setArmedCue(cueEntry_.armedCue());
}

void ShowWindow::showLastGo() {
    if (const std::optional<IgnoredGo>& ignored = engine_.lastIgnoredGo()) {
        showAccessibleText(
            lastGoLabel_,
            tr("GO ignored: %1 s after the last").arg(ignored->secondsAfterLast, 0, 'f', 2));
        return;
    }
    const std::optional<CueEntry::LastGo>& go = cueEntry_.lastGo();
    if (go && go->endOfShow) {
        showAccessibleText(lastGoLabel_, tr("End of show"));
        return;
    }
    if (!go || !go->typedNamedNoCue || !go->typed) {
        showAccessibleText(lastGoLabel_, QString());
        return;
    }
    showAccessibleText(lastGoLabel_, tr("No cue %1: GO ran %2")
                                         .arg(QString::fromStdString(formatCueNumber(*go->typed)),
                                              ShowView::describeCue(go->ran)));
}

void ShowWindow::showWillLoad() {
    // The outputs stay on until the new show installs; the sheet says what
    // is loading.
    loadingSheet_->present(show_.loadingURL());
}

void ShowWindow::showDidLoad() {
    // The sheet goes first, so that a warning below is not hidden under it.
    loadingSheet_->showLoaded();
    showView_->showDidLoad();
    outputWindows_->update();
    setWindowTitle(titleFor(show_.fileURL(), show_.isLocked()));
    reloadShowAction_->setEnabled(show_.fileURL().has_value());
    stopAtEndAction_->setChecked(show_.settings().atEnd == ShowSettings::AtEnd::Stop);
    showNewMediaFit();
    updateRefreshRate();
    const std::optional<std::string>& failure = show_.loadFailure();
    if (failure) {
        prompt_.warn(this, tr("The show could not be loaded."), QString::fromStdString(*failure));
    }
    if (pendingOpening_) {
        const OpeningReply reply = std::exchange(pendingOpening_, {});
        if (failure) {
            reply(Opening::Failed, QString::fromStdString(*failure));
        } else {
            reply(show_.loadCancelled() ? Opening::Kept : Opening::Opened, {});
        }
    }
}

void ShowWindow::engineChanged() {
    showView_->refresh();
}

void ShowWindow::engineCuesChanged() {
    showView_->cuesChanged();
}

}  // namespace bw
