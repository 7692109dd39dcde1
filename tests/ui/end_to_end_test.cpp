// The whole road from a table cell to a latched output: the real windows in a
// temporary working folder with saved files, the virtual board chosen in the
// port list, the buttons pressed with the mouse, the step timer running.
#include <QCheckBox>

#include "inputs/settings_file.h"
#include "storage/table_file.h"
#include "ui_harness.h"

using ui_testing::waitFor;

namespace {

// Columns of the saved table: the channels that are on in each step.
const std::vector<std::vector<int>> kColumns = {
    {1, 3, 9}, {2, 3, 48}, {3, 17, 18, 19}, {}, {3, 24, 25}};

QByteArray tableBytes(const std::string& interval) {
  return ui_testing::tableBytes(kColumns, interval);
}

QByteArray readFile(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeFile(const QString& path, const QByteArray& bytes) {
  QFile f(path);
  QVERIFY(f.open(QIODevice::WriteOnly));
  f.write(bytes);
}

}  // namespace

class EndToEndTest : public QObject {
  Q_OBJECT

 private slots:
  void aSavedSequencePlaysOnTheBoardAndEverythingIsSavedAtExit() {
    ui_testing::initOnce();
    testing_support::QtTempFolder dir;
    QVERIFY(QDir::setCurrent(dir.path()));
    const QByteArray table = tableBytes("3");
    writeFile(storage::kTableFileName, table);
    writeFile(inputs::kSettingsFileName, ui_testing::ctsHoldsOutput3Off());

    // The files by their bare names, in the working folder, as the program
    // opens them.
    auto board = std::make_shared<sys::VirtualBoard>();
    testing_support::RecordedMessages messages;
    app::Windows w(
        {storage::kTableFileName, inputs::kSettingsFileName, board, board.get(), &messages});
    w.board->keepHistory(100000);
    ui::TForm1& form = *w.form1;
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QCOMPARE(form.Edit1->text(), QString("3"));

    // The housekeeping timer reveals the five stored columns.
    QVERIFY(waitFor([&] { return w.program.table().colCount() == 6; }));

    form.ComboBox1->setCurrentIndex(form.ComboBox1->findText("VIRTUAL"));
    QTest::mouseClick(form.BitBtn(1), Qt::LeftButton);
    QVERIFY(w.program.player().SerialPort1().IsOpen());
    QVERIFY(w.boardWindow->isVisible());

    // Step by step, every column in order, wrapping after the last.
    QVERIFY(waitFor([&] { return w.board->history().size() >= 12; }));
    auto frames = w.board->history();
    for (std::size_t i = 0; i < 12; ++i) {
      QCOMPARE(frames[i], ui_testing::bitsOf(kColumns[i % kColumns.size()]));
    }

    // Pause: the current column is sent again and again. (A frame on its
    // way at the click was built before it.)
    QTest::mouseClick(form.BitBtn(1), Qt::LeftButton);
    const std::size_t pausedAt = w.board->history().size() + 1;
    QVERIFY(waitFor([&] { return w.board->history().size() >= pausedAt + 10; }));
    const std::uint64_t held = w.board->history()[pausedAt];
    frames = w.board->history();
    for (std::size_t i = pausedAt; i < frames.size(); ++i) QCOMPARE(frames[i], held);
    int heldColumn = -1;
    for (int c = 0; c < static_cast<int>(kColumns.size()); ++c) {
      if (ui_testing::bitsOf(kColumns[static_cast<std::size_t>(c)]) == held) heldColumn = c;
    }
    QVERIFY(heldColumn >= 0);

    // Resume: the column after the paused one comes next (after the paused
    // frame that may have been on its way).
    QTest::mouseClick(form.BitBtn(1), Qt::LeftButton);
    std::size_t resumedAt = w.board->history().size();
    QVERIFY(waitFor([&] { return w.board->history().size() >= resumedAt + 4; }));
    frames = w.board->history();
    if (frames[resumedAt] == held) ++resumedAt;
    for (std::size_t i = 0; i < 3; ++i) {
      const auto column = (static_cast<std::size_t>(heldColumn) + 1 + i) % kColumns.size();
      QCOMPARE(frames[resumedAt + i], ui_testing::bitsOf(kColumns[column]));
    }

    // Input 2 on the board: through the event thread and the matching,
    // output 3 is held off from then on.
    ui_testing::clickLabel(w.boardWindow->inputSwitch(2));
    QVERIFY(w.board->cts());
    QVERIFY(waitFor([&] { return w.program.player().ChannelEnabled()[2] == 0; }));
    const std::size_t disabledAt = w.board->history().size() + 1;
    QVERIFY(waitFor([&] { return w.board->history().size() >= disabledAt + 10; }));
    frames = w.board->history();
    for (std::size_t i = disabledAt; i < frames.size(); ++i) {
      QVERIFY((frames[i] & ui_testing::bitsOf({3})) == 0);
      bool known = false;
      for (const auto& column : kColumns)
        known = known || frames[i] == ui_testing::bitsOf(column, 3);
      QVERIFY(known);
    }
    QCOMPARE(w.program.player().ChannelEnabled()[0], 1);
    QCOMPARE(w.form2->Label(23)->text(), QString("пассив"));
    w.boardWindow->refresh();
    QVERIFY(!w.boardWindow->lamp(6, 5));  // channel 3: register 6, Q5

    // Stop: every output off, the port closed, the board window gone.
    QTest::mouseClick(form.BitBtn(2), Qt::LeftButton);
    QVERIFY(waitFor([&] { return !w.program.sending(); }));
    QCOMPARE(w.board->outputBits(), 0u);
    QVERIFY(!w.board->state().open);
    QVERIFY(!w.boardWindow->isVisible());

    // Exit: both files on disk, byte for byte.
    QTest::mouseClick(form.BitBtn(6), Qt::LeftButton);
    QVERIFY(!form.isVisible());
    QCOMPARE(readFile(storage::kTableFileName), table);
    QCOMPARE(readFile(inputs::kSettingsFileName), ui_testing::ctsHoldsOutput3Off());
    QVERIFY(messages.shown().isEmpty());
  }

  void closingTheBoardWindowDoesNotStopTheRun() {
    ui_testing::initOnce();
    testing_support::QtTempFolder dir;
    QVERIFY(QDir::setCurrent(dir.path()));
    writeFile(storage::kTableFileName, tableBytes("2"));
    auto board = std::make_shared<sys::VirtualBoard>();
    testing_support::RecordedMessages messages;
    app::Windows w(
        {storage::kTableFileName, inputs::kSettingsFileName, board, board.get(), &messages});
    w.form1->show();
    QVERIFY(waitFor([&] { return w.program.table().colCount() == 6; }));
    QTest::mouseClick(w.form1->BitBtn(1), Qt::LeftButton);
    QVERIFY(w.boardWindow->isVisible());
    w.boardWindow->close();
    const auto latched = w.board->state().framesLatched;
    QVERIFY(waitFor([&] { return w.board->state().framesLatched > latched + 5; }));
    QVERIFY(w.program.player().SerialPort1().IsOpen());
    // The readout counts what the board latched.
    w.boardWindow->refresh();
    QVERIFY(w.boardWindow->readout().contains("Кадров защёлкнуто"));
    QTest::mouseClick(w.form1->BitBtn(2), Qt::LeftButton);
    QVERIFY(waitFor([&] { return !w.program.sending(); }));
    QCOMPARE(w.board->outputBits(), 0u);
  }
};

QTEST_MAIN(EndToEndTest)
#include "end_to_end_test.moc"
