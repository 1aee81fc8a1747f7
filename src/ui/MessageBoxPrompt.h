#pragma once

#include <QString>
#include <memory>

#include "ui/OperatorPrompt.h"

class QMessageBox;

namespace bw {

// The operator's prompts as message boxes, titled with the program's name.
// Each question is a warning with its confirming button ("OK" to discard
// changes) then "Cancel", Cancel being both the default and the escape
// button: Return is the GO key, and a GO pressed while the question is up
// must keep the show. Warnings open window-modal and delete themselves when
// dismissed.
//
// The factories build the boxes without showing them, so that tests inspect
// them; the caller owns what they return. Main thread only.
class MessageBoxPrompt final : public OperatorPrompt {
public:
    bool confirmDiscardChanges(QWidget* parent) override;
    bool confirm(QWidget* parent, const Question& question) override;
    void askSeconds(QWidget* parent, const SecondsQuestion& question,
                    std::function<void(double)> chosen) override;
    void warn(QWidget* parent, const QString& text, const QString& reason) override;

    static std::unique_ptr<QMessageBox> makeDiscardChangesBox(QWidget* parent);
    // A warning with the question's confirming button then "Cancel", Cancel
    // the default and the escape button, as for discarding changes.
    static std::unique_ptr<QMessageBox> makeQuestionBox(QWidget* parent, const Question& question);
    static std::unique_ptr<QMessageBox> makeWarningBox(QWidget* parent, const QString& text,
                                                       const QString& reason);
    // Whether the operator's answer in a discard-changes box was to go on.
    static bool confirmed(const QMessageBox& box);
};

}  // namespace bw
