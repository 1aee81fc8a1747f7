#include "ui/MessageBoxPrompt.h"

#include <QAbstractButton>
#include <QMessageBox>
#include <QPushButton>

#include "document/Show.h"

namespace bw {

namespace {

QString text(std::string_view view) {
    return QString::fromUtf8(view.data(), static_cast<qsizetype>(view.size()));
}

}  // namespace

std::unique_ptr<QMessageBox> MessageBoxPrompt::makeDiscardChangesBox(QWidget* parent) {
    auto box = std::make_unique<QMessageBox>(parent);
    box->setObjectName("discardChangesBox");
    box->setIcon(QMessageBox::Warning);
    box->setText(text(DiscardChangesConfirmation::kMessageText));
    box->setInformativeText(text(DiscardChangesConfirmation::kInformativeText));
    QPushButton* ok =
        box->addButton(text(DiscardChangesConfirmation::kConfirmButton), QMessageBox::AcceptRole);
    ok->setObjectName("discardButton");
    QPushButton* cancel =
        box->addButton(text(DiscardChangesConfirmation::kCancelButton), QMessageBox::RejectRole);
    cancel->setObjectName("keepButton");
    box->setDefaultButton(cancel);
    box->setEscapeButton(cancel);
    return box;
}

bool MessageBoxPrompt::confirmed(const QMessageBox& box) {
    QAbstractButton* clicked = box.clickedButton();
    return clicked != nullptr && box.buttonRole(clicked) == QMessageBox::AcceptRole;
}

bool MessageBoxPrompt::confirmDiscardChanges(QWidget* parent) {
    const std::unique_ptr<QMessageBox> box = makeDiscardChangesBox(parent);
    box->exec();
    return confirmed(*box);
}

std::unique_ptr<QMessageBox> MessageBoxPrompt::makeWarningBox(QWidget* parent, const QString& text,
                                                              const QString& reason) {
    auto box = std::make_unique<QMessageBox>(parent);
    box->setObjectName("warningBox");
    box->setIcon(QMessageBox::Warning);
    box->setText(text);
    box->setInformativeText(reason);
    box->setStandardButtons(QMessageBox::Ok);
    box->setWindowModality(Qt::WindowModal);
    return box;
}

void MessageBoxPrompt::warn(QWidget* parent, const QString& text, const QString& reason) {
    QMessageBox* box = makeWarningBox(parent, text, reason).release();
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

}  // namespace bw
