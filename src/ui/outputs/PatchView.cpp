#include "ui/outputs/PatchView.h"

#include <QFont>
#include <QFormLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QImage>
#include <QPixmap>
#include <QRegularExpression>
#include <QVBoxLayout>
#include <cmath>
#include <set>

#include "engine/MediaEngine.h"
#include "engine/MediaOutput.h"
#include "sharing/FrameServer.h"
#include "sharing/NetworkStream.h"
#include "show/ShowStatus.h"
#include "ui/outputs/OutputWindows.h"
#include "ui/outputs/ScreenList.h"

namespace bw {

namespace {

// What a screen list entry stands for, besides a connected screen's index.
constexpr int kNoScreen = -1;
constexpr int kScreenNotConnected = -2;

// A note under the fields takes room only while it says something.
void showNote(QLabel* label, const QString& text) {
    label->setText(text);
    label->setVisible(!text.isEmpty());
}

QLineEdit* makeField(const char* objectName, const QString& accessibleName, QWidget* parent) {
    auto* field = new QLineEdit(parent);
    field->setObjectName(objectName);
    field->setAccessibleName(accessibleName);
    return field;
}

}  // namespace

PatchView::PatchView(MediaEngine& engine, NotificationCenter& center, int maxTextureSize,
                     std::function<void()> outputsChanged, QWidget* parent,
                     OutputFactory makeOutput)
    : QDialog(parent, Qt::Tool),
      engine_(engine),
      center_(center),
      maxTextureSize_(std::max(1, maxTextureSize)),
      outputsChanged_(std::move(outputsChanged)),
      makeOutput_(std::move(makeOutput)),
      list_(new QListWidget(this)),
      nameField_(makeField("nameTextField", tr("Output name"), this)),
      widthField_(makeField("widthTextField", tr("Width in pixels"), this)),
      heightField_(makeField("heightTextField", tr("Height in pixels"), this)),
      publishedLabel_(new QLabel(this)),
      nameNoteLabel_(new QLabel(this)),
      screenBox_(new QComboBox(this)),
      screenNoteLabel_(new QLabel(this)),
      identifyButton_(new QPushButton(tr("Identify screens"), this)),
      streamField_(makeField("streamURLField", tr("Network stream URL"), this)),
      bitrateField_(makeField("streamBitrateField", tr("Stream bitrate in kbit/s"), this)),
      streamNoteLabel_(new QLabel(this)),
      previewLabel_(new QLabel(this)),
      lockNoteLabel_(new QLabel(
          tr("Locked for the performance: unlock from the Show menu to change the outputs."),
          this)),
      soundBox_(new QComboBox(this)),
      soundNoteLabel_(new QLabel(this)),
      addButton_(new QPushButton(tr("+"), this)),
      removeButton_(new QPushButton(QStringLiteral("−"), this)) {
    setObjectName("patchView");
    setWindowTitle(tr("Outputs"));
    if (!makeOutput_) {
        makeOutput_ = [](const std::string& name, double width, double height) {
            return std::make_shared<MediaOutput>(name, width, height);
        };
    }
    list_->setObjectName("mediaOutputTableView");
    list_->setAccessibleName(tr("Outputs"));
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    addButton_->setObjectName("addOutputButton");
    addButton_->setAccessibleName(tr("Add output"));
    removeButton_->setObjectName("removeOutputButton");
    removeButton_->setAccessibleName(tr("Remove output"));
    // Return ends an edit of a field; it must never add or remove an output.
    for (QPushButton* button : {addButton_, removeButton_}) {
        button->setAutoDefault(false);
        button->setDefault(false);
    }
    nameNoteLabel_->setObjectName("nameNoteLabel");
    nameNoteLabel_->setTextFormat(Qt::PlainText);
    nameNoteLabel_->setWordWrap(true);
    nameNoteLabel_->hide();
    publishedLabel_->setObjectName("publishedNameLabel");
    publishedLabel_->setTextFormat(Qt::PlainText);
    publishedLabel_->setWordWrap(true);

    screenBox_->setObjectName("screenComboBox");
    screenBox_->setAccessibleName(tr("Screen"));
    screenNoteLabel_->setObjectName("screenNoteLabel");
    screenNoteLabel_->setTextFormat(Qt::PlainText);
    screenNoteLabel_->setWordWrap(true);
    identifyButton_->setObjectName("identifyScreensButton");
    identifyButton_->setAutoDefault(false);
    streamField_->setPlaceholderText(tr("None (srt://:9000 sends one)"));
    bitrateField_->setPlaceholderText(tr("Fitted to the size"));
    streamNoteLabel_->setObjectName("streamNoteLabel");
    streamNoteLabel_->setTextFormat(Qt::PlainText);
    streamNoteLabel_->setWordWrap(true);
    soundBox_->setObjectName("soundOutputComboBox");
    soundBox_->setAccessibleName(tr("Sound Output"));
    soundBox_->setEnabled(false);
    soundNoteLabel_->setObjectName("soundOutputNoteLabel");
    soundNoteLabel_->setTextFormat(Qt::PlainText);
    soundNoteLabel_->setWordWrap(true);
    soundNoteLabel_->hide();

    previewLabel_->setObjectName("previewLabel");
    previewLabel_->setAccessibleName(tr("Picture of the selected output"));
    previewLabel_->setFixedSize(kPreviewWidth, kPreviewHeight);
    previewLabel_->setAlignment(Qt::AlignCenter);
    previewLabel_->setStyleSheet(QStringLiteral("background: black"));
    previewTimer_.setInterval(static_cast<int>(1000.0 / kPreviewRate));
    connect(&previewTimer_, &QTimer::timeout, this, &PatchView::showPreview);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(addButton_);
    buttons->addWidget(removeButton_);
    buttons->addStretch(1);
    auto* fields = new QFormLayout;
    fields->addRow(tr("Name"), nameField_);
    fields->addRow(nameNoteLabel_);
    fields->addRow(tr("Width"), widthField_);
    fields->addRow(tr("Height"), heightField_);
    fields->addRow(publishedLabel_);
    fields->addRow(tr("Screen"), screenBox_);
    fields->addRow(screenNoteLabel_);
    fields->addRow(QString(), identifyButton_);
    fields->addRow(tr("Stream"), streamField_);
    fields->addRow(tr("Bitrate"), bitrateField_);
    fields->addRow(streamNoteLabel_);
    fields->addRow(previewLabel_);
    auto* left = new QVBoxLayout;
    left->addWidget(list_, 1);
    left->addLayout(buttons);
    lockNoteLabel_->setObjectName("lockNoteLabel");
    lockNoteLabel_->setWordWrap(true);
    lockNoteLabel_->hide();
    QFont bold = lockNoteLabel_->font();
    bold.setBold(true);
    lockNoteLabel_->setFont(bold);
    auto* columns = new QHBoxLayout;
    columns->addLayout(left, 1);
    columns->addLayout(fields, 1);
    auto* page = new QVBoxLayout(this);
    page->addWidget(lockNoteLabel_);
    page->addLayout(columns, 1);
    auto* sound = new QFormLayout;
    sound->addRow(tr("Sound Output"), soundBox_);
    sound->addRow(soundNoteLabel_);
    page->addLayout(sound);

    connect(addButton_, &QPushButton::clicked, this, &PatchView::addOutput);
    connect(removeButton_, &QPushButton::clicked, this, &PatchView::removeSelectedOutput);
    connect(list_, &QListWidget::itemSelectionChanged, this, &PatchView::selectionChanged);
    connect(nameField_, &QLineEdit::editingFinished, this, &PatchView::nameEdited);
    connect(widthField_, &QLineEdit::editingFinished, this, &PatchView::sizeEdited);
    connect(heightField_, &QLineEdit::editingFinished, this, &PatchView::sizeEdited);
    connect(screenBox_, &QComboBox::activated, this, &PatchView::screenChosen);
    connect(streamField_, &QLineEdit::editingFinished, this, &PatchView::streamEdited);
    connect(bitrateField_, &QLineEdit::editingFinished, this, &PatchView::streamEdited);
    connect(identifyButton_, &QPushButton::clicked, &identifier_, &ScreenIdentifier::identify);
    connect(soundBox_, &QComboBox::activated, this, &PatchView::soundOutputChosen);
    if (auto* application = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        // Queued: the output windows follow the screens first, and a screen
        // going is still listed while the signal runs.
        for (auto signal : {&QGuiApplication::screenAdded, &QGuiApplication::screenRemoved}) {
            connect(application, signal, this, &PatchView::showSelected, Qt::QueuedConnection);
        }
    }

    observers_.push_back(center_.addObserver(std::string(kShowWillLoadNotification),
                                             [this](const Notification&) { showWillLoad(); }));
    observers_.push_back(center_.addObserver(std::string(kShowDidLoadNotification),
                                             [this](const Notification&) { showDidLoad(); }));
    updateOutputs();
    showSelected();
}

PatchView::~PatchView() {
    // A field with the focus ends its edit as the dialog hides, after this
    // object's members are gone: no edit is taken from here on.
    for (QLineEdit* field : {nameField_, widthField_, heightField_, streamField_, bitrateField_})
        disconnect(field, nullptr, this, nullptr);
    previewOutput(nullptr);
    for (const NotificationCenter::Token token : observers_)
        center_.removeObserver(token);
}

QString PatchView::defaultName(const QStringList& names) {
    static const QRegularExpression wholeNumber(QStringLiteral("^[+-]?[0-9]+$"));
    std::set<long long> taken;
    for (const QString& name : names) {
        const QString lower = name.toLower();
        if (!lower.startsWith(QLatin1String("screen"))) continue;
        // What follows the first "screen", up to a second one.
        const QString number = lower.split(QStringLiteral("screen")).value(1);
        if (!wholeNumber.match(number).hasMatch()) continue;
        bool ok = false;
        const long long value = number.toLongLong(&ok);
        if (ok) taken.insert(value);
    }
    long long free = 1;
    while (taken.count(free) != 0)
        ++free;
    return QStringLiteral("Screen%1").arg(free);
}

std::optional<int> PatchView::selectedRow() const {
    const QList<QListWidgetItem*> selected = list_->selectedItems();
    if (selected.isEmpty()) return std::nullopt;
    return list_->row(selected.front());
}

void PatchView::selectRow(std::optional<int> row) {
    list_->clearSelection();
    if (row && *row >= 0 && *row < list_->count()) {
        list_->setCurrentRow(*row, QItemSelectionModel::ClearAndSelect);
    }
    showSelected();
}

void PatchView::updateOutputs() {
    const std::optional<int> selected = selectedRow();
    const QSignalBlocker quiet(list_);
    list_->clear();
    if (!loading_) {
        for (const auto& output : engine_.outputs())
            list_->addItem(QString::fromStdString(output->name()));
    }
    if (selected && *selected < list_->count())
        list_->setCurrentRow(*selected, QItemSelectionModel::ClearAndSelect);
}

void PatchView::showWillLoad() {
    // The engine lets its outputs go now; none of them may be edited.
    loading_ = true;
    updateOutputs();
    showSelected();
    soundBox_->setEnabled(false);
}

void PatchView::setLocked(bool locked) {
    locked_ = locked;
    lockNoteLabel_->setVisible(locked);
    showSelected();
    soundBox_->setEnabled(soundChoice_.choose && editable());
}

void PatchView::showDidLoad() {
    loading_ = false;
    updateOutputs();
    selectRow(std::nullopt);
    showSoundOutput();
}

std::vector<PatchView::SoundOutputEntry> PatchView::soundOutputEntries(
    const std::optional<std::vector<SoundSink>>& sinks, const std::string& chosen) {
    std::vector<SoundOutputEntry> entries{{tr("System Default"), {}}};
    for (const SoundSink& sink : sinks.value_or(std::vector<SoundSink>{}))
        entries.push_back({QString::fromStdString(sink.description), sink.name});
    if (!chosen.empty() && (!sinks || !SoundSinks::contains(*sinks, chosen)))
        entries.push_back({tr("%1 (not there)").arg(QString::fromStdString(chosen)), chosen});
    return entries;
}

void PatchView::setSoundOutputChoice(SoundOutputChoice choice) {
    soundChoice_ = std::move(choice);
    if (!soundChoice_.sinks) soundChoice_.sinks = [] { return SoundSinks::list(); };
    showSoundOutput();
}

void PatchView::showSoundOutput() {
    if (!soundChoice_.chosen) return;
    const std::optional<std::vector<SoundSink>> sinks = soundChoice_.sinks();
    const std::string chosen = soundChoice_.chosen();
    soundEntries_ = soundOutputEntries(sinks, chosen);
    const QSignalBlocker quiet(soundBox_);
    soundBox_->clear();
    int current = 0;
    for (std::size_t k = 0; k < soundEntries_.size(); ++k) {
        soundBox_->addItem(soundEntries_[k].text);
        if (soundEntries_[k].name == chosen) current = static_cast<int>(k);
    }
    soundBox_->setCurrentIndex(current);
    soundBox_->setEnabled(soundChoice_.choose && editable());
    const bool missing = sinks && !chosen.empty() && !SoundSinks::contains(*sinks, chosen);
    showNote(soundNoteLabel_,
             !sinks    ? tr("No sound server answers: movies play silent until one starts.")
             : missing ? tr("The sound server has no output by this name now: movies play "
                            "through the system default.")
                       : QString());
}

void PatchView::soundOutputChosen(int index) {
    if (index < 0 || index >= static_cast<int>(soundEntries_.size()) || !soundChoice_.choose) {
        return;
    }
    if (soundEntries_[static_cast<std::size_t>(index)].name != soundChoice_.chosen()) {
        soundChoice_.choose(soundEntries_[static_cast<std::size_t>(index)].name);
    }
    showSoundOutput();
}

void PatchView::selectionChanged() {
    showNote(nameNoteLabel_, {});
    streamRefusal_.clear();
    showSelected();
}

void PatchView::showSelected() {
    const std::optional<int> row = selectedRow();
    const std::vector<std::shared_ptr<MediaOutput>> outputs = engine_.outputs();
    const MediaOutput* output =
        row && !loading_ && *row < static_cast<int>(outputs.size()) ? outputs[*row].get() : nullptr;
    previewOutput(output != nullptr ? outputs[*row] : nullptr);
    for (QWidget* control :
         {static_cast<QWidget*>(nameField_), static_cast<QWidget*>(widthField_),
          static_cast<QWidget*>(heightField_), static_cast<QWidget*>(removeButton_),
          static_cast<QWidget*>(streamField_), static_cast<QWidget*>(bitrateField_)}) {
        control->setEnabled(output != nullptr && !locked_);
    }
    list_->setEnabled(!loading_);
    addButton_->setEnabled(editable());
    showScreens(output, row.value_or(-1));
    showStream(output);
    if (output == nullptr) {
        nameField_->clear();
        widthField_->clear();
        heightField_->clear();
        showNote(publishedLabel_, {});
        return;
    }
    nameField_->setText(QString::fromStdString(output->name()));
    widthField_->setText(QString::number(static_cast<long long>(std::trunc(output->width()))));
    heightField_->setText(QString::number(static_cast<long long>(std::trunc(output->height()))));
    const std::string published = output->frameServer().publishedName();
    showNote(publishedLabel_, published == output->name()
                                  ? QString()
                                  : tr("Published as “%1”: another output already has this name.")
                                        .arg(QString::fromStdString(published)));
}

void PatchView::previewOutput(std::shared_ptr<MediaOutput> output) {
    const bool wanted = output != nullptr && isVisible();
    if (previewed_ && (previewed_ != output || !wanted)) {
        previewed_->frameServer().stopPreview();
        previewed_.reset();
        previewLabel_->clear();
    }
    if (wanted && !previewed_) {
        previewed_ = std::move(output);
        previewed_->frameServer().startPreview({kPreviewWidth, kPreviewHeight}, kPreviewRate);
    }
    if (previewed_) {
        previewTimer_.start();
    } else {
        previewTimer_.stop();
    }
}

void PatchView::showPreview() {
    // Receivers come and go while the view is open.
    if (previewed_) showStream(previewed_.get());
    const std::shared_ptr<const FramePixels> picture =
        previewed_ ? previewed_->frameServer().preview() : nullptr;
    if (!picture || picture->rgba.empty()) return;
    const QImage image(picture->rgba.data(), picture->size.width, picture->size.height,
                       picture->size.width * 4, QImage::Format_RGBA8888_Premultiplied);
    previewLabel_->setPixmap(QPixmap::fromImage(image).scaled(
        previewLabel_->size(), Qt::KeepAspectRatio, Qt::SmoothTransformation));
}

void PatchView::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    showSelected();
    showSoundOutput();
}

