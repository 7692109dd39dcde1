// The real windows while the board fails under them: the step timer running
// every millisecond against a board that is pulled out, a stop that cannot
// reach it, an exit that cannot switch it off, an input change whose state
// cannot be read. The user gets one message box per failure, never a pile,
// and the program gets back to Stopped and ends with its files saved.
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <algorithm>

#include "comport/serial_port.h"
#include "inputs/settings_file.h"
#include "storage/table_file.h"
#include "support/save_faults.h"
#include "ui_harness.h"

using ui_testing::Harness;
using ui_testing::visibleBoxes;
using ui_testing::waitFor;

namespace {

const std::vector<std::vector<int>> kColumns = {{1, 3, 9}, {2, 3, 48}, {}, {1, 48}, {3, 5, 24}};

// A latch of a whole frame: one of the columns (channel 3 may be held off by
// the CTS input), or all off.
bool wholeFrame(std::uint64_t bits) {
  if (bits == 0) return true;
  for (const auto& column : kColumns) {
    if (bits == ui_testing::bitsOf(column) || bits == ui_testing::bitsOf(column, 3)) return true;
  }
  return false;
}

QByteArray tableBytes(const std::string& interval) {
  return ui_testing::tableBytes(kColumns, interval);
}

// A board pulled out while the steps go out fails the frame on its way at a
// line operation, or, one time in 145, at its latch byte.
bool isPortError(const QString& text) {
  return text == comport::msg::kEscapeCommFunction || text == comport::msg::kWriteError;
}

// Presses OK on every message box that shows up, modal ones included, and
// keeps their texts.
class BoxCloser : public QObject {
 public:
  BoxCloser() {
    timer_.setInterval(10);
    connect(&timer_, &QTimer::timeout, this, [this] {
      for (QMessageBox* box : visibleBoxes()) {
        texts << box->text();
        box->button(QMessageBox::Ok)->click();
      }
    });
    timer_.start();
  }
  QStringList texts;

 private:
  QTimer timer_;
};

// Presses OK on each box `ms` after it has shown up, and notes what the board
// had latched when it showed up.
class SlowBoxCloser : public QObject {
 public:
  SlowBoxCloser(sys::VirtualBoard& board, int ms) : board_(board), ms_(ms) {
    timer_.setInterval(5);
    connect(&timer_, &QTimer::timeout, this, [this] {
      const QList<QMessageBox*> boxes = visibleBoxes();
      if (boxes.isEmpty()) return;
      if (!open_.isValid()) {
        open_.start();
        latchedAtBox << board_.state().framesLatched;
        portOpenAtBox << board_.state().open;
      }
      if (open_.elapsed() >= ms_) {
        texts << boxes.front()->text();
        boxes.front()->button(QMessageBox::Ok)->click();
        open_.invalidate();
      }
    });
    timer_.start();
  }
  QStringList texts;
  QList<std::uint64_t> latchedAtBox;
  QList<bool> portOpenAtBox;

 private:
  sys::VirtualBoard& board_;
  int ms_;
  QTimer timer_;
  QElapsedTimer open_;
};

class Run {
 public:
  // The step interval is 1 ms: a failing board fails a thousand ticks a second.
  Run() : h(tableBytes("1"), ui_testing::ctsHoldsOutput3Off(), ui_testing::Boxes::kShown, &disk) {
    h.board().keepHistory(1u << 20);
    QVERIFY(waitFor([&] { return h.table().colCount() == 6; }));
    h.form().ComboBox1->setCurrentIndex(h.form().ComboBox1->findText("VIRTUAL"));
    QTest::mouseClick(h.form().BitBtn(1), Qt::LeftButton);
    QVERIFY(h.player().SerialPort1().IsOpen());
    QVERIFY(waitFor([&] { return h.board().state().framesLatched > 20; }));
  }

  testing_support::RecordingPlatform& platform() { return h.platform; }
  // The messages the boxes have shown so far.
  const QStringList& errors() { return h.messages.shown(); }
  std::uint64_t latched() { return h.board().state().framesLatched; }
  // The step ticks the timer has run, failed ones included.
  int attempts() { return tickAttempts_; }

