#include "ui/fonts.h"

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
  return font;
}

}  // namespace ui