void PatchView::hideEvent(QHideEvent* event) {
    QDialog::hideEvent(event);
    previewOutput(nullptr);
}

std::optional<int> PatchView::sideFrom(const QString& text) const {
    bool ok = false;
    const int value = text.trimmed().toInt(&ok);
    if (!ok || value < 1 || value > maxTextureSize_) return std::nullopt;
    return value;
}

void PatchView::addOutput() {
    if (!editable()) return;
    const std::vector<std::shared_ptr<MediaOutput>> outputs = engine_.outputs();
    QStringList names;
    for (const auto& output : outputs)
        names.push_back(QString::fromStdString(output->name()));
    const double width = outputs.empty() ? kDefaultSide : outputs.back()->width();
    const double height = outputs.empty() ? kDefaultSide : outputs.back()->height();
    engine_.addOutput(makeOutput_(defaultName(names).toStdString(), width, height));
    updateOutputs();
    selectRow(list_->count() - 1);
    if (outputsChanged_) outputsChanged_();
}

void PatchView::removeSelectedOutput() {
    const std::optional<int> row = selectedRow();
    if (!row || !editable()) return;
    engine_.removeOutput(static_cast<std::size_t>(*row));
    updateOutputs();
    selectRow(*row > 0 ? std::optional<int>(*row - 1) : std::nullopt);
    if (outputsChanged_) outputsChanged_();
}

