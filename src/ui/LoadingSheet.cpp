#include "ui/LoadingSheet.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>
#include <filesystem>

#include "document/Show.h"

namespace bw {

LoadingSheet::LoadingSheet(Show& show, QWidget* parent) : QDialog(parent), show_(show) {
    setObjectName("loadingSheet");
    setWindowTitle(tr("Loading Show"));
    setWindowModality(Qt::WindowModal);
    setMinimumWidth(360);

    fileNameLabel_ = new QLabel(this);
    fileNameLabel_->setObjectName("fileNameLabel");
    fileNameLabel_->setAccessibleName(tr("Show file"));
    fileNameLabel_->setTextFormat(Qt::PlainText);

    progressBar_ = new QProgressBar(this);
    progressBar_->setObjectName("progressBar");
    progressBar_->setAccessibleName(tr("Loading"));
    // A range of nothing is Qt's busy indicator: no amount is ever shown.
    progressBar_->setRange(0, 0);
    progressBar_->setTextVisible(false);

    auto* buttons = new QDialogButtonBox(this);
    cancelButton_ = buttons->addButton(QDialogButtonBox::Cancel);
    cancelButton_->setObjectName("cancelButton");
    // Return is the GO key; it must not cancel a load by accident.
    cancelButton_->setAutoDefault(false);
    connect(buttons, &QDialogButtonBox::rejected, this, &LoadingSheet::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(tr("Loading show"), this));
    layout->addWidget(fileNameLabel_);
    layout->addWidget(progressBar_);
    layout->addWidget(buttons);
}

QString LoadingSheet::fileNameFor(const std::optional<std::string>& fileURL) {
    if (!fileURL) return {};
    return QString::fromStdString(std::filesystem::path(*fileURL).filename().string());
}

void LoadingSheet::present(const std::optional<std::string>& fileURL) {
    fileNameLabel_->setText(fileNameFor(fileURL));
    fileNameLabel_->setAccessibleDescription(fileNameLabel_->text());
    if (!isVisible()) open();
}

void LoadingSheet::showLoaded() {
    if (isVisible()) accept();
}

void LoadingSheet::reject() {
    // The cancel posts "ShowDidLoad", which closes the sheet; closing it
    // again below does nothing more.
    if (show_.isLoading()) show_.cancelLoad();
    QDialog::reject();
}

}  // namespace bw
