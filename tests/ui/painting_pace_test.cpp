// How the main window keeps up with a step timer at 1 ms: the step timer
// holds its schedule when ticks come late, repaints are gathered to a
// screen's rate, and a step repaints only what it changed.
#include <QElapsedTimer>
#include <QPaintEvent>
#include <QThread>
#include <numeric>

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

QByteArray threeColumns() {
  return ui_testing::tableBytes({{1, 2}, {3}, {48}}, "100000");
}

}  // namespace

class PaintingPaceTest : public QObject {
  Q_OBJECT

 private slots:
  void stepTimerKeepsItsScheduleWhenTicksComeLate() {
    // Each tick takes 8 ms of a 20 ms period. A timer that starts its next
    // period when the tick is done would tick every 28 ms: 35 times in a
    // second. On its schedule it ticks 50 times.
    ui::StepTimer timer;
    timer.setInterval(20);
    int ticks = 0;
    QObject::connect(&timer, &ui::StepTimer::timeout, [&] {
      ++ticks;
      QElapsedTimer busy;
      busy.start();
      while (busy.elapsed() < 8) {
      }
    });
    QElapsedTimer clock;
    clock.start();
    timer.start();
    while (clock.elapsed() < 1000) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    timer.stop();
    QVERIFY2(ticks >= 44 && ticks <= 51, qPrintable(QString::number(ticks)));
  }

  void stepTimerFallenBehindDropsTheTicksItMissedInsteadOfABurst() {
    ui::StepTimer timer;
    timer.setInterval(5);
    int ticks = 0;
    QObject::connect(&timer, &ui::StepTimer::timeout, [&] { ++ticks; });
    timer.start();
    QVERIFY(waitFor([&] { return ticks >= 1; }));
    QThread::msleep(100);  // 20 periods without an event loop
    const int before = ticks;
    QTest::qWait(12);
    QVERIFY2(ticks - before <= 4, qPrintable(QString::number(ticks - before)));
    QVERIFY(ticks - before >= 1);
  }

  void stepTimerIntervalRulesAreThoseOfATimer() {
    ui::StepTimer timer;
    QVERIFY(!timer.isActive());
    timer.setInterval(50);
    QCOMPARE(timer.interval(), 50);
    int ticks = 0;
    QObject::connect(&timer, &ui::StepTimer::timeout, [&] { ++ticks; });
    timer.start();
    QVERIFY(timer.isActive());
    QTest::qWait(30);
    // The same value again changes nothing: the tick still comes at 50 ms.
    timer.setInterval(50);
    QVERIFY(waitFor([&] { return ticks == 1; }, 40));
    // Another value restarts the period.
    QTest::qWait(30);
    timer.setInterval(60);
    QTest::qWait(40);
    QCOMPARE(ticks, 1);
    QVERIFY(waitFor([&] { return ticks == 2; }, 60));
    timer.stop();
    QVERIFY(!timer.isActive());
    QTest::qWait(80);
    QCOMPARE(ticks, 2);
  }

  void repaintsComeAtMostOncePerPeriodAndShowTheLastState() {
    QWidget window;
    window.resize(100, 50);
    auto* inner = new QWidget(&window);
    inner->setGeometry(10, 10, 20, 20);
    ui::RepaintThrottle throttle(&window, 200);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QTest::qWait(250);
    PaintLog log(inner);
    // Many changes in a burst: the first repaint now, the rest gathered.
    for (int i = 0; i < 50; ++i) {
      inner->update();
      QCoreApplication::processEvents();
    }
    QCOMPARE(log.regions.size(), 1);
    QVERIFY(waitFor([&] { return log.regions.size() == 2; }, 400));
    QTest::qWait(250);
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
    ui::RepaintThrottle throttle(&window, 50);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QTest::qWait(60);
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
    QElapsedTimer busy;
    busy.start();
    while (busy.elapsed() < 60) {
    }
    inner->update();
    throttle.paintIfDue();
    QCOMPARE(log.regions.size(), 2);
    // ... and a repaint Qt has only posted as well.
    busy.restart();
    while (busy.elapsed() < 60) {
    }
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
    f.BitBtn1Click();
    QVERIFY(h.model().SerialPort1.IsOpen());
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
    QCOMPARE(h.model().StepColumn, 0);
    f.BitBtn2Click();
    QVERIFY(h.framesSent());
  }

  void theStatusPanelsRepaintAloneAndAskForNoLayout() {
    Harness h;
    ui::TForm1& f = h.form();
    f.repaintThrottle().setPeriod(0);
    QTest::qWait(20);
    const QRect before = f.StatusPanels[0]->geometry();
    PaintLog bar(f.StatusBar1);
    PaintLog panel(f.StatusPanels[0]);
    f.StatusPanels[0]->setText("Позиция 12345");
    QTest::qWait(20);
    QCOMPARE(f.StatusPanels[0]->text(), QString("Позиция 12345"));
    QCOMPARE(f.StatusPanels[0]->geometry(), before);
    QCOMPARE(panel.regions.size(), 1);
    QCOMPARE(bar.regions.size(), 0);
  }
};

QTEST_MAIN(PaintingPaceTest)
#include "painting_pace_test.moc"
