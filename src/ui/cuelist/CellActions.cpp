#include "ui/cuelist/CellActions.h"

#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QItemSelectionModel>
#include <QMenu>
#include <QMessageBox>
#include <QMimeDatabase>
#include <QPoint>
#include <algorithm>

#include "media/MediaCatalog.h"
#include "ui/cuelist/CueListController.h"
#include "ui/cuelist/MediaCellDelegate.h"
#include "ui/cuelist/ShowTableView.h"

namespace bw {

namespace {

struct Description {
    const char* objectName;
    const char* text;
    QList<QKeySequence> keys;
};

// In Command's order.
const Description& describe(CellActions::Command command) {
    static const Description descriptions[CellActions::kCommandCount] = {
        {"setMediaAction", QT_TRANSLATE_NOOP("bw::CellActions", "Set &Media…"), {Qt::Key_F2}},
        {"blackAction", QT_TRANSLATE_NOOP("bw::CellActions", "&Black"), {Qt::Key_B}},
        {"clearAction", QT_TRANSLATE_NOOP("bw::CellActions", "C&lear (Transparent)"), {Qt::Key_C}},
        {"gridAction", QT_TRANSLATE_NOOP("bw::CellActions", "&Grid"), {Qt::Key_G}},
        {"clearCellAction", QT_TRANSLATE_NOOP("bw::CellActions", "Clear &Cell"), {Qt::Key_Delete}},
        {"audioAction", QT_TRANSLATE_NOOP("bw::CellActions", "&Audio"), {Qt::Key_A}},
        {"loopAction", QT_TRANSLATE_NOOP("bw::CellActions", "L&oop"), {Qt::Key_L}},
        {"kenBurnsAction", QT_TRANSLATE_NOOP("bw::CellActions", "&Ken Burns"), {Qt::Key_K}},
        {"fitAction",
         QT_TRANSLATE_NOOP("bw::CellActions", "F&it: Whole Picture"),
         {QKeySequence(Qt::CTRL | Qt::Key_1)}},
        {"fillAction",
         QT_TRANSLATE_NOOP("bw::CellActions", "Fi&ll: Cover the Output"),
         {QKeySequence(Qt::CTRL | Qt::Key_2)}},
        {"stretchAction",
         QT_TRANSLATE_NOOP("bw::CellActions", "St&retch"),
         {QKeySequence(Qt::CTRL | Qt::Key_3)}},
        {"nextFitAction", QT_TRANSLATE_NOOP("bw::CellActions", "&Next Fit"), {Qt::Key_F}},
        {"toggleMarkedBoxAction",
         QT_TRANSLATE_NOOP("bw::CellActions", "&Toggle Marked Box"),
         {Qt::Key_Space}},
        {"showInFileManagerAction",
         QT_TRANSLATE_NOOP("bw::CellActions", "Show in &File Manager"),
         {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_F)}},
        {"cellMenuAction",
         QT_TRANSLATE_NOOP("bw::CellActions", "Cell &Menu"),
         {QKeySequence(Qt::SHIFT | Qt::Key_F10), QKeySequence(Qt::Key_Menu)}},
    };
    return descriptions[static_cast<int>(command)];
}

// The name filter of the file chooser: the files a drop takes, movies and
// stills, by the names the desktop gives their kinds.
QStringList mediaNameFilters() {
    static const QStringList filters = [] {
        QStringList patterns;
        for (const QMimeType& type : QMimeDatabase().allMimeTypes()) {
            const QString name = type.name();
            if (name.startsWith(QLatin1String("video/")) ||
                name.startsWith(QLatin1String("image/")) ||
                name == QLatin1String("application/mxf"))
                patterns += type.globPatterns();
        }
        patterns.removeDuplicates();
        patterns.sort();
        return QStringList{CellActions::tr("Movies and stills (%1)").arg(patterns.join(' ')),
                           CellActions::tr("All files (*)")};
    }();
    return filters;
}

}  // namespace

