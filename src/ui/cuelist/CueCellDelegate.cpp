#include "ui/cuelist/CueCellDelegate.h"

#include <QApplication>
#include <QFocusEvent>
#include <QFont>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <QTimer>
#include <cmath>

#include "show/NumberText.h"
#include "ui/FocusRing.h"
#include "ui/cuelist/CueListController.h"
#include "ui/cuelist/CueListModel.h"

namespace bw {

namespace {

constexpr int kMargin = 6;
constexpr int kIDWidth = 70;
constexpr int kFadeWidth = 64;
constexpr int kSecondsWidth = 16;
constexpr int kLineHeight = 22;

QFont idFont(QFont font) {
    font.setBold(true);
    font.setPointSizeF(font.pointSizeF() * 1.3);
    return font;
}

}  // namespace

int CueCellLayout::scaled(int size, const QRect& cell) {
    // The list's zoom shows in its row height.
    return static_cast<int>(
        std::lround(size * cell.height() / double(CueCellDelegate::kRowHeight)));
}

CueCellLayout CueCellLayout::of(const QRect& cell) {
    const int margin = scaled(kMargin, cell);
    const int idWidth = scaled(kIDWidth, cell);
    const int fadeWidth = scaled(kFadeWidth, cell);
    const int lineHeight = scaled(kLineHeight, cell);
    const int textLeft = cell.left() + margin + idWidth + margin;
    const int textWidth = std::max(0, cell.right() - margin - textLeft);
    const int top = cell.top() + (cell.height() - 2 * lineHeight) / 2;
    CueCellLayout layout;
    layout.id = QRect(cell.left() + margin, cell.top(), idWidth, cell.height());
    layout.description = QRect(textLeft, top, textWidth, lineHeight);
    layout.fade = QRect(textLeft, top + lineHeight, fadeWidth, lineHeight);
    layout.seconds =
        QRect(textLeft + fadeWidth + 2, top + lineHeight, scaled(kSecondsWidth, cell), lineHeight);
    return layout;
}

// The editor ------------------------------------------------------------------

CueCellEditor::CueCellEditor(QWidget* parent, std::function<bool(const QString&)> acceptsID)
    : QWidget(parent),
      idField_(new QLineEdit(this)),
      fadeField_(new QLineEdit(this)),
      descriptionField_(new QLineEdit(this)),
      secondsLabel_(new QLabel(tr("s"), this)),
      acceptsID_(std::move(acceptsID)) {
    setObjectName("cueCellEditor");
    setAutoFillBackground(true);
    idField_->setObjectName("idField");
    idField_->setAccessibleName(tr("Cue number"));
    idField_->setFont(idFont(font()));
    fadeField_->setObjectName("fadeLengthTextField");
    fadeField_->setAccessibleName(tr("Fade length in seconds"));
    descriptionField_->setObjectName("descriptionTextField");
    descriptionField_->setAccessibleName(tr("Description"));
    descriptionField_->setPlaceholderText(tr("Description"));
    secondsLabel_->setObjectName("secondsLabel");
    for (QLineEdit* field : {idField_, fadeField_, descriptionField_})
        field->installEventFilter(this);
    setFocusProxy(idField_);
}

bool CueCellEditor::load(const QString& id, const QString& fade, const QString& description) {
    if (loaded_) return false;
    loaded_ = true;
    loadedID_ = id;
    loadedFade_ = fade;
    loadedDescription_ = description;
    idField_->setText(id);
    fadeField_->setText(fade);
    descriptionField_->setText(description);
    return true;
}

void CueCellEditor::focusField(Field field) {
    QLineEdit* target = field == Field::Fade          ? fadeField_
                        : field == Field::Description ? descriptionField_
                                                      : idField_;
    setFocusProxy(target);
    target->setFocus(Qt::OtherFocusReason);
    target->selectAll();
}

void CueCellEditor::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    const CueCellLayout layout = CueCellLayout::of(rect());
    const int inset = (layout.id.height() - layout.description.height() - 4) / 2;
    idField_->setGeometry(layout.id.adjusted(0, inset, 0, -inset));
    descriptionField_->setGeometry(layout.description);
    fadeField_->setGeometry(layout.fade);
    secondsLabel_->setGeometry(layout.seconds);
}