  void expectWholeFrames() {
    const auto frames = h.board().history();
    for (std::size_t i = 0; i < frames.size(); ++i) {
      QVERIFY2(wholeFrame(frames[i]),
               qPrintable(QString("latch %1 left %2").arg(i).arg(frames[i], 12, 16, QChar('0'))));
    }
  }

  // Lets the step timer fail on for `ms`, counting its ticks by the first
  // line operation each one tries.
  void failFor(int ms) {
    platform().setLogging(true);
    platform().clearCalls();
    QTest::qWait(ms);
    platform().setLogging(false);
    // A tick on a board that does not answer fails at its first operation.
    tickAttempts_ =
        static_cast<int>(platform().calls({testing_support::Op::EscapeCommFunction}).size());
  }

  // A click on Stop, and its all-off frame gone out.
  void stop() {
    QTest::mouseClick(h.form().BitBtn(2), Qt::LeftButton);
    QVERIFY(h.framesSent());
  }

  void exitAndCheckFiles(BoxCloser& closer, int boxesAtExit) {
    const int before = static_cast<int>(closer.texts.size());
    QTest::mouseClick(h.form().BitBtn(6), Qt::LeftButton);
    QVERIFY(!h.form().isVisible());
    QCOMPARE(static_cast<int>(closer.texts.size()) - before, boxesAtExit);
    QCOMPARE(Harness::read(h.tablePath()), tableBytes("1"));
    QCOMPARE(Harness::read(h.settingsPath()), ui_testing::ctsHoldsOutput3Off());
    QVERIFY(!h.player().SerialPort1().IsOpen());
    QCOMPARE(platform().openDevices(), 0);
    QCOMPARE(platform().openEvents(), 0);
    QVERIFY(!h.windows->boardWindow->isVisible());
    QVERIFY(visibleBoxes().isEmpty());
    expectWholeFrames();
  }

  testing_support::SaveFaults disk;
  Harness h;

 private:
  int tickAttempts_ = 0;
};

}  // namespace

class FaultDisplayTest : public QObject {
  Q_OBJECT

 private slots:
  void aBoardPulledOutMidFrameShowsOneBoxAndReplugResumes() {
    Run run;
    run.h.platform.unplugAfter(70);  // in the middle of a frame
    run.failFor(300);
    QVERIFY2(run.attempts() > 30, "the step timer kept ticking");
    QCOMPARE(visibleBoxes().size(), 1);
    QCOMPARE(run.errors().size(), 1);
    QVERIFY(isPortError(run.errors().front()));
    QVERIFY(run.h.formState().timer1Enabled());
    run.expectWholeFrames();

    // Back in while the box is still open: the steps resume, whole.
    run.h.platform.replug();
    const auto latched = run.latched();
    QVERIFY(waitFor([&] { return run.latched() > latched + 50; }));
    run.expectWholeFrames();
    QCOMPARE(visibleBoxes().size(), 1);

    // After a good step a new failure is a new message.
    visibleBoxes().front()->button(QMessageBox::Ok)->click();
    QVERIFY(waitFor([] { return visibleBoxes().isEmpty(); }));
    run.h.platform.unplug();
    run.failFor(200);
    QCOMPARE(visibleBoxes().size(), 1);
    QCOMPARE(run.errors().size(), 2);
    run.h.platform.replug();

    run.stop();
    QVERIFY(!run.h.player().SerialPort1().IsOpen());
    QCOMPARE(run.h.board().outputBits(), 0u);
    QCOMPARE(run.h.player().StepColumn(), -1);
    QVERIFY(run.h.form().ComboBox1->isEnabled());
    QCOMPARE(run.errors().size(), 2);
    BoxCloser closer;
    // The box still open goes with the main window; the exit itself has
    // nothing to say.
    run.exitAndCheckFiles(closer, 0);
  }