CellActions::CellActions(ShowTableView& view, CueListModel& model, CueListController& controller,
                         MediaCatalog& catalog, MediaCellDelegate& delegate)
    : QObject(&view),
      view_(view),
      model_(model),
      controller_(controller),
      catalog_(catalog),
      delegate_(delegate) {
    for (int k = 0; k < kCommandCount; ++k) {
        const auto command = static_cast<Command>(k);
        const Description& description = describe(command);
        auto* action = new QAction(tr(description.text), this);
        action->setObjectName(description.objectName);
        action->setShortcuts(description.keys);
        // The keys are the table's: they act on its current cell.
        action->setShortcutContext(Qt::WidgetWithChildrenShortcut);
        connect(action, &QAction::triggered, this, [this, command] { run(command); });
        view_.addAction(action);
        actions_[k] = action;
    }
    for (const Command command : {Command::Audio, Command::Loop, Command::KenBurns, Command::Fit,
                                  Command::Fill, Command::Stretch})
        action(command)->setCheckable(true);

    connect(view_.selectionModel(), &QItemSelectionModel::currentChanged, this, [this] {
        setMarkedBox(std::nullopt);
        update();
    });
    connect(&model_, &QAbstractItemModel::modelReset, this, &CellActions::update);
    connect(&model_, &QAbstractItemModel::dataChanged, this, &CellActions::update);
    connect(&model_, &QAbstractItemModel::rowsRemoved, this, &CellActions::update);
    connect(&model_, &QAbstractItemModel::rowsInserted, this, &CellActions::update);
    update();
}

CellActions::~CellActions() {
    delete mediaDialog_.data();
}

void CellActions::addTo(QMenu& menu) const {
    menu.addAction(action(Command::SetMedia));
    menu.addAction(action(Command::Black));
    menu.addAction(action(Command::Clear));
    menu.addAction(action(Command::Grid));
    menu.addAction(action(Command::ClearCell));
    menu.addSeparator();
    menu.addAction(action(Command::Audio));
    menu.addAction(action(Command::Loop));
    menu.addAction(action(Command::KenBurns));
    menu.addAction(action(Command::ToggleMarkedBox));
    menu.addSeparator();
    menu.addAction(action(Command::Fit));
    menu.addAction(action(Command::Fill));
    menu.addAction(action(Command::Stretch));
    menu.addAction(action(Command::NextFit));
    menu.addSeparator();
    menu.addAction(action(Command::ShowInFileManager));
}

QModelIndex CellActions::cell() const {
    const QModelIndex current = view_.currentIndex();
    if (!current.isValid() || current.column() < 1 ||
        model_.stateAt(current.row(), current.column() - 1) == nullptr)
        return {};
    return current;
}

std::vector<CueListModel::Role> CellActions::boxes() const {
    const QString form = cell().data(CueListModel::CellTemplateRole).toString();
    if (form == QLatin1String("VideoStateCell"))
        return {CueListModel::AudioRole, CueListModel::LoopedRole};
    if (form == QLatin1String("ImageStateCell")) return {CueListModel::KenBurnsRole};
    return {};
}

std::optional<CueListModel::Role> CellActions::markedBox() const {
    const std::vector<CueListModel::Role> present = boxes();
    if (present.empty()) return std::nullopt;
    if (markedBox_ && std::find(present.begin(), present.end(), *markedBox_) != present.end())
        return markedBox_;
    return present.front();
}

void CellActions::setMarkedBox(std::optional<CueListModel::Role> box) {
    markedBox_ = box;
    const std::optional<CueListModel::Role> shown = markedBox();
    delegate_.setMarkedBox(shown ? std::optional<int>(*shown) : std::nullopt);
    if (const QModelIndex at = cell(); at.isValid()) view_.update(at);
}

