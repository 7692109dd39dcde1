#include "ui/qt_invoker.h"

#include <QMetaObject>

namespace ui {

QtInvoker::QtInvoker(QObject* parent) : QObject(parent) {
  wake = [this] {
    QMetaObject::invokeMethod(
        this, [this] { checkSynchronize(); }, Qt::QueuedConnection);
  };
}

}  // namespace ui
