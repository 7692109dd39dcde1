// How the main window keeps up with a step timer at 1 ms: the step timer
// holds its schedule when ticks come late, repaints are gathered to a
// screen's rate, and a step repaints only what it changed.
#include <QPaintEvent>
#include <QTimer>
#include <chrono>
#include <functional>
#include <numeric>
#include <vector>

#include "ui/repaint_throttle.h"
#include "ui/step_timer.h"
#include "ui_harness.h"

using ui_testing::Harness;
using ui_testing::waitFor;

namespace {

// The regions painted in a widget, in its own coordinates.
class PaintLog : public QObject {
 public:
  explicit PaintLog(QWidget* w) { w->installEventFilter(this); }
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) regions << static_cast<QPaintEvent*>(event)->region();
    return false;
  }
  QList<QRegion> regions;
};

// A clock that stands still until the test moves it, in milliseconds from
// its start.
class ManualClock {
 public:
  using Clock = std::chrono::steady_clock;
  std::function<Clock::time_point()> function() {
    return [this] { return now_; };
  }
  void set(int ms) { now_ = Clock::time_point() + std::chrono::milliseconds(ms); }
  void advance(int ms) { now_ += std::chrono::milliseconds(ms); }

 private:
  Clock::time_point now_;
};

// The wait the step timer has armed its Qt timer with, or −1 when none is.
int armedWait(ui::StepTimer& timer) {
  const auto* armed = timer.findChild<QTimer*>();
  return armed != nullptr && armed->isActive() ? armed->interval() : -1;
}

// Lets the paints of a window just shown happen, and leaves the throttle
// more than a period past the last one.
void settle(ManualClock& clock, ui::RepaintThrottle& throttle) {
  clock.advance(throttle.period() + 1);
  throttle.paintIfDue();
  clock.advance(throttle.period() + 1);
}

QByteArray threeColumns() {
  return ui_testing::tableBytes({{1, 2}, {3}, {48}}, "100000");
}

}  // namespace

class PaintingPaceTest : public QObject {
  Q_OBJECT

 private slots:
  void stepTimerKeepsItsScheduleWhenTicksComeLate() {
    // Every tick comes 8 ms late. A timer that starts its next period when
    // the tick is done would wait 20 ms again and drift; on its schedule,
    // start + n · 20 ms, it waits 12. Each tick moves the clock to the
    // moment the next one is to arrive, so real time plays no part.
    ManualClock clock;
    ui::StepTimer timer(nullptr, clock.function());
    timer.setInterval(20);
    std::vector<int> waits;
    QObject::connect(&timer, &ui::StepTimer::timeout, [&] {
      waits.push_back(armedWait(timer));
      const int n = static_cast<int>(waits.size());
      // The sixth tick comes on time; then stop.
      if (n < 5) clock.set((n + 1) * 20 + 8);
      if (n == 5) clock.set(6 * 20);
      if (n == 6) timer.stop();
    });
    timer.start();
    QCOMPARE(armedWait(timer), 20);
    clock.set(28);
    QVERIFY(waitFor([&] { return waits.size() == 6; }, 5000));
    QCOMPARE(waits, (std::vector<int>{12, 12, 12, 12, 12, 20}));
  }

  void stepTimerFallenBehindDropsTheTicksItMissedInsteadOfABurst() {
    ManualClock clock;
    ui::StepTimer timer(nullptr, clock.function());
    timer.setInterval(5);
    std::vector<int> waits;
    QObject::connect(&timer, &ui::StepTimer::timeout, [&] {
      waits.push_back(armedWait(timer));
      // After the first tick, 20 periods pass without an event loop; then
      // the ticks come on time.
      if (waits.size() == 1) clock.set(105);
      if (waits.size() == 2) clock.set(110);
      if (waits.size() == 3) timer.stop();
    });
    timer.start();
    clock.set(5);
    QVERIFY(waitFor([&] { return waits.size() == 3; }, 5000));
    // The late tick comes once and the next a whole period after it, not the
    // 19 it missed at once (a wait of 0).
    QCOMPARE(waits, (std::vector<int>{5, 5, 5}));
  }

  void stepTimerIntervalRulesAreThoseOfATimer() {
    ManualClock clock;
    ui::StepTimer timer(nullptr, clock.function());
    QVERIFY(!timer.isActive());
    timer.setInterval(50);
    QCOMPARE(timer.interval(), 50);
    std::vector<int> waits;
    QObject::connect(&timer, &ui::StepTimer::timeout, [&] { waits.push_back(armedWait(timer)); });
    timer.start();
    QVERIFY(timer.isActive());
    QCOMPARE(armedWait(timer), 50);
    // The same value again changes nothing: the tick still comes at 50 ms
    // and the next is due at 100 (a restart would have made it 80 and 130).
    clock.set(30);
    timer.setInterval(50);
    clock.set(50);
    QVERIFY(waitFor([&] { return !waits.empty(); }, 5000));
    QCOMPARE(waits.front(), 50);
    // Another value restarts the period.
    clock.set(80);
    timer.setInterval(60);
    QCOMPARE(armedWait(timer), 60);
    timer.stop();
    QVERIFY(!timer.isActive());
    QCOMPARE(armedWait(timer), -1);
    const std::size_t ticks = waits.size();
    QTest::qWait(80);
    QCOMPARE(waits.size(), ticks);
  }