bool CueCellEditor::tryFinish() {
    if (!acceptsID_ || acceptsID_(idField_->text())) {
        finish(true);
        return true;
    }
    // Refused: the editor stays, on the ID.
    idField_->setFocus(Qt::OtherFocusReason);
    return false;
}

void CueCellEditor::finish(bool keep) {
    if (finishedOnce_) return;
    finishedOnce_ = true;
    if (finished_) finished_(keep);
}

bool CueCellEditor::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        switch (key->key()) {
            case Qt::Key_Return:
            case Qt::Key_Enter:
                tryFinish();
                return true;
            case Qt::Key_Escape:
                finish(false);
                return true;
            case Qt::Key_Tab:
            case Qt::Key_Backtab: {
                QLineEdit* order[] = {idField_, descriptionField_, fadeField_};
                int at = 0;
                while (at < 3 && order[at] != watched)
                    ++at;
                const int step = key->key() == Qt::Key_Tab ? 1 : 2;
                QLineEdit* next = order[(at + step) % 3];
                next->setFocus(Qt::TabFocusReason);
                next->selectAll();
                return true;
            }
            default:
                break;
        }
    } else if (event->type() == QEvent::FocusOut) {
        const auto* focus = static_cast<QFocusEvent*>(event);
        // The window going to the back, or a menu opening, ends nothing.
        if (focus->reason() == Qt::ActiveWindowFocusReason ||
            focus->reason() == Qt::PopupFocusReason) {
            return false;
        }
        // Focus has not moved yet: look once it has.
        QTimer::singleShot(0, this, [this] {
            QWidget* now = QApplication::focusWidget();
            if (now != nullptr && isAncestorOf(now)) return;
            tryFinish();
        });
    }
    return QWidget::eventFilter(watched, event);
}

// The delegate ----------------------------------------------------------------

CueCellDelegate::CueCellDelegate(CueListController& controller, QObject* parent)
    : QStyledItemDelegate(parent), controller_(controller) {}

void CueCellDelegate::paintBackground(QPainter* painter, const QStyleOptionViewItem& option,
                                      const QModelIndex& index) {
    QStyleOptionViewItem panel = option;
    const QVariant background = index.data(Qt::BackgroundRole);
    if (background.canConvert<QColor>()) panel.backgroundBrush = background.value<QColor>();
    panel.text.clear();
    panel.icon = {};
    const QWidget* widget = option.widget;
    QStyle* style = widget != nullptr ? widget->style() : QApplication::style();
    style->drawPrimitive(QStyle::PE_PanelItemViewItem, &panel, painter, widget);
}

QColor CueCellDelegate::backgroundColour(const QStyleOptionViewItem& option,
                                         const QModelIndex& index) {
    if (option.state & QStyle::State_Selected)
        return option.palette.color(QPalette::Active, QPalette::Highlight);
    if (index.data(CueListModel::DropTargetRole).toBool())
        return option.palette.color(QPalette::Midlight);
    const QVariant background = index.data(Qt::BackgroundRole);
    if (background.canConvert<QColor>()) return background.value<QColor>();
    return option.palette.color(QPalette::Base);
}

void CueCellDelegate::paintFocusMark(QPainter* painter, const QStyleOptionViewItem& option,
                                     const QModelIndex& index) {
    FocusRing::paintMark(*painter, option.rect, option.palette, backgroundColour(option, index));
}

QColor CueCellDelegate::textColour(const QStyleOptionViewItem& option, const QModelIndex& index) {
    if (option.state & QStyle::State_Selected)
        return option.palette.color(QPalette::Active, QPalette::HighlightedText);
    const QVariant foreground = index.data(Qt::ForegroundRole);
    if (foreground.canConvert<QColor>()) return foreground.value<QColor>();
    return option.palette.color(QPalette::Text);
}

void CueCellDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                            const QModelIndex& index) const {
    paintBackground(painter, option, index);
    const CueCellLayout layout = CueCellLayout::of(option.rect);
    painter->save();
    painter->setPen(textColour(option, index));
    painter->setFont(idFont(option.font));
    painter->drawText(layout.id, Qt::AlignLeft | Qt::AlignVCenter,
                      index.data(Qt::DisplayRole).toString());
    painter->setFont(option.font);
    const QFontMetrics metrics(option.font);
    const QString description = index.data(CueListModel::DescriptionRole).toString();
    painter->drawText(layout.description, Qt::AlignLeft | Qt::AlignVCenter,
                      metrics.elidedText(description, Qt::ElideRight, layout.description.width()));
    painter->drawText(layout.fade, Qt::AlignRight | Qt::AlignVCenter,
                      index.data(CueListModel::FadeLengthTextRole).toString());
    painter->drawText(layout.seconds, Qt::AlignLeft | Qt::AlignVCenter, tr("s"));
    painter->restore();
    if (option.state & QStyle::State_HasFocus) paintFocusMark(painter, option, index);
}

