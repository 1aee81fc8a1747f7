#include "ui/MessageBoxPrompt.h"

#include <QAbstractButton>
#include <QGuiApplication>
#include <QInputDialog>
#include <QMessageBox>
#include <QPushButton>

#include "document/Show.h"

namespace bw {

namespace {

QString text(std::string_view view) {
    return QString::fromUtf8(view.data(), static_cast<qsizetype>(view.size()));
}

}  // namespace

std::unique_ptr<QMessageBox> MessageBoxPrompt::makeQuestionBox(QWidget* parent,
                                                               const Question& question) {
    auto box = std::make_unique<QMessageBox>(parent);
    box->setObjectName(question.name);
    box->setWindowTitle(QGuiApplication::applicationDisplayName());
    box->setIcon(QMessageBox::Warning);
    box->setText(question.text);
    box->setInformativeText(question.informativeText);
    QPushButton* ok = box->addButton(question.confirmButton, QMessageBox::AcceptRole);
    ok->setObjectName("confirmButton");
    QPushButton* cancel =
        box->addButton(text(DiscardChangesConfirmation::kCancelButton), QMessageBox::RejectRole);
    cancel->setObjectName("keepButton");
    box->setDefaultButton(cancel);
    box->setEscapeButton(cancel);
    return box;
}

std::unique_ptr<QMessageBox> MessageBoxPrompt::makeDiscardChangesBox(QWidget* parent) {
    return makeQuestionBox(parent,
                           {"discardChangesBox", text(DiscardChangesConfirmation::kMessageText),
                            text(DiscardChangesConfirmation::kInformativeText),
                            text(DiscardChangesConfirmation::kConfirmButton)});
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

void MessageBoxPrompt::askSeconds(QWidget* parent, const SecondsQuestion& question,
                                  std::function<void(double)> chosen) {
    auto* dialog = new QInputDialog(parent);
    dialog->setObjectName("secondsDialog");
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(Qt::WindowModal);
    dialog->setWindowTitle(question.title);
    dialog->setLabelText(question.label);
    dialog->setInputMode(QInputDialog::DoubleInput);
    dialog->setDoubleDecimals(2);
    dialog->setDoubleRange(question.minimum, question.maximum);
    dialog->setDoubleValue(question.value);
    QObject::connect(dialog, &QInputDialog::doubleValueSelected, dialog,
                     [chosen = std::move(chosen)](double seconds) { chosen(seconds); });
    dialog->open();
}

bool MessageBoxPrompt::confirm(QWidget* parent, const Question& question) {
    const std::unique_ptr<QMessageBox> box = makeQuestionBox(parent, question);
    box->exec();
    return confirmed(*box);
}

std::unique_ptr<QMessageBox> MessageBoxPrompt::makeWarningBox(QWidget* parent, const QString& text,
                                                              const QString& reason) {
    auto box = std::make_unique<QMessageBox>(parent);
    box->setObjectName("warningBox");
    box->setWindowTitle(QGuiApplication::applicationDisplayName());
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
