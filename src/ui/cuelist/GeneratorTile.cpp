#include "ui/cuelist/GeneratorTile.h"

#include <QDrag>
#include <QMouseEvent>
#include <QPixmap>

#include "ui/cuelist/CueListModel.h"
#include "ui/cuelist/MediaDrag.h"

namespace bw {

GeneratorTile::GeneratorTile(const QString& urlString, QWidget* parent)
    : QWidget(parent),
      urlString_(urlString),
      thumbnailView_(new QLabel(this)),
      playerLabel_(new QLabel(this)) {
    thumbnailView_->setScaledContents(true);
    playerLabel_->setTextFormat(Qt::PlainText);
    playerLabel_->setTextInteractionFlags(Qt::NoTextInteraction);
    playerLabel_->setFrameShape(QFrame::NoFrame);
    playerLabel_->setAutoFillBackground(false);

    const std::optional<MediaURL> url = MediaURL::fromString(urlString_.toStdString());
    if (!url || url->isFileURL()) return;
    url_ = url;
    QString image;
    QString name;
    switch (*url->generatorKind()) {
        case MediaURL::Generator::Clear:
            image = "clear";
            name = tr("Clear");
            break;
        case MediaURL::Generator::Grid:
            image = "grid";
            name = tr("Grid");
            break;
        case MediaURL::Generator::Black:
            image = "black";
            name = tr("Black");
            break;
    }
    thumbnailView_->setPixmap(QPixmap::fromImage(CueListModel::generatorImage(image)));
    playerLabel_->setText(name);
    // "blackTile", "clearTile", "gridTile".
    setObjectName(image + QStringLiteral("Tile"));
    setAccessibleName(tr("%1 generator: drag onto an output cell").arg(name));
    setToolTip(tr("Drag onto an output cell to show %1").arg(name));
    setCursor(Qt::OpenHandCursor);
}

void GeneratorTile::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    const int side = height();
    thumbnailView_->setGeometry(0, 0, side, side);
    const int labelHeight = playerLabel_->sizeHint().height();
    playerLabel_->setGeometry(side + 4, side / 2 - labelHeight / 2, width() - side, labelHeight);
}

void GeneratorTile::mousePressEvent(QMouseEvent* event) {
    const QPixmap picture = thumbnailView_->pixmap();
    if (!url_ || picture.isNull() || event->button() != Qt::LeftButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    auto* drag = new QDrag(this);
    drag->setMimeData(MediaDrag::generatorMimeData(*url_));
    drag->setPixmap(
        picture.scaled(thumbnailView_->size(), Qt::KeepAspectRatio, Qt::SmoothTransformation));
    drag->setHotSpot(event->position().toPoint());
    drag->exec(Qt::LinkAction | Qt::CopyAction, Qt::LinkAction);
}

}  // namespace bw
