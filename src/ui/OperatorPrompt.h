#pragma once

#include <QString>
#include <functional>
#include <optional>

class QWidget;

namespace bw {

// The questions and warnings the show window puts to the operator, behind an
// interface so that tests script the answers instead of clicking.
// Main thread only.
class OperatorPrompt {
public:
    virtual ~OperatorPrompt() = default;

    // The discard-changes question (DiscardChangesConfirmation) over
    // `parent`. Returns only once answered: true to go on and lose the
    // changes, false to keep them. The show document asks it synchronously.
    virtual bool confirmDiscardChanges(QWidget* parent) = 0;

    // A question whose answer the operator must mean: going on takes the
    // confirming button; the default and Escape keep things as they are.
    struct Question {
        // The box's object name, for the tests that look at it.
        QString name;
        QString text;
        QString informativeText;
        QString confirmButton;
    };
    // Returns only once answered: true to go on.
    virtual bool confirm(QWidget* parent, const Question& question) = 0;

    // A number of seconds from `minimum` to `maximum`, offered as `value`
    // (to two decimals), asked window-modal: returns at once, and `chosen`
    // hears the answer, unless the operator cancels.
    struct SecondsQuestion {
        QString title;
        QString label;
        double value = 0.0;
        double minimum = 0.0;
        double maximum = 0.0;
    };
    virtual void askSeconds(QWidget* parent, const SecondsQuestion& question,
                            std::function<void(double)> chosen) = 0;

    // Tells the operator that something failed: `text` says what, `reason`
    // why. Returns at once; the warning stays up until dismissed.
    virtual void warn(QWidget* parent, const QString& text, const QString& reason) = 0;
};

}  // namespace bw
