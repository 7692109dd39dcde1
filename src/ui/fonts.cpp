#include "ui/fonts.h"

#include <QFontInfo>
#include <QStringList>

namespace ui {

void installFontSubstitutes() {
  QFont::insertSubstitutions("MS Sans Serif", QStringList() << "Liberation Sans"
                                                            << "DejaVu Sans"
                                                            << "Arial");
  QFont::insertSubstitutions("Courier New", QStringList() << "Liberation Mono"
                                                          << "DejaVu Sans Mono");
}

QFont msSansSerif(int pixelSize, bool bold) {
  QFont font("MS Sans Serif");
  font.setPixelSize(pixelSize);
  font.setBold(bold);
  // The look-alikes are Arial's width, about a tenth wider than the bitmap
  // original at the forms' sizes: condensed to its width, a text that the
  // forms fit into a box (a status panel, a label) fits there again.
  if (!QFontInfo(font).family().contains("Sans Serif", Qt::CaseInsensitive)) {
    font.setStretch(kLookAlikeStretch);
  }
  return font;
}

}  // namespace ui
