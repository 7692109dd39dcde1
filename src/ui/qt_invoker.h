// The event thread's "run on the GUI thread" service, woken by Qt's event
// loop: a call queued by the thread is run at the GUI thread's next turn.
#pragma once

#include <QObject>

#include "comport/sync_invoker.h"

namespace ui {

class QtInvoker : public QObject, public comport::SyncQueue {
  Q_OBJECT

 public:
  explicit QtInvoker(QObject* parent = nullptr);
};

}  // namespace ui
