#include "ui/step_timer.h"

#include <algorithm>
#include <utility>

namespace ui {

StepTimer::StepTimer(QObject* parent, std::function<Clock::time_point()> now)
    : QObject(parent), now_(std::move(now)) {
  timer_.setSingleShot(true);
  timer_.setTimerType(Qt::PreciseTimer);
  connect(&timer_, &QTimer::timeout, this, &StepTimer::fire);
}

void StepTimer::setInterval(int ms) {
  ms = std::max(ms, 0);
  if (ms == interval_) return;
  interval_ = ms;
  if (active_) start();
}

void StepTimer::start() {
  active_ = true;
  next_ = now_() + std::chrono::milliseconds(interval_);
  arm();
}

void StepTimer::stop() {
  active_ = false;
  timer_.stop();
}

void StepTimer::arm() {
  const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next_ - now_());
  timer_.start(static_cast<int>(std::max<std::chrono::milliseconds::rep>(wait.count(), 0)));
}

void StepTimer::fire() {
  if (!active_) return;
  const auto period = std::chrono::milliseconds(interval_);
  next_ += period;
  const auto now = now_();
  if (next_ + period < now) next_ = now + period;
  // Armed before the tick runs: a handler that stops or restarts the timer
  // has the last word.
  arm();
  emit timeout();
}

}  // namespace ui
