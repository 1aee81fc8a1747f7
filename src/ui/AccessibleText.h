#pragma once

#include <QLabel>
#include <QString>

namespace bw {

// Sets a label's text, also as its accessible description: the accessible
// name says what the label is, and would otherwise hide what it shows. An
// unchanged text is left alone, so a label set on every tick lays out once.
inline void showAccessibleText(QLabel* label, const QString& text) {
    if (label->text() == text) return;
    label->setText(text);
    label->setAccessibleDescription(text);
}

}  // namespace bw
