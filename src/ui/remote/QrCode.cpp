#include "ui/remote/QrCode.h"

#include <qrencode.h>

#include <QPainter>
#include <memory>

namespace bw {
namespace {

constexpr int kQuietModules = 4;

struct QrCodeDeleter {
    void operator()(QRcode* code) const noexcept { QRcode_free(code); }
};

}  // namespace

QImage qrCodeImage(const QString& text, int moduleSize) {
    const QByteArray bytes = text.toUtf8();
    const std::unique_ptr<QRcode, QrCodeDeleter> code(
        QRcode_encodeString8bit(bytes.constData(), 0, QR_ECLEVEL_M));
    if (!code || moduleSize < 1) return {};
    const int modules = code->width;
    const int side = (modules + 2 * kQuietModules) * moduleSize;
    QImage image(side, side, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    for (int y = 0; y < modules; ++y) {
        for (int x = 0; x < modules; ++x) {
            // Bit 0 of each module's byte: dark.
            if ((code->data[y * modules + x] & 1) == 0) continue;
            painter.fillRect((x + kQuietModules) * moduleSize, (y + kQuietModules) * moduleSize,
                             moduleSize, moduleSize, Qt::black);
        }
    }
    return image;
}

}  // namespace bw