void PatchView::nameEdited() {
    const std::optional<int> row = selectedRow();
    if (!row || !editable()) return;
    const QString name = nameField_->text().trimmed();
    // A nameless output, or two of one name, could not be told apart: the
    // field goes back.
    const std::optional<QString> taken = nameTakenByAnother(name, *row);
    showNote(nameNoteLabel_,
             taken ? tr("Another output is already named “%1”: each output needs a name of its "
                        "own.")
                         .arg(*taken)
                   : QString());
    if (!name.isEmpty() && !taken)
        engine_.renameOutput(static_cast<std::size_t>(*row), name.toStdString());
    updateOutputs();
    showSelected();
    if (outputsChanged_) outputsChanged_();
}

std::optional<QString> PatchView::nameTakenByAnother(const QString& name, int row) const {
    const std::vector<std::shared_ptr<MediaOutput>> outputs = engine_.outputs();
    for (int k = 0; k < static_cast<int>(outputs.size()); ++k) {
        const QString other = QString::fromStdString(outputs[k]->name());
        // As the operator reads them: "Stage " and "stage" are one name.
        if (k != row && other.trimmed().compare(name, Qt::CaseInsensitive) == 0) return other;
    }
    return std::nullopt;
}

void PatchView::sizeEdited() {
    const std::optional<int> row = selectedRow();
    if (!row || !editable()) return;
    const std::optional<int> width = sideFrom(widthField_->text());
    const std::optional<int> height = sideFrom(heightField_->text());
    // Both fields are taken together; a side that is no size puts both back.
    if (width && height) {
        engine_.resizeOutput(static_cast<std::size_t>(*row), *width, *height);
    }
    showSelected();
    if (outputsChanged_) outputsChanged_();
}

