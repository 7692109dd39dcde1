#include "ui/support/picture.h"

namespace ui {

QImage withTransparentGround(const QImage& image) {
  if (image.isNull()) return {};
  QImage out = image.convertToFormat(QImage::Format_ARGB32);
  const QRgb ground = out.pixel(0, out.height() - 1) & RGB_MASK;
  for (int y = 0; y < out.height(); ++y) {
    auto* line = reinterpret_cast<QRgb*>(out.scanLine(y));
    for (int x = 0; x < out.width(); ++x) {
      const QRgb colour = line[x] & RGB_MASK;
      line[x] = colour == ground ? 0 : (colour | 0xFF000000u);
    }
  }
  return out;
}

QPixmap transparentPicture(const QString& resource) {
  return QPixmap::fromImage(withTransparentGround(QImage(resource)));
}

}  // namespace ui
