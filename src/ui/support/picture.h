// The tool buttons' pictures: opaque bitmaps whose ground colour, the colour
// of the lower-left pixel, is shown as transparent.
#pragma once

#include <QImage>
#include <QPixmap>
#include <QString>

namespace ui {

// A copy of the image in ARGB32 in which every pixel of the lower-left pixel's
// colour is fully transparent and every other pixel fully opaque. A null image
// stays null.
QImage withTransparentGround(const QImage& image);

// Loads a bitmap (a file or a resource such as ":/start.bmp") and applies
// withTransparentGround. A picture that cannot be loaded gives a null pixmap.
// The result can be handed straight to QIcon.
QPixmap transparentPicture(const QString& resource);

}  // namespace ui
