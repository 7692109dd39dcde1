#include "ui/resources.h"

#include <QtGlobal>

static void initRilvetResources() {
  Q_INIT_RESOURCE(resources);
}

namespace ui {
void initResources() {
  initRilvetResources();
}
}  // namespace ui