void CellActions::update() {
    const QModelIndex at = cell();
    const MediaOutputState* state =
        at.isValid() ? model_.stateAt(at.row(), at.column() - 1) : nullptr;
    for (const Command command :
         {Command::SetMedia, Command::Black, Command::Clear, Command::Grid, Command::ClearCell})
        action(command)->setEnabled(state != nullptr);
    const std::vector<CueListModel::Role> present = boxes();
    auto has = [&](CueListModel::Role role) {
        return std::find(present.begin(), present.end(), role) != present.end();
    };
    const std::pair<Command, CueListModel::Role> toggles[] = {
        {Command::Audio, CueListModel::AudioRole},
        {Command::Loop, CueListModel::LoopedRole},
        {Command::KenBurns, CueListModel::KenBurnsRole}};
    for (const auto& [command, role] : toggles) {
        action(command)->setEnabled(has(role));
        action(command)->setChecked(has(role) && at.data(role).toBool());
    }
    action(Command::ToggleMarkedBox)->setEnabled(!present.empty());
    const std::optional<PictureFit> shownFit = fit();
    const std::pair<Command, PictureFit> fits[] = {{Command::Fit, PictureFit::Fit},
                                                   {Command::Fill, PictureFit::Fill},
                                                   {Command::Stretch, PictureFit::Stretch}};
    for (const auto& [command, value] : fits) {
        action(command)->setEnabled(shownFit.has_value());
        action(command)->setChecked(shownFit == value);
    }
    action(Command::NextFit)->setEnabled(shownFit.has_value());
    action(Command::ShowInFileManager)->setEnabled(state != nullptr && state->mediaURL.isFileURL());
    action(Command::CellMenu)->setEnabled(view_.currentIndex().isValid());
    const std::optional<CueListModel::Role> shown = markedBox();
    delegate_.setMarkedBox(shown ? std::optional<int>(*shown) : std::nullopt);
}

void CellActions::run(Command command) {
    const QModelIndex at = cell();
    switch (command) {
        case Command::SetMedia:
            chooseMedia();
            return;
        case Command::Black:
            setGenerator(MediaURL::Generator::Black);
            return;
        case Command::Clear:
            setGenerator(MediaURL::Generator::Clear);
            return;
        case Command::Grid:
            setGenerator(MediaURL::Generator::Grid);
            return;
        case Command::ClearCell:
            if (at.isValid()) {
                controller_.setMediaURL(at.row(), at.column() - 1,
                                        MediaURL::generator(MediaURL::Generator::Black),
                                        tr("Clear Cell"));
            }
            return;
        case Command::Audio:
            toggle(CueListModel::AudioRole);
            return;
        case Command::Loop:
            toggle(CueListModel::LoopedRole);
            return;
        case Command::KenBurns:
            toggle(CueListModel::KenBurnsRole);
            return;
        case Command::Fit:
            setFit(PictureFit::Fit);
            return;
        case Command::Fill:
            setFit(PictureFit::Fill);
            return;
        case Command::Stretch:
            setFit(PictureFit::Stretch);
            return;
        case Command::NextFit:
            if (const std::optional<PictureFit> now = fit())
                setFit(MediaCellDelegate::nextFit(*now));
            return;
        case Command::ToggleMarkedBox:
            if (const std::optional<CueListModel::Role> box = markedBox()) toggle(*box);
            return;
        case Command::ShowInFileManager:
            if (const MediaOutputState* state =
                    at.isValid() ? model_.stateAt(at.row(), at.column() - 1) : nullptr;
                state != nullptr && state->mediaURL.isFileURL()) {
                fileManager_.showItem(state->mediaURL.path());
            }
            return;
        case Command::CellMenu: {
            const QModelIndex current = view_.currentIndex();
            if (!current.isValid()) return;
            view_.scrollTo(current);
            const QRect rect = view_.visualRect(current);
            popUpMenu(view_.viewport()->mapToGlobal(rect.center()));
            return;
        }
    }
}