  void aRunThatKeepsFailingSaysSoAgainOnceItsBoxIsClosed() {
    Run run;
    run.h.platform.unplug();
    run.failFor(100);
    QCOMPARE(visibleBoxes().size(), 1);
    QCOMPARE(run.errors().size(), 1);
    visibleBoxes().front()->button(QMessageBox::Ok)->click();
    // The board is still out: the next failing tick says so, once.
    QVERIFY(waitFor([] { return visibleBoxes().size() == 1; }));
    run.failFor(100);
    QCOMPARE(visibleBoxes().size(), 1);
    QCOMPARE(run.errors(),
             (QStringList{comport::msg::kEscapeCommFunction, comport::msg::kEscapeCommFunction}));
    run.h.platform.replug();
    run.stop();
    BoxCloser closer;
    run.exitAndCheckFiles(closer, 0);
  }

  void stopTwiceLetsABoardThatIsGoneForGoodGo() {
    Run run;
    run.h.platform.unplug();
    run.failFor(200);
    QCOMPARE(visibleBoxes().size(), 1);
    const std::uint64_t shown = run.h.board().outputBits();

    // The first stop cannot switch the outputs off and keeps the port open
    // for another try; the timer stops. Its message waits behind the box.
    run.stop();
    QVERIFY(run.h.player().SerialPort1().IsOpen());
    QVERIFY(!run.h.form().Timer1->isActive());
    QCOMPARE(visibleBoxes().size(), 1);
    visibleBoxes().front()->button(QMessageBox::Ok)->click();
    QVERIFY(waitFor([] { return visibleBoxes().size() == 1; }));
    QCOMPARE(visibleBoxes().front()->text(), QString(comport::msg::kEscapeCommFunction));
    visibleBoxes().front()->button(QMessageBox::Ok)->click();
    QVERIFY(waitFor([] { return visibleBoxes().isEmpty(); }));

    // The second lets it go, and says that the outputs may still be on.
    run.stop();
    QVERIFY(!run.h.player().SerialPort1().IsOpen());
    QVERIFY(run.h.form().ComboBox1->isEnabled());
    QCOMPARE(run.platform().openDevices(), 0);
    QCOMPARE(run.platform().openEvents(), 0);
    QVERIFY(waitFor([] { return visibleBoxes().size() == 1; }));
    QCOMPARE(visibleBoxes().front()->text(), QString(sequencer::text::kReleased));
    QCOMPARE(run.h.board().outputBits(), shown);
    QVERIFY(!run.h.windows->boardWindow->isVisible());

    BoxCloser closer;
    run.exitAndCheckFiles(closer, 0);
  }

  void exitWithTheBoardGoneAsksNothingAndShowsOneBox() {
    Run run;
    run.h.platform.unplugAfter(97);
    run.failFor(100);
    QCOMPARE(visibleBoxes().size(), 1);
    // The run's box goes with the window; the exit's own failure is shown
    // once the port is closed.
    BoxCloser closer;
    run.exitAndCheckFiles(closer, 1);
    QCOMPARE(closer.texts, QStringList{comport::msg::kEscapeCommFunction});
  }

  void exitByTheCloseBoxWithTheBoardGoneAtTheLatch() {
    Run run;
    // A minute between steps, so that the exit's own frame is the next thing
    // the board sees; it is gone at that frame's latch byte.
    run.h.form().Edit1->clear();
    QTest::keyClicks(run.h.form().Edit1, "60000");
    QVERIFY(waitFor([&] { return run.h.form().Timer1->interval() == 60000; }));
    // The frame on its way, and the step that came due meanwhile, go out.
    QTest::qWait(20);
    QVERIFY(run.h.framesSent());
    const auto latched = run.latched();
    QTest::qWait(30);
    QCOMPARE(run.latched(), latched);
    run.h.platform.unplugAfter(98);
    BoxCloser closer;
    run.h.form().close();
    QVERIFY(waitFor([&] { return !run.h.form().isVisible(); }));
    QCOMPARE(closer.texts, QStringList{comport::msg::kWriteError});
    QCOMPARE(Harness::read(run.h.tablePath()), tableBytes("60000"));
    QCOMPARE(Harness::read(run.h.settingsPath()), ui_testing::ctsHoldsOutput3Off());
    QCOMPARE(run.platform().openDevices(), 0);
    QCOMPARE(run.platform().openEvents(), 0);
    run.expectWholeFrames();
  }

