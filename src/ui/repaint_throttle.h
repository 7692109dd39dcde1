// Holds a window's repaints to the rate a screen can show. The step timer may
// tick a thousand times a second, and each tick changes the indicators, the
// table's marker and the status bar; painting all of that every millisecond
// would take most of the GUI thread's time and slow the steps themselves.
// Changes still reach the widgets at once; only their painting is gathered
// and done at most once per period.
#pragma once

#include <QObject>
#include <QTimer>
#include <chrono>
#include <functional>
#include <optional>

class QWidget;

namespace ui {

class RepaintThrottle : public QObject {
 public:
  using Clock = std::chrono::steady_clock;

  // Watches `window` (a top-level widget); `periodMs` between two repaints,
  // measured on `now` (the tests set their own clock).
  RepaintThrottle(QWidget* window, int periodMs,
                  std::function<Clock::time_point()> now = Clock::now);

  int deferred() const { return deferred_; }
  // 0: every repaint Qt asks for is done at once.
  void setPeriod(int periodMs) { periodMs_ = periodMs; }
  int period() const { return periodMs_; }
  // Paints what is waiting now when the last paint is a period old or older:
  // after a long handler the timers that came due meanwhile would otherwise
  // run before the repaint, and the screen would lag a step behind.
  void paintIfDue();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // Milliseconds since the last paint; none before the first.
  std::optional<long long> sinceLastPaint() const;

  QWidget* window_;
  int periodMs_;
  std::function<Clock::time_point()> now_;
  std::optional<Clock::time_point> lastPaint_;
  QTimer later_;
  int deferred_ = 0;
};

}  // namespace ui
