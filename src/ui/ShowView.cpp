#include "ui/ShowView.h"

#include <QHBoxLayout>
#include <QItemSelectionModel>
#include <QVBoxLayout>
#include <algorithm>
#include <chrono>

#include "engine/MediaEngine.h"
#include "media/MediaCatalog.h"
#include "platform/MainQueue.h"
#include "show/CueStack.h"
#include "show/NumberText.h"
#include "ui/StageLine.h"
#include "ui/cuelist/CueListController.h"
#include "ui/cuelist/CueListModel.h"
#include "ui/cuelist/GeneratorTile.h"
#include "ui/cuelist/ShowTableView.h"

namespace bw {

namespace {

constexpr std::chrono::milliseconds kTimingRefreshInterval{100};
// Rows kept below the next cue when the list scrolls to it.
constexpr int kLookAheadRows = 3;

}  // namespace

ShowView::ShowView(MediaEngine& engine, CueStack& stack, QWidget* parent)
    : QWidget(parent),
      engine_(engine),
      stack_(stack),
      catalog_(std::make_unique<MediaCatalog>(MediaCatalog::Parts{MainQueue::shared()})),
      model_(std::make_unique<CueListModel>(engine, stack, *catalog_)),
      controller_(std::make_unique<CueListController>(engine, stack, *model_)),
      tableView_(new ShowTableView(*model_, *controller_, *catalog_, this)),
      stageLine_(new StageLine(this)) {
    setObjectName("showView");
    setAccessibleName(tr("Show"));

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
    column->addWidget(stageLine_);
    column->addWidget(tableView_, 1);
    column->addLayout(tiles);

    connect(tableView_->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &ShowView::selectionChanged);
    connect(model_.get(), &QAbstractItemModel::modelReset, this, &ShowView::selectionChanged);
    // A renumbered cue moves its row, the selection with it: its new ID is
    // what the selection arms now.
    connect(model_.get(), &QAbstractItemModel::rowsMoved, this, &ShowView::selectionChanged);

    timingTimer_.setInterval(kTimingRefreshInterval);
    connect(&timingTimer_, &QTimer::timeout, this, &ShowView::refresh);
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
    stageLine_->setDarkMode(dark);
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

void ShowView::setZoom(double zoom) {
    stageLine_->setZoom(zoom);
    tableView_->setZoom(zoom);
}

void ShowView::cuesChanged() {
    model_->recomputeHighlights();
    const std::optional<int> next = model_->nextRow();
    if (next) {
        // A few rows past the next cue first, then the cue itself, so that
        // the operator sees what follows it too.
        const int ahead = std::min(*next + kLookAheadRows, model_->rowCount() - 1);
        tableView_->scrollTo(model_->index(ahead, 0), QAbstractItemView::EnsureVisible);
        tableView_->scrollTo(model_->index(*next, 0), QAbstractItemView::EnsureVisible);
    } else if (const std::optional<int> current = model_->currentRow()) {
        tableView_->scrollTo(model_->index(*current, 0), QAbstractItemView::EnsureVisible);
    }
    refresh();
}

QString ShowView::describeCue(const std::optional<Cue>& cue) {
    if (!cue) return tr("none");
    QString text = QString::fromStdString(formatCueNumber(cue->id));
    if (!cue->description.empty()) text += ' ' + QString::fromStdString(cue->description);
    return text;
}

QString ShowView::describeStage() const {
    if (engine_.showsPanic()) return tr("Now: Panic");
    if (engine_.showsAlignmentGrid()) return tr("Now: Alignment grid");
    return tr("Now: %1").arg(describeCue(engine_.currentCue()));
}

void ShowView::refresh() {
    MediaEngine::GoTarget target = engine_.cueGoRuns();
    if (armedCue_) {
        if (const std::optional<std::size_t> index = stack_.indexOfCue(*armedCue_))
            target = {stack_.cues()[*index], false};
    }
    QString next;
    if (target.endOfShow) {
        next = tr("Next: End of show");
    } else if (target.wraps) {
        next = tr("Next: %1 (GO goes back to the first cue)").arg(describeCue(target.cue));
    } else {
        next = tr("Next: %1").arg(describeCue(target.cue));
    }
    const std::optional<CueChain::Countdown>& countdown = engine_.chain().countdown();
    if (countdown && !armedCue_ && target.cue && target.cue->id == countdown->cueID) {
        const std::optional<double> left = engine_.chain().secondsLeft();
        next += left ? tr(" (auto in %1 s)").arg(*left, 0, 'f', 1) : tr(" (auto at movie end)");
    }
    stageLine_->setCues(describeStage(), next, target.wraps && !target.endOfShow);

    const MediaEngine::StageTiming timing = engine_.stageTiming();
    stageLine_->setTiming(timing);
    // While a fade, a movie or a cue's own wait runs, the times move ten
    // times a second.
    if (timing.fade || (timing.movie && !timing.movie->ended) || countdown) {
        if (!timingTimer_.isActive()) timingTimer_.start();
    } else {
        timingTimer_.stop();
    }
}

}  // namespace bw
