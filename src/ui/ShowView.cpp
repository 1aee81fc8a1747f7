#include "ui/ShowView.h"

#include <QColor>
#include <QHBoxLayout>
#include <QItemSelectionModel>
#include <QVBoxLayout>
#include <algorithm>
#include <chrono>
#include <cmath>

#include "engine/MediaEngine.h"
#include "media/MediaCatalog.h"
#include "platform/MainQueue.h"
#include "show/CueStack.h"
#include "show/NumberText.h"
#include "ui/cuelist/CueListController.h"
#include "ui/cuelist/CueListModel.h"
#include "ui/cuelist/GeneratorTile.h"
#include "ui/cuelist/ShowTableView.h"

namespace bw {

namespace {

constexpr std::chrono::milliseconds kFadeRefreshInterval{100};
constexpr int kProgressSteps = 1000;

QLabel* makeLabel(const char* objectName, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setObjectName(objectName);
    label->setTextFormat(Qt::PlainText);
    return label;
}

// The next line's colour when GO goes back to the first cue: amber, with
// the contrast of body text on either background.
QColor wrapWarningColour(bool dark) {
    return dark ? QColor(0xff, 0xb3, 0x47) : QColor(0x9a, 0x4d, 0x00);
}

}  // namespace

ShowView::ShowView(MediaEngine& engine, CueStack& stack, QWidget* parent)
    : QWidget(parent),
      engine_(engine),
      stack_(stack),
      catalog_(std::make_unique<MediaCatalog>(MediaCatalog::Parts{MainQueue::shared()})),
      model_(std::make_unique<CueListModel>(engine, stack, *catalog_)),
      controller_(std::make_unique<CueListController>(engine, stack, *model_)),
      tableView_(new ShowTableView(*model_, *controller_, *catalog_, this)),
      currentCueLabel_(makeLabel("currentCueLabel", this)),
      nextCueLabel_(makeLabel("nextCueLabel", this)),
      fadeProgress_(new QProgressBar(this)) {
    setObjectName("showView");
    setAccessibleName(tr("Show"));
    currentCueLabel_->setAccessibleName(tr("Cue on stage"));
    nextCueLabel_->setAccessibleName(tr("Next cue"));
    fadeProgress_->setObjectName("fadeProgress");
    fadeProgress_->setAccessibleName(tr("Crossfade progress"));
    fadeProgress_->setRange(0, kProgressSteps);
    fadeProgress_->setFormat(tr("fade %p %"));
    fadeProgress_->setMaximumWidth(220);

    auto* line = new QHBoxLayout;
    line->addWidget(currentCueLabel_, 1);
    line->addWidget(nextCueLabel_, 1);
    line->addWidget(fadeProgress_);
    auto* tiles = new QHBoxLayout;
    auto* tilesLabel = new QLabel(tr("Drag onto an output:"), this);
    tiles->addWidget(tilesLabel);
    for (const char* url : {"black://", "clear://", "grid://"}) {
        auto* tile = new GeneratorTile(QString::fromLatin1(url), this);
        tile->setFixedSize(tile->sizeHint());
        tiles->addWidget(tile);
    }
    tiles->addStretch(1);

    auto* column = new QVBoxLayout(this);
    column->addLayout(line);
    column->addWidget(tableView_, 1);
    column->addLayout(tiles);

    connect(tableView_->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &ShowView::selectionChanged);
    connect(model_.get(), &QAbstractItemModel::modelReset, this, &ShowView::selectionChanged);
    // A renumbered cue moves its row, the selection with it: its new ID is
    // what the selection arms now.
    connect(model_.get(), &QAbstractItemModel::rowsMoved, this, &ShowView::selectionChanged);

    fadeTimer_.setInterval(kFadeRefreshInterval);
    connect(&fadeTimer_, &QTimer::timeout, this, &ShowView::refresh);
    refresh();
}

ShowView::~ShowView() {
    // The table goes before the model it shows.
    delete tableView_;
}

std::optional<int> ShowView::selectedRow() const {
    return tableView_->selectedRow();
}

std::optional<double> ShowView::selectedCueID() const {
    const std::optional<int> row = selectedRow();
    const Cue* cue = row ? model_->cueAt(*row) : nullptr;
    if (cue == nullptr) return std::nullopt;
    return cue->id;
}

void ShowView::deselectAll() {
    tableView_->clearSelection();
}

void ShowView::setDarkMode(bool dark) {
    darkMode_ = dark;
    tableView_->setDarkMode(dark);
    refresh();
}

void ShowView::setArmedCue(std::optional<double> id) {
    if (id == armedCue_) return;
    armedCue_ = id;
    model_->setArmedCue(id);
    refresh();
}

void ShowView::showDidLoad() {
    controller_->clearHistory();
    model_->reload();
    catalog_->refresh();
}

void ShowView::reloadColumns() {
    model_->reload();
}

void ShowView::cuesChanged() {
    model_->recomputeHighlights();
    for (const std::optional<int>& row : {model_->currentRow(), model_->nextRow()}) {
        if (row) tableView_->scrollTo(model_->index(*row, 0), QAbstractItemView::EnsureVisible);
    }
    refresh();
}

QString ShowView::describeCue(const std::optional<Cue>& cue) {
    if (!cue) return tr("none");
    QString text = QString::fromStdString(formatCueNumber(cue->id));
    if (!cue->description.empty()) text += ' ' + QString::fromStdString(cue->description);
    return text;
}

void ShowView::refresh() {
    // The text is the accessible description too: the accessible name says
    // which line it is.
    currentCueLabel_->setText(engine_.showsPanic()
                                  ? tr("Now: Panic")
                                  : tr("Now: %1").arg(describeCue(engine_.currentCue())));
    currentCueLabel_->setAccessibleDescription(currentCueLabel_->text());
    MediaEngine::GoTarget target = engine_.cueGoRuns();
    if (armedCue_) {
        if (const std::optional<std::size_t> index = stack_.indexOfCue(*armedCue_))
            target = {stack_.cues()[*index], false};
    }
    if (target.endOfShow) {
        nextCueLabel_->setText(tr("Next: End of show"));
        nextCueLabel_->setStyleSheet(QString());
    } else if (target.wraps) {
        nextCueLabel_->setText(
            tr("Next: %1 (GO goes back to the first cue)").arg(describeCue(target.cue)));
        nextCueLabel_->setStyleSheet(
            QStringLiteral("color: %1;").arg(wrapWarningColour(darkMode_).name()));
    } else {
        nextCueLabel_->setText(tr("Next: %1").arg(describeCue(target.cue)));
        nextCueLabel_->setStyleSheet(QString());
    }
    nextCueLabel_->setAccessibleDescription(nextCueLabel_->text());

    // A crossfade runs while a previous cue is still fading out.
    const std::optional<double> progress = engine_.fadeTransitionProgress();
    const bool fading = progress && engine_.previousCue().has_value();
    if (fading) {
        // A cut's progress jumps past 1 on its last tick.
        const double shown = std::isfinite(*progress) ? std::clamp(*progress, 0.0, 1.0) : 1.0;
        fadeProgress_->setValue(static_cast<int>(std::lround(shown * kProgressSteps)));
        if (!fadeTimer_.isActive()) fadeTimer_.start();
    } else {
        fadeProgress_->reset();
        fadeTimer_.stop();
    }
    fadeProgress_->setEnabled(fading);
}

}  // namespace bw
