#include "ui/cuelist/MediaDrag.h"

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QMimeData>
#include <QUrl>

namespace bw {

QMimeData* MediaDrag::generatorMimeData(const MediaURL& url) {
    auto* data = new QMimeData;
    data->setData(kGeneratorMimeType, QByteArray::fromStdString(url.absoluteString()));
    return data;
}

std::optional<MediaURL> MediaDrag::mediaURL(const QMimeData& data) {
    if (data.hasFormat(kGeneratorMimeType)) {
        const std::optional<MediaURL> url =
            MediaURL::fromString(data.data(kGeneratorMimeType).toStdString());
        if (url && !url->isFileURL()) return url;
        return std::nullopt;
    }
    if (!data.hasFormat(kUriListMimeType)) return std::nullopt;
    // Lines end in CRLF; lines starting with "#" are comments.
    const QList<QByteArray> lines = data.data(kUriListMimeType).split('\n');
    for (QByteArray line : lines) {
        line = line.trimmed();
        if (line.isEmpty() || line.startsWith('#')) continue;
        const QUrl url = QUrl::fromEncoded(line, QUrl::StrictMode);
        if (url.isLocalFile()) {
            const QByteArray path = QFile::encodeName(url.toLocalFile());
            if (path.isEmpty()) return std::nullopt;
            return MediaURL::fileURL(path.toStdString());
        }
        // "grid://" and the like, byte for byte.
        return MediaURL::fromString(line.toStdString());
    }
    return std::nullopt;
}

}  // namespace bw