  void repaintsComeAtMostOncePerPeriodAndShowTheLastState() {
    QWidget window;
    window.resize(100, 50);
    auto* inner = new QWidget(&window);
    inner->setGeometry(10, 10, 20, 20);
    ManualClock clock;
    ui::RepaintThrottle throttle(&window, 200, clock.function());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    settle(clock, throttle);
    PaintLog log(inner);
    // Many changes in a burst: the first repaint now, the rest gathered.
    for (int i = 0; i < 50; ++i) {
      inner->update();
      QCoreApplication::processEvents();
    }
    QCOMPARE(log.regions.size(), 1);
    clock.advance(200);
    QVERIFY(waitFor([&] { return log.regions.size() == 2; }, 2000));
    QTest::qWait(20);
    QCOMPARE(log.regions.size(), 2);
    QVERIFY(throttle.deferred() >= 1);

    throttle.setPeriod(0);
    for (int i = 0; i < 5; ++i) {
      inner->update();
      QCoreApplication::processEvents();
    }
    QCOMPARE(log.regions.size(), 7);
  }

  void aLongHandlerPaintsWhatItChangedBeforeTheNextEvent() {
    QWidget window;
    window.resize(100, 50);
    auto* inner = new QWidget(&window);
    inner->setGeometry(10, 10, 20, 20);
    ManualClock clock;
    ui::RepaintThrottle throttle(&window, 50, clock.function());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    settle(clock, throttle);
    PaintLog log(inner);
    inner->update();
    QCoreApplication::processEvents();
    QCOMPARE(log.regions.size(), 1);
    // Right after a paint there is nothing to do: the change waits its turn.
    inner->update();
    QCoreApplication::processEvents();
    throttle.paintIfDue();
    QCOMPARE(log.regions.size(), 1);
    // A handler that took longer than the period paints its change at its end,
    // before any event that came due meanwhile (a held-back repaint) ...
    clock.advance(60);
    inner->update();
    throttle.paintIfDue();
    QCOMPARE(log.regions.size(), 2);
    // ... and a repaint Qt has only posted as well.
    clock.advance(60);
    inner->update();
    throttle.paintIfDue();
    QCOMPARE(log.regions.size(), 3);
  }

  void aStepRepaintsTheMarkerCellsNotTheTable() {
    Harness h(threeColumns());
    h.reveal(4);
    ui::TForm1& f = h.form();
    f.repaintThrottle().setPeriod(0);
    f.ComboBox1->setCurrentIndex(f.ComboBox1->findText("VIRTUAL"));
    f.BitBtn(1)->click();
    QVERIFY(h.player().SerialPort1().IsOpen());
    QVERIFY(h.tick());  // column 0
    QTest::qWait(20);

    PaintLog log(f.StringGrid1->viewport());
    QVERIFY(h.tick());  // the marker moves to column 1
    QTest::qWait(20);
    const QRegion painted = std::accumulate(log.regions.begin(), log.regions.end(), QRegion());
    const QRegion markers =
        QRegion(f.StringGrid1->cellRect(0, 0)) + QRegion(f.StringGrid1->cellRect(1, 0));
    QVERIFY(!painted.isEmpty());
    QCOMPARE(painted - markers, QRegion());

    log.regions.clear();
    QVERIFY(h.tick());  // column 2
    QVERIFY(h.tick());  // the wrap: column 3 is marked and cleared, back to column 0
    QTest::qWait(20);
    QRegion markerRow;
    for (int c = 0; c <= 3; ++c) markerRow += f.StringGrid1->cellRect(c, 0);
    const QRegion wrapped = std::accumulate(log.regions.begin(), log.regions.end(), QRegion());
    QVERIFY(wrapped.contains(f.StringGrid1->cellRect(0, 0)));
    QCOMPARE(wrapped - markerRow, QRegion());
    QCOMPARE(h.player().StepColumn(), 0);
    f.BitBtn(2)->click();
    QVERIFY(h.framesSent());
  }

  void theStatusPanelsRepaintAloneAndAskForNoLayout() {
    Harness h;
    ui::TForm1& f = h.form();
    f.repaintThrottle().setPeriod(0);
    QTest::qWait(20);
    const QRect before = f.statusPanels[0]->geometry();
    PaintLog bar(f.StatusBar1);
    PaintLog panel(f.statusPanels[0]);
    f.statusPanels[0]->setText("Позиция 12345");
    QTest::qWait(20);
    QCOMPARE(f.statusPanels[0]->text(), QString("Позиция 12345"));
    QCOMPARE(f.statusPanels[0]->geometry(), before);
    QCOMPARE(panel.regions.size(), 1);
    QCOMPARE(bar.regions.size(), 0);
  }
};

QTEST_MAIN(PaintingPaceTest)
#include "painting_pace_test.moc"
