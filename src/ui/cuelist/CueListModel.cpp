#include "ui/cuelist/CueListModel.h"

#include <QFile>
#include <QHash>
#include <algorithm>

#include "engine/MediaEngine.h"
#include "engine/MediaOutput.h"
#include "media/Thumbnail.h"
#include "platform/Resources.h"
#include "show/NumberText.h"
#include "ui/Look.h"

namespace bw {

namespace {

const QString kVideoCell = QStringLiteral("VideoStateCell");
const QString kImageCell = QStringLiteral("ImageStateCell");
const QString kGeneratorCell = QStringLiteral("GeneratorStateCell");

QString displayNumber(double value) {
    return QString::fromStdString(formatCueNumber(value));
}

QString fileName(const MediaURL& url) {
    return QFile::decodeName(QByteArray::fromStdString(url.lastPathComponent()));
}

// The thumbnail's pixels as they are, without a copy: the image keeps the
// thumbnail alive until its last copy goes.
QImage toImage(const ThumbnailImageRef& thumbnail) {
    if (!thumbnail || thumbnail->rgba.empty()) return {};
    auto* keeper = new ThumbnailImageRef(thumbnail);
    return QImage(
        thumbnail->rgba.data(), thumbnail->width, thumbnail->height, thumbnail->width * 4,
        QImage::Format_RGBA8888, [](void* kept) { delete static_cast<ThumbnailImageRef*>(kept); },
        keeper);
}

// Black or white, whichever reads better on `background`.
QColor textOn(const QColor& background) {
    return Look::contrastRatio(background, Qt::black) >= Look::contrastRatio(background, Qt::white)
               ? QColor(Qt::black)
               : QColor(Qt::white);
}

}  // namespace

CueListModel::CueListModel(MediaEngine& engine, CueStack& stack, MediaCatalog& catalog,
                           QObject* parent)
    : QAbstractTableModel(parent), engine_(engine), stack_(stack), catalog_(catalog) {
    stackObserver_ = stack_.addObserver([this] { stackChanged(); });
    catalogObserver_ =
        catalog_.addObserver([this](const std::string& path) { catalogChanged(path); });
    takeSnapshot();
    recomputeHighlights();
}

CueListModel::~CueListModel() {
    stack_.removeObserver(stackObserver_);
    catalog_.removeObserver(catalogObserver_);
}

void CueListModel::takeSnapshot() {
    cues_ = stack_.cues();
    outputNames_.clear();
    for (const auto& output : engine_.outputs())
        outputNames_.push_back(QString::fromStdString(output->name()));
}

int CueListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(cues_.size());
}

int CueListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : 1 + static_cast<int>(outputNames_.size()) + 3;
}

std::optional<CueListModel::Timing> CueListModel::timingOf(int column) const {
    const int first = timingColumn(Timing::PreWait);
    if (column < first || column > first + 2) return std::nullopt;
    return static_cast<Timing>(column - first);
}

QString CueListModel::continueText(CueContinue mode) {
    switch (mode) {
        case CueContinue::None:
            return {};
        case CueContinue::AutoContinue:
            return tr("Auto-continue");
        case CueContinue::AutoFollow:
            return tr("Auto-follow");
    }
    return {};
}

const Cue* CueListModel::cueAt(int row) const {
    if (row < 0 || row >= static_cast<int>(cues_.size())) return nullptr;
    return &cues_[static_cast<std::size_t>(row)];
}

const MediaOutputState* CueListModel::stateAt(int row, int output) const {
    const Cue* cue = cueAt(row);
    if (cue == nullptr || output < 0 || output >= static_cast<int>(outputNames_.size()) ||
        output >= static_cast<int>(cue->outputStates.size())) {
        return nullptr;
    }
    return &cue->outputStates[static_cast<std::size_t>(output)];
}

QImage CueListModel::generatorImage(const QString& name) {
    // Read once each; a picture that cannot be read is drawn as nothing.
    static QHash<QString, QImage> images;
    auto found = images.find(name);
    if (found == images.end()) {
        const auto path = Resources::path("images", name.toStdString(), "png");
        found = images.insert(name, QImage(QString::fromStdString(path.string())));
    }
    return found.value();
}

QPixmap CueListModel::generatorPixmap(const QString& name) {
    static QHash<QString, QPixmap> pixmaps;
    auto found = pixmaps.find(name);
    if (found == pixmaps.end())
        found = pixmaps.insert(name, QPixmap::fromImage(generatorImage(name)));
    return found.value();
}

