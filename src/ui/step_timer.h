// The step timer. A plain QTimer starts each period when its last one has
// been served, so every tick that comes a little late (the event loop was
// busy, the system woke it late) pushes all later ticks back: at 1 ms it
// steps well under a thousand times a second. This one keeps to a fixed
// schedule, start + n · interval, so that over any stretch of time it ticks
// as often as its interval says; a tick that is late makes the next one come
// sooner. Having fallen behind by more than an interval, it drops what it
// missed rather than firing a burst.
#pragma once

#include <QObject>
#include <QTimer>
#include <chrono>
#include <functional>

namespace ui {

class StepTimer : public QObject {
  Q_OBJECT

 public:
  using Clock = std::chrono::steady_clock;

  // `now` reads the clock the schedule is kept on (the tests set their own).
  explicit StepTimer(QObject* parent = nullptr,
                     std::function<Clock::time_point()> now = Clock::now);

  int interval() const { return interval_; }
  // The same interval again changes nothing; another one restarts the period.
  void setInterval(int ms);
  bool isActive() const { return active_; }

  void start();
  void stop();

 signals:
  void timeout();

 private:
  void arm();
  void fire();

  std::function<Clock::time_point()> now_;
  QTimer timer_{this};
  int interval_ = 0;
  bool active_ = false;
  Clock::time_point next_;
};

}  // namespace ui
