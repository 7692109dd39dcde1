// Decoding of JPEG pictures with libjpeg, called directly rather than through
// Qt's image plugins, so the about box's background is read the same way on
// every platform.
#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>

namespace ui {

// Either a decoded picture (QImage::Format_RGB888) and an empty error, or a
// null image and the reason in Russian.
struct JpegResult {
  QImage image;
  QString error;
};

// Decodes a whole JPEG file held in memory. Empty, truncated or corrupt data
// gives an error, never a partly decoded picture.
JpegResult decodeJpeg(const QByteArray& data);

}  // namespace ui