QPixmap CueListModel::pixmapOf(const ThumbnailImageRef& thumbnail) const {
    if (!thumbnail) return {};
    auto found = pixmaps_.find(thumbnail.get());
    if (found == pixmaps_.end()) {
        found = pixmaps_
                    .emplace(thumbnail.get(),
                             std::pair(thumbnail, QPixmap::fromImage(toImage(thumbnail))))
                    .first;
    }
    return found->second.second;
}

QString CueListModel::missingText(const MediaURL& url) {
    return tr("Media Missing:\n") + fileName(url);
}

CueListModel::CellForm CueListModel::formOf(const MediaOutputState& state) const {
    const MediaURL& url = state.mediaURL;
    if (!url.isFileURL()) {
        const std::string text = url.absoluteString();
        if (text == "clear://") return {kGeneratorCell, tr("Clear"), generatorPixmap("clear")};
        if (text == "grid://") return {kGeneratorCell, tr("Grid"), generatorPixmap("grid")};
        if (text == "black://") return {kGeneratorCell, tr("Black"), generatorPixmap("black")};
        return {kGeneratorCell, tr("Unknown Error"), generatorPixmap("missing")};
    }
    const MediaCatalog::Entry entry = catalog_.entry(url);
    if (!entry.kindKnown) {
        // Looked up in the background: the name now, the rest when it comes.
        return {kGeneratorCell, fileName(url), {}, true};
    }
    switch (entry.kind) {
        case MediaKind::Movie:
            return {kVideoCell, fileName(url), pixmapOf(entry.thumbnail), !entry.thumbnail};
        case MediaKind::Image:
            return {kImageCell, fileName(url), pixmapOf(entry.thumbnail), !entry.thumbnail};
        case MediaKind::None:
            break;
    }
    return {kGeneratorCell, missingText(url), generatorPixmap("missing")};
}

QVariant CueListModel::data(const QModelIndex& index, int role) const {
    const Cue* cue = index.isValid() ? cueAt(index.row()) : nullptr;
    if (cue == nullptr || index.column() >= columnCount()) return {};
    const int row = index.row();

    if (role == Qt::BackgroundRole || role == Qt::ForegroundRole) {
        std::optional<QColor> colour;
        if (row == currentRow_) {
            colour = currentCueColor();
        } else if (row == nextRow_) {
            colour = nextCueColor();
        }
        if (!colour) return {};
        return role == Qt::BackgroundRole ? QVariant(*colour) : QVariant(textOn(*colour));
    }
    if (role == DropTargetRole) return index == dropTarget_;
    if (role == ChainsRole) return cue->chains();

    if (const std::optional<Timing> timing = timingOf(index.column())) {
        const bool text = role == Qt::DisplayRole || role == Qt::AccessibleTextRole;
        switch (*timing) {
            case Timing::PreWait:
                if (text) return cue->preWait > 0.0 ? displayNumber(cue->preWait) : QString();
                return role == PreWaitRole ? QVariant(cue->preWait) : QVariant();
            case Timing::Continue:
                if (text) return continueText(cue->continueMode);
                return role == ContinueRole ? QVariant(static_cast<int>(cue->continueMode))
                                            : QVariant();
            case Timing::PostWait:
                // A post-wait counts only where something follows.
                if (text)
                    return cue->postWait > 0.0 || cue->chains() ? displayNumber(cue->postWait)
                                                                : QString();
                return role == PostWaitRole ? QVariant(cue->postWait) : QVariant();
        }
    }

    if (index.column() == 0) {
        switch (role) {
            case Qt::DisplayRole:
            case Qt::AccessibleTextRole:
                return displayNumber(cue->id);
            case Qt::AccessibleDescriptionRole:
                return tr("fade %1 s %2")
                    .arg(displayNumber(cue->fadeLength), QString::fromStdString(cue->description));
            case CueIDRole:
                return cue->id;
            case FadeLengthRole:
                return cue->fadeLength;
            case FadeLengthTextRole:
                return displayNumber(cue->fadeLength);
            case DescriptionRole:
                return QString::fromStdString(cue->description);
            default:
                return {};
        }
    }

    const MediaOutputState* state = stateAt(row, index.column() - 1);
    if (state == nullptr) return {};
    switch (role) {
        case CellTemplateRole:
            return formOf(*state).templateName;
        case Qt::DisplayRole:
        case Qt::AccessibleTextRole:
            return formOf(*state).text;
        case Qt::DecorationRole:
            return formOf(*state).picture;
        case PendingRole:
            return formOf(*state).pending;
        case AudioRole:
            return !state->muted;
        case LoopedRole:
            return state->looped;
        case KenBurnsRole:
            return state->kenBurns;
        case FitRole:
            return static_cast<int>(state->fit);
        case MediaURLRole:
            return QString::fromStdString(state->mediaURL.absoluteString());
        default:
            return {};
    }
}

