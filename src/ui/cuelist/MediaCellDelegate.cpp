#include "ui/cuelist/MediaCellDelegate.h"

#include <QApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QPixmapCache>
#include <QStyle>
#include <QStyleOptionButton>

#include "ui/FocusRing.h"
#include "ui/cuelist/CueCellDelegate.h"

namespace bw {

namespace {

constexpr int kMargin = 4;
constexpr int kGap = 4;
constexpr int kBoxHeight = 20;
constexpr int kBoxSpacing = 6;

QStyle* styleOf(const QStyleOptionViewItem& option) {
    return option.widget != nullptr ? option.widget->style() : QApplication::style();
}

}  // namespace

MediaCellDelegate::MediaCellDelegate(QObject* parent) : QStyledItemDelegate(parent) {}

bool MediaCellDelegate::hasFit(const QString& cellTemplate) {
    return cellTemplate == QLatin1String("VideoStateCell") ||
           cellTemplate == QLatin1String("ImageStateCell");
}

PictureFit MediaCellDelegate::nextFit(PictureFit fit) {
    switch (fit) {
        case PictureFit::Fit:
            return PictureFit::Fill;
        case PictureFit::Fill:
            return PictureFit::Stretch;
        case PictureFit::Stretch:
            return PictureFit::Fit;
    }
    return PictureFit::Fit;
}

QString MediaCellDelegate::fitLabel(PictureFit fit) {
    switch (fit) {
        case PictureFit::Fit:
            return tr("Fit");
        case PictureFit::Fill:
            return tr("Fill");
        case PictureFit::Stretch:
            return tr("Stretch");
    }
    return {};
}

MediaCellDelegate::Layout MediaCellDelegate::layoutOf(const QRect& rect,
                                                      const QString& cellTemplate,
                                                      const QStyleOptionViewItem& option) {
    Layout layout;
    const int margin = CueCellLayout::scaled(kMargin, rect);
    const int boxHeight = CueCellLayout::scaled(kBoxHeight, rect);
    const int side = std::max(0, rect.height() - 2 * margin);
    layout.picture = QRect(rect.left() + margin, rect.top() + margin, side, side);
    const int textLeft = layout.picture.right() + 1 + CueCellLayout::scaled(kGap, rect);
    const int textWidth = std::max(0, rect.right() - margin - textLeft);
    if (cellTemplate == QLatin1String("GeneratorStateCell")) {
        layout.text = QRect(textLeft, layout.picture.top(), textWidth, side);
        return layout;
    }
    layout.text = QRect(textLeft, layout.picture.top(), textWidth, side - boxHeight);
    if (hasFit(cellTemplate)) {
        // Wide enough for the longest word, so the name keeps its place
        // whichever fit the cell has.
        int widest = 0;
        for (const PictureFit fit : {PictureFit::Fit, PictureFit::Fill, PictureFit::Stretch})
            widest = std::max(widest, option.fontMetrics.horizontalAdvance(fitLabel(fit)));
        const int width = std::min(textWidth, widest + CueCellLayout::scaled(2 * kGap, rect));
        const int height = std::min(layout.text.height(), option.fontMetrics.height() + 2);
        layout.fit = QRect(textLeft + textWidth - width, layout.text.top(), width, height);
        layout.text.setWidth(std::max(0, textWidth - width - CueCellLayout::scaled(kGap, rect)));
    }
    std::vector<std::pair<CueListModel::Role, QString>> boxes;
    if (cellTemplate == QLatin1String("VideoStateCell")) {
        boxes = {{CueListModel::AudioRole, tr("Audio")}, {CueListModel::LoopedRole, tr("Loop")}};
    } else if (cellTemplate == QLatin1String("ImageStateCell")) {
        boxes = {{CueListModel::KenBurnsRole, tr("Ken Burns")}};
    }
    QStyle* style = styleOf(option);
    const int indicator = style->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, option.widget);
    const int spacing = style->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, nullptr, option.widget);
    int x = textLeft;
    const int y = layout.picture.bottom() + 1 - boxHeight;
    for (const auto& [role, label] : boxes) {
        const int width = indicator + spacing + option.fontMetrics.horizontalAdvance(label) + 2;
        layout.boxes.push_back({role, label, QRect(x, y, width, boxHeight)});
        x += width + CueCellLayout::scaled(kBoxSpacing, rect);
    }
    return layout;
}

void MediaCellDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                              const QModelIndex& index) const {
    if (index.data(CueListModel::DropTargetRole).toBool()) {
        painter->fillRect(option.rect, option.palette.color(QPalette::Midlight));
    } else {
        CueCellDelegate::paintBackground(painter, option, index);
    }
    const bool focused = option.state & QStyle::State_HasFocus;
    const QString cellTemplate = index.data(CueListModel::CellTemplateRole).toString();
    if (cellTemplate.isEmpty()) {
        if (focused) CueCellDelegate::paintFocusMark(painter, option, index);
        return;
    }
    const Layout layout = layoutOf(option.rect, cellTemplate, option);
    const QColor text = CueCellDelegate::textColour(option, index);

    painter->save();
    painter->setRenderHint(QPainter::SmoothPixmapTransform);
    const QPixmap picture = index.data(Qt::DecorationRole).value<QPixmap>();
    if (!picture.isNull()) {
        // Scaled once per picture and size, not at every paint.
        const QString key = QStringLiteral("bw-cell-%1-%2x%3")
                                .arg(picture.cacheKey())
                                .arg(layout.picture.width())
                                .arg(layout.picture.height());
        QPixmap scaled;
        if (!QPixmapCache::find(key, &scaled)) {
            scaled = picture.scaled(layout.picture.size(), Qt::IgnoreAspectRatio,
                                    Qt::SmoothTransformation);
            QPixmapCache::insert(key, scaled);
        }
        painter->drawPixmap(layout.picture.topLeft(), scaled);
    } else {
        // Still being made: an empty frame where the picture will be.
        QColor frame = text;
        frame.setAlphaF(0.35f);
        painter->setPen(QPen(frame, 1, Qt::DashLine));
        painter->drawRect(layout.picture.adjusted(0, 0, -1, -1));
    }

    painter->setPen(text);
    painter->setFont(option.font);
    const QFontMetrics& metrics = option.fontMetrics;
    // At most two lines, the last one shortened to fit.
    const QStringList lines = index.data(Qt::DisplayRole).toString().split('\n');
    const int lineCount = layout.boxes.empty() ? 2 : 1;
    const int lineHeight = metrics.height();
    const int shown = std::min<int>(lineCount, static_cast<int>(lines.size()));
    int y = layout.text.top();
    // Without boxes the text sits in the middle of the cell's height.
    if (layout.boxes.empty()) y += (layout.text.height() - lineHeight * shown) / 2;
    for (int i = 0; i < shown; ++i) {
        QString line = lines[i];
        if (i == lineCount - 1 && i + 1 < lines.size()) line += ' ' + lines.mid(i + 1).join(' ');
        painter->drawText(QRect(layout.text.left(), y, layout.text.width(), lineHeight),
                          Qt::AlignLeft | Qt::AlignVCenter,
                          metrics.elidedText(line, Qt::ElideMiddle, layout.text.width()));
        y += lineHeight;
    }

    if (!layout.fit.isEmpty()) {
        QColor frame = text;
        frame.setAlphaF(0.55f);
        painter->setPen(QPen(frame, 1));
        painter->drawRoundedRect(QRectF(layout.fit).adjusted(0.5, 0.5, -0.5, -0.5), 3, 3);
        painter->setPen(text);
        const auto fit = static_cast<PictureFit>(index.data(CueListModel::FitRole).toInt());
        painter->drawText(layout.fit, Qt::AlignCenter, fitLabel(fit));
    }

    QStyle* style = styleOf(option);
    for (const Box& box : layout.boxes) {
        QStyleOptionButton button;
        button.rect = box.rect;
        button.text = box.label;
        button.palette = option.palette;
        button.palette.setColor(QPalette::WindowText, text);
        // Fusion outlines the box in the window colour, darkened: on the dark
        // look's base an empty box would not show. This grey outlines it
        // clearly on the base of either look and on the highlighted rows.
        button.palette.setColor(QPalette::Window, QColor(0xAA, 0xAA, 0xAA));
        button.fontMetrics = metrics;
        button.state = QStyle::State_Enabled |
                       (index.data(box.role).toBool() ? QStyle::State_On : QStyle::State_Off);
        style->drawControl(QStyle::CE_CheckBox, &button, painter, option.widget);
        if (focused && markedBox_ == box.role) {
            FocusRing::paintMark(*painter, box.rect.adjusted(-3, -1, 3, 1), option.palette,
                                 CueCellDelegate::backgroundColour(option, index));
        }
    }
    painter->restore();
    if (focused) CueCellDelegate::paintFocusMark(painter, option, index);
}

QSize MediaCellDelegate::sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const {
    return {CueListModel::kOutputColumnWidth, CueCellDelegate::kRowHeight};
}

bool MediaCellDelegate::editorEvent(QEvent* event, QAbstractItemModel* model,
                                    const QStyleOptionViewItem& option, const QModelIndex& index) {
    const QEvent::Type type = event->type();
    if (type != QEvent::MouseButtonPress && type != QEvent::MouseButtonRelease &&
        type != QEvent::MouseButtonDblClick) {
        return false;
    }
    const auto* mouse = static_cast<QMouseEvent*>(event);
    if (mouse->button() != Qt::LeftButton) return false;
    const Layout layout =
        layoutOf(option.rect, index.data(CueListModel::CellTemplateRole).toString(), option);
    if (layout.fit.contains(mouse->position().toPoint())) {
        if (type == QEvent::MouseButtonRelease) {
            const auto fit = static_cast<PictureFit>(index.data(CueListModel::FitRole).toInt());
            model->setData(index, static_cast<int>(nextFit(fit)), CueListModel::FitRole);
        }
        return true;
    }
    for (const Box& box : layout.boxes) {
        if (!box.rect.contains(mouse->position().toPoint())) continue;
        // The box takes the whole click: no selection, no drag.
        if (type == QEvent::MouseButtonRelease)
            model->setData(index, !index.data(box.role).toBool(), box.role);
        return true;
    }
    return false;
}

}  // namespace bw