  void anInputWhoseStateCannotBeReadShowsOneBoxAndTheStepsGoOn() {
    Run run;
    run.platform().failCall(testing_support::Op::GetCommModemStatus, 1, sys::kErrorBadCommand);
    ui_testing::clickLabel(run.h.windows->boardWindow->inputSwitch(2));
    QVERIFY(waitFor([] { return visibleBoxes().size() == 1; }));
    QCOMPARE(run.errors(), QStringList{comport::msg::kGetCommModemStatus});
    QCOMPARE(run.h.player().ChannelEnabled()[2], 1);
    visibleBoxes().front()->button(QMessageBox::Ok)->click();

    // The event thread has ended: more changes bring nothing, the steps go on.
    for (int i = 0; i < 4; ++i) {
      ui_testing::clickLabel(run.h.windows->boardWindow->inputSwitch(2));
    }
    const auto latched = run.latched();
    QVERIFY(waitFor([&] { return run.latched() > latched + 50; }));
    QVERIFY(visibleBoxes().isEmpty());
    QCOMPARE(run.errors().size(), 1);
    QCOMPARE(run.h.player().ChannelEnabled()[2], 1);

    // Stop and start again: the inputs are watched anew.
#ifdef Q_OS_WIN
    // Under wine the restarted watch does not see this input in some builds
    // of this test and does in others; until that is understood, the step is
    // checked on Linux only.
    QSKIP("the restarted watch under wine: checked on Linux");
#endif
    run.stop();
    QVERIFY(!run.h.player().SerialPort1().IsOpen());
    QTest::mouseClick(run.h.form().BitBtn(1), Qt::LeftButton);
    QVERIFY(run.h.player().SerialPort1().IsOpen());
    if (run.h.board().cts()) {
      ui_testing::clickLabel(run.h.windows->boardWindow->inputSwitch(2));
    }
    ui_testing::clickLabel(run.h.windows->boardWindow->inputSwitch(2));
    QVERIFY(run.h.board().cts());
    QVERIFY(waitFor([&] { return run.h.player().ChannelEnabled()[2] == 0; }));
    QVERIFY(visibleBoxes().isEmpty());
    BoxCloser closer;
    run.exitAndCheckFiles(closer, 0);
  }

  void theBoardPulledOutWhileAnInputChanges() {
    Run run;
    run.h.platform.unplug();
    run.h.board().setCts(true);
    run.failFor(150);
    QCOMPARE(visibleBoxes().size(), 1);
    QCOMPARE(run.errors(), QStringList{comport::msg::kEscapeCommFunction});
    // Back in: the change that came while it was out is delivered, the steps
    // resume, and no other box appears.
    run.h.platform.replug();
    QVERIFY(waitFor([&] { return run.h.player().ChannelEnabled()[2] == 0; }));
    const auto latched = run.latched();
    QVERIFY(waitFor([&] { return run.latched() > latched + 20; }));
    QVERIFY((run.h.board().outputBits() & ui_testing::bitsOf({3})) == 0);
    QCOMPARE(visibleBoxes().size(), 1);
    QCOMPARE(run.errors().size(), 1);
    BoxCloser closer;
    run.exitAndCheckFiles(closer, 0);
    QCOMPARE(run.h.board().outputBits(), 0u);
  }

  void exitWhileRunningWithASaveThatFailsEndsAllOffAndLatchesNothingAfter() {
    Run run;
    const auto latchedBefore = run.latched();
    run.disk.failNextWriteAt(testing_support::WriteStep::kWrite);
    // Each box stays open for 300 ms: time for hundreds of steps at 1 ms, if
    // a tick could still run.
    SlowBoxCloser closer(run.h.board(), 300);
    QTest::mouseClick(run.h.form().BitBtn(6), Qt::LeftButton);
    QVERIFY(!run.h.form().isVisible());
    QCOMPARE(closer.texts.size(), 1);
    QVERIFY(closer.texts.front().startsWith("Не удаётся записать файл"));
    // The box came after the port was closed, with the all-off frame the last
    // thing the board latched; nothing came after it.
    QCOMPARE(closer.portOpenAtBox, QList<bool>{false});
    const auto frames = run.h.board().history();
    QVERIFY(run.latched() > latchedBefore);
    QCOMPARE(frames.back(), 0u);
    QCOMPARE(closer.latchedAtBox.front(), run.latched());
    QTest::qWait(50);
    QCOMPARE(closer.latchedAtBox.front(), run.latched());
    QCOMPARE(run.h.board().outputBits(), 0u);
    // The exit button's save failed; the window's close saved both.
    QCOMPARE(Harness::read(run.h.tablePath()), tableBytes("1"));
    QCOMPARE(Harness::read(run.h.settingsPath()), ui_testing::ctsHoldsOutput3Off());
    run.expectWholeFrames();
  }