QVariant CueListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || section < 0 || section >= columnCount()) return {};
    const std::optional<Timing> timing = timingOf(section);
    if (role == ColumnIdentifierRole) {
        if (timing) {
            static const char* const names[] = {"PreWaitColumn", "ContinueColumn",
                                                "PostWaitColumn"};
            return QString::fromLatin1(names[static_cast<int>(*timing)]);
        }
        return section == 0 ? QStringLiteral("CueColumn") : QStringLiteral("MediaOutput");
    }
    if (role == Qt::DisplayRole) {
        if (timing) {
            const QString names[] = {tr("Pre-wait"), tr("Continue"), tr("Post-wait")};
            return names[static_cast<int>(*timing)];
        }
        return section == 0 ? tr("Cue") : outputNames_[section - 1];
    }
    return {};
}

Qt::ItemFlags CueListModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) return Qt::NoItemFlags;
    Qt::ItemFlags flags = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    if (index.column() == 0 || timingOf(index.column())) flags |= Qt::ItemIsEditable;
    return flags;
}

bool CueListModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (!index.isValid() || !editHandler_ || cueAt(index.row()) == nullptr) return false;
    if (const std::optional<Timing> timing = timingOf(index.column())) {
        const Role wanted = *timing == Timing::PreWait    ? PreWaitRole
                            : *timing == Timing::Continue ? ContinueRole
                                                          : PostWaitRole;
        if (role != wanted) return false;
        return editHandler_(index.row(), std::nullopt, wanted, value);
    }
    const bool cueCell = index.column() == 0;
    const bool cueRole = role == CueIDRole || role == FadeLengthRole || role == DescriptionRole;
    const bool flagRole =
        role == AudioRole || role == LoopedRole || role == KenBurnsRole || role == FitRole;
    if ((cueCell && !cueRole) || (!cueCell && !flagRole)) return false;
    if (!cueCell && stateAt(index.row(), index.column() - 1) == nullptr) return false;
    const std::optional<int> output =
        cueCell ? std::nullopt : std::optional<int>(index.column() - 1);
    return editHandler_(index.row(), output, static_cast<Role>(role), value);
}

void CueListModel::stackChanged() {
    if (ownEdits_ == 0) reload();
}

void CueListModel::reload() {
    beginResetModel();
    takeSnapshot();
    // Pictures are made again for the cells shown: the list may name other
    // files now.
    pixmaps_.clear();
    dropTarget_ = QPersistentModelIndex();
    // Rows keep no colour across a reset: found again below.
    currentRow_.reset();
    nextRow_.reset();
    endResetModel();
    recomputeHighlights();
}

void CueListModel::rowInserted(int row) {
    if (stack_.cues().size() != cues_.size() + 1 || row < 0 || row > rowCount()) {
        reload();
        return;
    }
    beginInsertRows({}, row, row);
    cues_ = stack_.cues();
    // Rows at and below `row` moved down one.
    auto shift = [row](std::optional<int>& index) {
        if (index && *index >= row) ++*index;
    };
    shift(currentRow_);
    shift(nextRow_);
    endInsertRows();
    recomputeHighlights();
}

void CueListModel::rowRemoved(int row) {
    if (stack_.cues().size() + 1 != cues_.size() || row < 0 || row >= rowCount()) {
        reload();
        return;
    }
    beginRemoveRows({}, row, row);
    cues_ = stack_.cues();
    auto shift = [row](std::optional<int>& index) {
        if (!index) return;
        if (*index == row) {
            index.reset();
        } else if (*index > row) {
            --*index;
        }
    };
    shift(currentRow_);
    shift(nextRow_);
    endRemoveRows();
    recomputeHighlights();
}

void CueListModel::rowMoved(int from, int to) {
    const int rows = rowCount();
    if (stack_.cues().size() != cues_.size() || from < 0 || from >= rows || to < 0 || to >= rows) {
        reload();
        return;
    }
    if (from == to) {
        rowChanged(from);
        return;
    }
    // Qt names the place before which the row lands.
    beginMoveRows({}, from, from, {}, to > from ? to + 1 : to);
    cues_ = stack_.cues();
    endMoveRows();
    repaintRow(to);
    recomputeHighlights();
}