void PatchView::showScreens(const MediaOutput* output, int row) {
    const QSignalBlocker quiet(screenBox_);
    screenBox_->clear();
    showNote(screenNoteLabel_, {});
    screenBox_->setEnabled(output != nullptr && !locked_);
    if (output == nullptr) return;

    const std::vector<ScreenList::Screen> screens = ScreenList::connected();
    screenBox_->addItem(tr("None"), kNoScreen);
    for (std::size_t k = 0; k < screens.size(); ++k)
        screenBox_->addItem(ScreenList::describe(screens[k]), static_cast<int>(k));
    const std::optional<ScreenChoice> choice = output->screen();
    if (!choice) {
        screenBox_->setCurrentIndex(0);
        return;
    }
    const std::optional<std::size_t> match = ScreenList::match(*choice, screens);
    if (!match) {
        screenBox_->addItem(tr("%1 (not connected)").arg(ScreenList::describe(*choice)),
                            kScreenNotConnected);
        screenBox_->setCurrentIndex(screenBox_->count() - 1);
        showNote(screenNoteLabel_, tr("This screen is not connected: the output is shown on it "
                                      "as soon as it is."));
        return;
    }
    screenBox_->setCurrentIndex(static_cast<int>(*match) + 1);

    std::vector<std::optional<ScreenChoice>> choices;
    const std::vector<std::shared_ptr<MediaOutput>> outputs = engine_.outputs();
    for (const auto& each : outputs)
        choices.push_back(each->screen());
    std::vector<ScreenChoice> identities;
    for (const ScreenList::Screen& screen : screens)
        identities.push_back(screen.identity);
    const std::optional<std::size_t> shown = OutputWindows::assignment(choices, identities)[*match];
    if (shown && *shown != static_cast<std::size_t>(row) && *shown < outputs.size()) {
        showNote(screenNoteLabel_, tr("This screen shows “%1”; this output is not shown.")
                                       .arg(QString::fromStdString(outputs[*shown]->name())));
        return;
    }
    showNote(screenNoteLabel_, rateNote(screens[*match].refreshRate, engine_.displayRefreshRate()));
}

