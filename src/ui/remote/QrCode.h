#pragma once

#include <QImage>
#include <QString>

namespace bw {

// `text` as a QR code (error correction level M): black modules on white,
// each `moduleSize` pixels, with the four-module quiet zone readers need
// around it. A null image when the text is too long for a QR code.
QImage qrCodeImage(const QString& text, int moduleSize);

}  // namespace bw
