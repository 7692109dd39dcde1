#include "ui/repaint_throttle.h"

#include <QCoreApplication>
#include <QEvent>
#include <QWidget>
#include <utility>

namespace ui {

RepaintThrottle::RepaintThrottle(QWidget* window, int periodMs,
                                 std::function<Clock::time_point()> now)
    : QObject(window), window_(window), periodMs_(periodMs), now_(std::move(now)) {
  later_.setSingleShot(true);
  later_.setTimerType(Qt::PreciseTimer);
  connect(&later_, &QTimer::timeout, this, [this] {
    QCoreApplication::postEvent(window_, new QEvent(QEvent::UpdateRequest), Qt::LowEventPriority);
  });
  window->installEventFilter(this);
}

std::optional<long long> RepaintThrottle::sinceLastPaint() const {
  if (!lastPaint_) return std::nullopt;
  return std::chrono::duration_cast<std::chrono::milliseconds>(now_() - *lastPaint_).count();
}

void RepaintThrottle::paintIfDue() {
  const auto since = sinceLastPaint();
  if (!since || *since < periodMs_) return;
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
  if (const auto since = sinceLastPaint(); since && *since < periodMs_) {
    if (!later_.isActive()) {
      later_.start(periodMs_ - static_cast<int>(*since));
      ++deferred_;
    }
    return true;
  }
  later_.stop();
  lastPaint_ = now_();
  return false;
}

}  // namespace ui