QString PatchView::rateNote(double screenRate, double pacedRate) {
    if (screenRate <= 0.0 || pacedRate <= 0.0 ||
        std::fabs(screenRate - pacedRate) < OutputWindows::kSameRate)
        return {};
    return tr("This screen refreshes at %1 Hz but the outputs are paced at %2 Hz: movement on "
              "it will not be smooth.")
        .arg(screenRate, 0, 'f', 2)
        .arg(pacedRate, 0, 'f', 2);
}

void PatchView::screenChosen(int index) {
    const std::optional<int> row = selectedRow();
    if (!row || !editable() || index < 0) return;
    const int entry = screenBox_->itemData(index).toInt();
    if (entry == kScreenNotConnected) return;  // the choice as it stands
    std::optional<ScreenChoice> choice;
    if (entry != kNoScreen) {
        const std::vector<ScreenList::Screen> screens = ScreenList::connected();
        if (entry >= static_cast<int>(screens.size())) return;
        choice = screens[static_cast<std::size_t>(entry)].identity;
    }
    engine_.setOutputScreen(static_cast<std::size_t>(*row), choice);
    if (outputsChanged_) outputsChanged_();
    showSelected();
}

void PatchView::streamEdited() {
    const std::optional<int> row = selectedRow();
    const std::vector<std::shared_ptr<MediaOutput>> outputs = engine_.outputs();
    if (!row || !editable() || *row >= static_cast<int>(outputs.size())) return;
    const QString url = streamField_->text().trimmed();
    const QString bitrateText = bitrateField_->text().trimmed();
    std::optional<StreamChoice> choice;
    streamRefusal_.clear();
    if (!url.isEmpty()) {
        std::string why;
        bool ok = true;
        const int bitrate = bitrateText.isEmpty() ? 0 : bitrateText.toInt(&ok);
        if (!StreamAddress::parse(url.toStdString(), why)) {
            streamRefusal_ = tr("“%1” is no stream URL: %2.").arg(url, QString::fromStdString(why));
        } else if (!ok || bitrate < 0 || bitrate > StreamChoice::kLargestBitrateKbps ||
                   (!bitrateText.isEmpty() && bitrate == 0)) {
            streamRefusal_ = tr("The bitrate is a whole number of kbit/s from 1 to %1, or empty.")
                                 .arg(StreamChoice::kLargestBitrateKbps);
        } else {
            choice = StreamChoice{url.toStdString(), bitrate};
        }
    }
    // A refused entry leaves the stream as it was.
    if (streamRefusal_.isEmpty()) {
        engine_.setOutputStream(static_cast<std::size_t>(*row), choice);
        if (outputsChanged_) outputsChanged_();
    }
    showSelected();
}

