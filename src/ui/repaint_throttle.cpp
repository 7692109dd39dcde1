#include "ui/repaint_throttle.h"

#include <QCoreApplication>
#include <QEvent>
#include <QWidget>

namespace ui {

RepaintThrottle::RepaintThrottle(QWidget* window, int periodMs)
    : QObject(window), window_(window), periodMs_(periodMs) {
  later_.setSingleShot(true);
  later_.setTimerType(Qt::PreciseTimer);
  connect(&later_, &QTimer::timeout, this, [this] {
    QCoreApplication::postEvent(window_, new QEvent(QEvent::UpdateRequest), Qt::LowEventPriority);
  });
  window->installEventFilter(this);
}

void RepaintThrottle::paintIfDue() {
  if (!sinceLastPaint_.isValid() || sinceLastPaint_.elapsed() < periodMs_) return;
  if (!later_.isActive()) {
    // Nothing held back: the repaint Qt asked for, if any, is still posted.
    QCoreApplication::sendPostedEvents(window_, QEvent::UpdateRequest);
    return;
  }
  later_.stop();
  QEvent request(QEvent::UpdateRequest);
  QCoreApplication::sendEvent(window_, &request);
}

bool RepaintThrottle::eventFilter(QObject* watched, QEvent* event) {
  if (watched != window_ || event->type() != QEvent::UpdateRequest) return false;
  // Qt asks for one repaint of the window's dirty parts and asks again only
  // after it has painted; what changes in between joins the dirty parts.
  if (sinceLastPaint_.isValid() && sinceLastPaint_.elapsed() < periodMs_) {
    if (!later_.isActive()) {
      later_.start(periodMs_ - static_cast<int>(sinceLastPaint_.elapsed()));
      ++deferred_;
    }
    return true;
  }
  later_.stop();
  sinceLastPaint_.start();
  return false;
}

}  // namespace ui