QSize CueCellDelegate::sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const {
    return {kColumnWidth, kRowHeight};
}

bool CueCellDelegate::editorEvent(QEvent* event, QAbstractItemModel* model,
                                  const QStyleOptionViewItem& option, const QModelIndex& index) {
    if (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonDblClick) {
        const QPoint at = static_cast<QMouseEvent*>(event)->position().toPoint();
        const CueCellLayout layout = CueCellLayout::of(option.rect);
        if (layout.description.contains(at)) {
            clickedField_ = CueCellEditor::Field::Description;
        } else if (layout.fade.united(layout.seconds).contains(at)) {
            clickedField_ = CueCellEditor::Field::Fade;
        } else {
            clickedField_ = CueCellEditor::Field::ID;
        }
    }
    return QStyledItemDelegate::editorEvent(event, model, option, index);
}

bool CueCellDelegate::acceptsIDText(const QModelIndex& index, const QString& text) const {
    const std::optional<double> value = parseCueNumber(text.toStdString());
    // No number: the ID stays as it was.
    if (!value) return true;
    if (!std::isfinite(*value)) return false;
    // Only plain decimal numbers become IDs; anything else changes nothing.
    if (!parseFiniteCueNumber(text.toStdString())) return true;
    return index.isValid() && controller_.acceptsCueID(index.row(), *value);
}

QWidget* CueCellDelegate::createEditor(QWidget* parent, const QStyleOptionViewItem&,
                                       const QModelIndex& index) const {
    const QPersistentModelIndex cell(index);
    auto* editor = new CueCellEditor(
        parent, [this, cell](const QString& text) { return acceptsIDText(cell, text); });
    // The view hears of the end through the delegate's signals, and deletes
    // the editor later.
    auto* self = const_cast<CueCellDelegate*>(this);
    editor->setFinished([self, editor](bool keep) {
        if (keep) emit self->commitData(editor);
        emit self->closeEditor(editor, QAbstractItemDelegate::NoHint);
    });
    return editor;
}

void CueCellDelegate::setEditorData(QWidget* editor, const QModelIndex& index) const {
    auto* cueEditor = static_cast<CueCellEditor*>(editor);
    const bool first = cueEditor->load(index.data(Qt::DisplayRole).toString(),
                                       index.data(CueListModel::FadeLengthTextRole).toString(),
                                       index.data(CueListModel::DescriptionRole).toString());
    if (!first) return;
    // A double click opens the field under it; F2 the ID.
    cueEditor->focusField(clickedField_.value_or(CueCellEditor::Field::ID));
    clickedField_.reset();
}

void CueCellDelegate::setModelData(QWidget* editor, QAbstractItemModel* model,
                                   const QModelIndex& index) const {
    const auto* cueEditor = static_cast<const CueCellEditor*>(editor);
    const QPersistentModelIndex cell(index);
    const QString description = cueEditor->descriptionField()->text();
    if (description != cueEditor->loadedDescription())
        model->setData(cell, description, CueListModel::DescriptionRole);
    const QString fade = cueEditor->fadeField()->text();
    if (fade != cueEditor->loadedFade()) {
        // A fade that is no number, negative or endless is not taken.
        const std::optional<double> seconds = parseFiniteCueNumber(fade.toStdString());
        if (seconds && *seconds >= 0.0)
            model->setData(cell, *seconds, CueListModel::FadeLengthRole);
    }
    // The ID last: it may move the row.
    const QString id = cueEditor->idField()->text();
    if (id != cueEditor->loadedID()) {
        if (const std::optional<double> value = parseFiniteCueNumber(id.toStdString()))
            model->setData(cell, *value, CueListModel::CueIDRole);
    }
}

void CueCellDelegate::updateEditorGeometry(QWidget* editor, const QStyleOptionViewItem& option,
                                           const QModelIndex&) const {
    editor->setGeometry(option.rect);
}

}  // namespace bw