void CellActions::setGenerator(MediaURL::Generator generator) {
    const QModelIndex at = cell();
    if (!at.isValid()) return;
    controller_.setMediaURL(at.row(), at.column() - 1, MediaURL::generator(generator),
                            tr("Set Media"));
}

void CellActions::toggle(CueListModel::Role box) {
    const QModelIndex at = cell();
    if (!at.isValid()) return;
    const std::vector<CueListModel::Role> present = boxes();
    if (std::find(present.begin(), present.end(), box) == present.end()) return;
    setMarkedBox(box);
    // As a click on the box does: through the model to the controller.
    model_.setData(at, !at.data(box).toBool(), box);
}

std::optional<PictureFit> CellActions::fit() const {
    const QModelIndex at = cell();
    if (!MediaCellDelegate::hasFit(at.data(CueListModel::CellTemplateRole).toString()))
        return std::nullopt;
    return static_cast<PictureFit>(at.data(CueListModel::FitRole).toInt());
}

void CellActions::setFit(PictureFit fit) {
    const QModelIndex at = cell();
    if (!this->fit()) return;
    // As a click on the cell's fit does: through the model to the controller.
    model_.setData(at, static_cast<int>(fit), CueListModel::FitRole);
    // A refused change leaves the choice as it was.
    update();
}

void CellActions::chooseMedia() {
    const QModelIndex at = cell();
    if (!at.isValid() || mediaDialog_) return;
    if (controller_.refuseWhileLocked(tr("Set Media"))) return;
    auto* dialog = new QFileDialog(view_.window(), tr("Set Media"));
    dialog->setObjectName("mediaDialog");
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    dialog->setFileMode(QFileDialog::ExistingFile);
    dialog->setNameFilters(mediaNameFilters());
    if (const MediaOutputState* state = model_.stateAt(at.row(), at.column() - 1);
        state != nullptr && state->mediaURL.isFileURL()) {
        dialog->selectFile(QFile::decodeName(QByteArray::fromStdString(state->mediaURL.path())));
    }
    const QPersistentModelIndex target(at);
    connect(dialog, &QFileDialog::fileSelected, this,
            [this, target](const QString& file) { takeChosenFile(target, file); });
    // The operator goes on in the list: the keys belong to it again once
    // the chooser closes, whatever had the focus while it was open.
    connect(dialog, &QDialog::finished, &view_, [this] { view_.setFocus(Qt::OtherFocusReason); });
    mediaDialog_ = dialog;
    dialog->open();
}

void CellActions::takeChosenFile(const QPersistentModelIndex& target, const QString& file) {
    // The cell may have gone while the chooser was open (a load, an undo).
    if (!target.isValid() || model_.stateAt(target.row(), target.column() - 1) == nullptr) return;
    const MediaURL url = MediaURL::fileURL(QFile::encodeName(file).toStdString());
    // As a drop is: only a movie or a still. A kind not known in time is
    // taken, and the cell shows it once it is.
    const std::optional<MediaKind> kind = catalog_.kindWithin(url, ShowTableView::kKindWait);
    if (kind == MediaKind::None) {
        auto* box = new QMessageBox(
            QMessageBox::Warning, tr("Set Media"),
            tr("“%1” is neither a movie nor a still.").arg(QFileInfo(file).fileName()),
            QMessageBox::Ok, view_.window());
        box->setObjectName("notMediaBox");
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->open();
        return;
    }
    controller_.setMediaURL(target.row(), target.column() - 1, url, tr("Set Media"));
}

void CellActions::popUpMenu(const QPoint& globalPosition) {
    auto* menu = new QMenu(&view_);
    menu->setObjectName("cellContextMenu");
    menu->setAttribute(Qt::WA_DeleteOnClose);
    for (QAction* rowAction : rowActions_)
        menu->addAction(rowAction);
    if (!rowActions_.isEmpty()) menu->addSeparator();
    addTo(*menu);
    menu->popup(globalPosition);
}

}  // namespace bw
