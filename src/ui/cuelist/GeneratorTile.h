#pragma once

#include <QLabel>
#include <QPoint>
#include <QString>
#include <QWidget>
#include <optional>

#include "platform/MediaURL.h"

namespace bw {

// A small tile for one generator ("black://", "clear://" or "grid://"): its
// picture, square at the tile's height, and its name beside it. Dragged onto
// an output cell of the cue list it sets that cell's media. The drag offers
// only a private type, so the tile drops only within this application.
//
// A tile whose URL text does not parse shows nothing and cannot be dragged.
class GeneratorTile final : public QWidget {
    Q_OBJECT

public:
    GeneratorTile(const QString& urlString, QWidget* parent = nullptr);

    const QString& urlString() const { return urlString_; }
    const std::optional<MediaURL>& url() const { return url_; }
    QLabel* thumbnailView() const { return thumbnailView_; }
    QLabel* playerLabel() const { return playerLabel_; }

    QSize sizeHint() const override { return {65, 22}; }

protected:
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    QString urlString_;
    std::optional<MediaURL> url_;
    QLabel* thumbnailView_;
    QLabel* playerLabel_;
};

}  // namespace bw