void CueListModel::rowChanged(int row) {
    if (stack_.cues().size() != cues_.size() || row < 0 || row >= rowCount()) {
        reload();
        return;
    }
    cues_ = stack_.cues();
    repaintRow(row);
    recomputeHighlights();
}

void CueListModel::cellChanged(int row, int output) {
    if (stack_.cues().size() != cues_.size() || row < 0 || row >= rowCount()) {
        reload();
        return;
    }
    cues_ = stack_.cues();
    const QModelIndex cell = index(row, output + 1);
    emit dataChanged(cell, cell);
    recomputeHighlights();
}

void CueListModel::repaintRow(int row) {
    if (row < 0 || row >= rowCount()) return;
    emit dataChanged(index(row, 0), index(row, columnCount() - 1));
}

void CueListModel::catalogChanged(const std::string& path) {
    for (int row = 0; row < rowCount(); ++row) {
        const Cue& cue = cues_[static_cast<std::size_t>(row)];
        for (std::size_t j = 0; j < cue.outputStates.size() && j < std::size_t(outputNames_.size());
             ++j) {
            const MediaURL& url = cue.outputStates[j].mediaURL;
            if (url.isFileURL() && url.path() == path) {
                const QModelIndex cell = index(row, static_cast<int>(j) + 1);
                emit dataChanged(cell, cell);
            }
        }
    }
}

void CueListModel::recomputeHighlights() {
    auto rowOf = [this](const std::optional<Cue>& cue) -> std::optional<int> {
        if (!cue) return std::nullopt;
        for (std::size_t i = 0; i < cues_.size(); ++i) {
            if (cues_[i].id == cue->id) return static_cast<int>(i);
        }
        return std::nullopt;
    };
    // The alignment grid is no cue of the list, whatever its ID.
    const std::optional<int> current =
        engine_.showsAlignmentGrid() ? std::nullopt : rowOf(engine_.currentCue());
    std::optional<int> next = rowOf(engine_.cueGoRuns().cue);
    if (armedCue_) {
        for (std::size_t i = 0; i < cues_.size(); ++i) {
            if (cues_[i].id == *armedCue_) next = static_cast<int>(i);
        }
    }
    setHighlightRows(current, next);
}

void CueListModel::setArmedCue(std::optional<double> id) {
    armedCue_ = id;
    recomputeHighlights();
}

void CueListModel::setHighlightRows(std::optional<int> current, std::optional<int> next) {
    const std::optional<int> oldCurrent = std::exchange(currentRow_, current);
    const std::optional<int> oldNext = std::exchange(nextRow_, next);
    // 0 plain, 1 current, 2 next: the current colour wins on a shared row.
    auto colourOf = [](int row, std::optional<int> currentRow, std::optional<int> nextRow) {
        return row == currentRow ? 1 : row == nextRow ? 2 : 0;
    };
    for (const std::optional<int>& row : {oldCurrent, oldNext, current, next}) {
        if (row && colourOf(*row, oldCurrent, oldNext) != colourOf(*row, current, next)) {
            repaintRow(*row);
        }
    }
}

void CueListModel::setDarkMode(bool dark) {
    if (darkMode_ == dark) return;
    darkMode_ = dark;
    if (currentRow_) repaintRow(*currentRow_);
    if (nextRow_) repaintRow(*nextRow_);
}

QColor CueListModel::currentCueColor(bool dark) {
    return dark ? QColor::fromRgbF(0.0f, 0.5f, 0.0f) : QColor::fromHsvF(0.307f, 0.88f, 0.96f);
}

QColor CueListModel::nextCueColor(bool dark) {
    return dark ? QColor::fromHsvF(0.157f, 1.0f, 0.5f) : QColor::fromHsvF(0.157f, 0.88f, 1.0f);
}

QColor CueListModel::currentCueColor() const {
    return currentCueColor(darkMode_);
}

QColor CueListModel::nextCueColor() const {
    return nextCueColor(darkMode_);
}

void CueListModel::setDropTarget(const QModelIndex& index) {
    if (index == dropTarget_) return;
    const QModelIndex old = dropTarget_;
    dropTarget_ = QPersistentModelIndex(index);
    if (old.isValid()) emit dataChanged(old, old);
    if (index.isValid()) emit dataChanged(index, index);
}

}  // namespace bw
