#include "ui/cuelist/CueTimingDelegate.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPainter>
#include <algorithm>

#include "show/Cue.h"
#include "show/NumberText.h"
#include "ui/cuelist/CueCellDelegate.h"
#include "ui/cuelist/CueListModel.h"

namespace bw {

namespace {

std::optional<CueListModel::Timing> timingAt(const QModelIndex& index) {
    const auto* model = qobject_cast<const CueListModel*>(index.model());
    return model != nullptr ? model->timingOf(index.column()) : std::nullopt;
}

int waitRole(CueListModel::Timing timing) {
    return timing == CueListModel::Timing::PreWait ? CueListModel::PreWaitRole
                                                   : CueListModel::PostWaitRole;
}

}  // namespace

void CueTimingDelegate::paintLink(QPainter* painter, const QStyleOptionViewItem& option,
                                  const QModelIndex& index) {
    // Two links of a chain, upright at the foot of the cell, where the row
    // meets the next one, sized with the row (the list's zoom).
    const int unit = std::max(2, option.rect.height() / 13);
    const int width = 2 * unit;
    const int height = 3 * unit;
    const int x = option.rect.right() - 3 * unit - width;
    const int bottom = option.rect.bottom() - unit / 2;
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    QPen pen(CueCellDelegate::textColour(option, index));
    pen.setWidthF(std::max(1.5, unit * 0.6));
    painter->setPen(pen);
    painter->setBrush(Qt::NoBrush);
    const QRectF upper(x, bottom - 2 * height + unit, width, height);
    const QRectF lower(x, bottom - height, width, height);
    painter->drawRoundedRect(upper, unit, unit);
    painter->drawRoundedRect(lower, unit, unit);
    painter->restore();
}

void CueTimingDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                              const QModelIndex& index) const {
    CueCellDelegate::paintBackground(painter, option, index);
    const std::optional<CueListModel::Timing> timing = timingAt(index);
    const QString text = index.data(Qt::DisplayRole).toString();
    painter->save();
    painter->setPen(CueCellDelegate::textColour(option, index));
    painter->setFont(option.font);
    const QRect inner = option.rect.adjusted(6, 0, -6, 0);
    if (timing == CueListModel::Timing::Continue) {
        painter->drawText(inner, Qt::AlignLeft | Qt::AlignVCenter, text);
        if (index.data(CueListModel::ChainsRole).toBool()) paintLink(painter, option, index);
    } else if (!text.isEmpty()) {
        painter->drawText(inner, Qt::AlignRight | Qt::AlignVCenter, tr("%1 s").arg(text));
    }
    painter->restore();
    if (option.state & QStyle::State_HasFocus)
        CueCellDelegate::paintFocusMark(painter, option, index);
}

QWidget* CueTimingDelegate::createEditor(QWidget* parent, const QStyleOptionViewItem&,
                                         const QModelIndex& index) const {
    const std::optional<CueListModel::Timing> timing = timingAt(index);
    if (!timing) return nullptr;
    if (*timing == CueListModel::Timing::Continue) {
        auto* choice = new QComboBox(parent);
        choice->setObjectName("continueEditor");
        choice->addItem(tr("None"), static_cast<int>(CueContinue::None));
        choice->addItem(CueListModel::continueText(CueContinue::AutoContinue),
                        static_cast<int>(CueContinue::AutoContinue));
        choice->addItem(CueListModel::continueText(CueContinue::AutoFollow),
                        static_cast<int>(CueContinue::AutoFollow));
        // A choice ends the edit at once.
        connect(choice, &QComboBox::activated, this, [this, choice] {
            emit const_cast<CueTimingDelegate*>(this)->commitData(choice);
            emit const_cast<CueTimingDelegate*>(this)->closeEditor(choice);
        });
        return choice;
    }
    auto* field = new QLineEdit(parent);
    field->setObjectName(*timing == CueListModel::Timing::PreWait ? "preWaitEditor"
                                                                  : "postWaitEditor");
    field->setAlignment(Qt::AlignRight);
    return field;
}

void CueTimingDelegate::setEditorData(QWidget* editor, const QModelIndex& index) const {
    const std::optional<CueListModel::Timing> timing = timingAt(index);
    if (!timing) return;
    if (auto* choice = qobject_cast<QComboBox*>(editor)) {
        const int at = choice->findData(index.data(CueListModel::ContinueRole).toInt());
        if (at >= 0) choice->setCurrentIndex(at);
    } else if (auto* field = qobject_cast<QLineEdit*>(editor)) {
        // Filled once: a repaint while the operator types leaves the text.
        if (field->property("loaded").toBool()) return;
        field->setProperty("loaded", true);
        field->setText(
            QString::fromStdString(formatCueNumber(index.data(waitRole(*timing)).toDouble())));
        field->selectAll();
    }
}

void CueTimingDelegate::setModelData(QWidget* editor, QAbstractItemModel* model,
                                     const QModelIndex& index) const {
    const std::optional<CueListModel::Timing> timing = timingAt(index);
    if (!timing) return;
    if (auto* choice = qobject_cast<QComboBox*>(editor)) {
        model->setData(index, choice->currentData(), CueListModel::ContinueRole);
    } else if (auto* field = qobject_cast<QLineEdit*>(editor)) {
        // Text that is not a number of seconds from 0 to a day changes
        // nothing (the controller refuses it).
        const std::optional<double> seconds = parseCueNumber(field->text().trimmed().toStdString());
        if (seconds) model->setData(index, *seconds, waitRole(*timing));
    }
}

void CueTimingDelegate::updateEditorGeometry(QWidget* editor, const QStyleOptionViewItem& option,
                                             const QModelIndex&) const {
    QRect box = option.rect;
    const int height = std::min(box.height(), editor->sizeHint().height());
    box.setTop(box.center().y() - height / 2);
    box.setHeight(height);
    editor->setGeometry(box);
}

}  // namespace bw