  void aStopAnOpenAndADialogSaveFailingWhileABoxIsOpenAreAllShown() {
    Run run;
    run.h.platform.unplug();
    run.failFor(100);
    QCOMPARE(visibleBoxes().size(), 1);
    run.stop();  // cannot reach the board
    run.stop();  // lets the port go
    run.h.platform.replug();
    run.h.platform.failCall(testing_support::Op::CreateFile, 1, sys::kErrorAccessDenied);
    QTest::mouseClick(run.h.form().BitBtn(1), Qt::LeftButton);  // cannot open it
    QVERIFY(!run.h.player().SerialPort1().IsOpen());
    run.h.form().BitBtn3Click();
    QFile::remove(run.h.settingsPath());
    QVERIFY(QDir(run.h.dir.path()).mkdir("Rilvet.dat"));
    QTest::mouseClick(run.h.windows->form2->Button1, Qt::LeftButton);  // cannot save
    QVERIFY(run.h.windows->form2->isVisible());

    // One box at a time, in order, none lost.
    QCOMPARE(visibleBoxes().size(), 1);
    QStringList seen;
    while (!visibleBoxes().isEmpty()) {
      QCOMPARE(visibleBoxes().size(), 1);
      seen << visibleBoxes().front()->text();
      visibleBoxes().front()->button(QMessageBox::Ok)->click();
      QTest::qWait(20);
    }
    QCOMPARE(seen.size(), 5);
    QVERIFY(isPortError(seen[0]));
    QCOMPARE(seen[1], QString(comport::msg::kEscapeCommFunction));
    QCOMPARE(seen[2], QString(sequencer::text::kReleased));
    QCOMPARE(seen[3], QString(comport::msg::kPortBusy));
    QVERIFY(seen[4].contains("Rilvet.dat"));
    QVERIFY(QDir(run.h.dir.path()).rmdir("Rilvet.dat"));
    run.h.windows->form2->close();
  }

  void twoStartUpErrorsBothReachTheUser() {
    ui_testing::initOnce();
    testing_support::QtTempFolder dir;
    // Folders where the files should be: neither can be read.
    QVERIFY(QDir(dir.path()).mkdir("Rilvet_код.txt"));
    QVERIFY(QDir(dir.path()).mkdir("Rilvet.dat"));
    const auto board = std::make_shared<sys::VirtualBoard>();
    app::Windows w({dir.filePath("Rilvet_код.txt").toStdString(),
                    dir.filePath("Rilvet.dat").toStdString(), board, board.get()});
    w.form1->show();
    QVERIFY(QTest::qWaitForWindowExposed(w.form1.get()));
    // Each box belongs to the main window (their stacking on a real X server
    // is tests/install/startup_boxes_test.sh's).
    QCOMPARE(visibleBoxes().size(), 1);
    QVERIFY(visibleBoxes().front()->text().contains("Rilvet_код.txt"));
    QCOMPARE(visibleBoxes().front()->parentWidget(), w.form1.get());
    visibleBoxes().front()->button(QMessageBox::Ok)->click();
    QVERIFY(waitFor([] { return visibleBoxes().size() == 1; }));
    QVERIFY(visibleBoxes().front()->text().contains("Rilvet.dat"));
    QCOMPARE(visibleBoxes().front()->parentWidget(), w.form1.get());
    visibleBoxes().front()->button(QMessageBox::Ok)->click();
    QVERIFY(waitFor([] { return visibleBoxes().isEmpty(); }));
    w.form1->hide();
  }
};

QTEST_MAIN(FaultDisplayTest)
#include "fault_display_test.moc"
