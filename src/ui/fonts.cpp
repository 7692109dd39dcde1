#include "ui/fonts.h"

#include <QFont>
#include <QStringList>

namespace ui {

void installFontSubstitutes() {
  QFont::insertSubstitutions("MS Sans Serif", QStringList() << "Liberation Sans"
                                                            << "DejaVu Sans"
                                                            << "Arial");
  QFont::insertSubstitutions("Courier New", QStringList() << "Liberation Mono"
                                                          << "DejaVu Sans Mono");
}

}  // namespace ui