void PatchView::showStream(const MediaOutput* output) {
    const std::optional<StreamChoice> choice = output != nullptr ? output->stream() : std::nullopt;
    if (!streamField_->hasFocus())
        streamField_->setText(choice ? QString::fromStdString(choice->url) : QString());
    if (!bitrateField_->hasFocus())
        bitrateField_->setText(
            choice && choice->bitrateKbps > 0 ? QString::number(choice->bitrateKbps) : QString());
    QString note = streamRefusal_;
    const NetworkStream* stream = output != nullptr ? output->networkStream() : nullptr;
    if (stream != nullptr) {
        if (!note.isEmpty()) note += QLatin1Char(' ');
        if (const std::optional<std::string>& failure = stream->failure()) {
            note += tr("Not listening: %1.").arg(QString::fromStdString(*failure));
        } else {
            const int receivers = stream->receivers();
            note +=
                (receivers == 0   ? tr("Listening; no receiver is connected.")
                 : receivers == 1 ? tr("Listening; 1 receiver is connected.")
                                  : tr("Listening; %1 receivers are connected.").arg(receivers)) +
                QLatin1Char(' ') +
                tr("The stream carries no alpha: transparent parts arrive black. The "
                   "output's PipeWire source keeps it.");
        }
    }
    showNote(streamNoteLabel_, note);
    fitContents();
}

void PatchView::fitContents() {
    // A note that appears makes the fields taller: the view grows to keep
    // every control clear of the next (a window manager may not resize a
    // tool window to its new minimum by itself).
    if (layout() == nullptr) return;
    layout()->activate();
    // A wrapped note's height follows the width it has.
    QSize wanted = size().expandedTo(layout()->minimumSize());
    if (layout()->hasHeightForWidth())
        wanted.setHeight(std::max(wanted.height(), layout()->totalHeightForWidth(wanted.width())));
    if (wanted != size()) resize(wanted);
}

}  // namespace bw
