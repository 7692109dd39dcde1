// The real program ended from outside while it plays a sequence on the
// virtual board: by SIGTERM, SIGINT or SIGHUP, by a second signal while the
// close sequence waits, and by the loss of its display. The program runs as
// a process of its own (src/app/main.cpp with program_driver.cpp, which plays
// the user's part and reports what the board saw).
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>
#include <csignal>
#include <cstdint>
#include <optional>

#include "storage/table_file.h"
#include "ui_harness.h"

namespace {

const std::vector<std::vector<int>> kColumns = {{1, 3, 9}, {2, 3, 48}, {}, {1, 48}, {3, 5, 24}};

QByteArray settingsWithBox16(int index) {
  QByteArray bytes(64, '\0');
  bytes[15 * 4] = static_cast<char>(index);
  return bytes;
}

struct Report {
  std::uint64_t latched = 0;
  bool open = true;
  std::uint64_t outputs = ~0ull;
  QList<std::uint64_t> history;
};

std::optional<Report> readReport(const QString& path) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return std::nullopt;
  Report r;
  for (const QByteArray& line : f.readAll().split('\n')) {
    const QList<QByteArray> words = line.split(' ');
    if (words.isEmpty()) continue;
    if (words[0] == "latched") r.latched = words.value(1).toULongLong();
    if (words[0] == "open") r.open = words.value(1) == "1";
    if (words[0] == "outputs") r.outputs = words.value(1).toULongLong(nullptr, 16);
    if (words[0] == "history") {
      for (int i = 1; i < words.size(); ++i) r.history << words[i].toULongLong(nullptr, 16);
    }
  }
  return r;
}

// The program in a folder of its own, with a saved table at 1 ms and saved
// matching.
class Program {
 public:
  explicit Program(const QProcessEnvironment& extra = {}) {
    ui_testing::Harness::write(dir.filePath("Rilvet_код.txt"),
                               ui_testing::tableBytes(kColumns, "1"));
    ui_testing::Harness::write(dir.filePath("Rilvet.dat"), settingsWithBox16(0));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("RILVET_DRIVER_REPORT", dir.filePath("report"));
    for (const QString& key : extra.keys()) env.insert(key, extra.value(key));
    process.setProcessEnvironment(env);
    process.setWorkingDirectory(dir.path());
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(RILVET_DRIVEN_PROGRAM, {});
  }
  ~Program() {
    if (process.state() != QProcess::NotRunning) {
      process.kill();
      process.waitForFinished(5000);
    }
  }

  // Waits for a line of the driver that starts with `prefix`.
  std::optional<QByteArray> line(const QByteArray& prefix, int ms = 20000) {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms) {
      while (process.canReadLine()) {
        const QByteArray l = process.readLine().trimmed();
        if (l.startsWith(prefix)) return l;
      }
      if (process.state() == QProcess::NotRunning) return std::nullopt;
      process.waitForReadyRead(100);
    }
    return std::nullopt;
  }
  void signal(int number) { ::kill(static_cast<pid_t>(process.processId()), number); }

  void expectEndedAllOffWithBothFilesSaved() {
    const auto report = readReport(dir.filePath("report"));
    QVERIFY(report.has_value());
    QVERIFY(report->latched > 20);
    QVERIFY(!report->open);
    QCOMPARE(report->outputs, 0u);
    QCOMPARE(report->history.back(), 0u);
    // The steps played until then were whole frames of the table.
    for (int i = 0; i + 1 < report->history.size(); ++i) {
      bool known = false;
      for (const auto& column : kColumns)
        known = known || report->history[i] == ui_testing::bitsOf(column);
      QVERIFY2(known, qPrintable(QString::number(report->history[i], 16)));
    }
    QCOMPARE(ui_testing::Harness::read(dir.filePath("Rilvet_код.txt")),
             ui_testing::tableBytes(kColumns, "9"));
    QCOMPARE(ui_testing::Harness::read(dir.filePath("Rilvet.dat")), settingsWithBox16(3));
  }

  testing_support::QtTempFolder dir;
  QProcess process;
};

}  // namespace

class EndingTest : public QObject {
  Q_OBJECT

 private slots:
  void aSignalDuringARunEndsAllOffWithBothFilesSaved_data() {
    QTest::addColumn<int>("number");
    QTest::newRow("SIGTERM") << int{SIGTERM};
    QTest::newRow("SIGINT") << int{SIGINT};
    QTest::newRow("SIGHUP") << int{SIGHUP};
  }
  void aSignalDuringARunEndsAllOffWithBothFilesSaved() {
    QFETCH(int, number);
    Program program;
    QVERIFY(program.line("RUNNING"));
    program.signal(number);
    QVERIFY(program.process.waitForFinished(20000));
    QCOMPARE(program.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.process.exitCode(), 0);
    program.expectEndedAllOffWithBothFilesSaved();
  }

  void aSecondSignalWhileTheCloseSequenceWaitsEndsAtOnce() {
    QProcessEnvironment env;
    env.insert("RILVET_DRIVER_FAIL_SAVE", "1");
    Program program(env);
    QVERIFY(program.line("RUNNING"));
    program.signal(SIGTERM);
    // The table could not be saved: the close sequence shows it, after the
    // all-off frame and the port's close, and waits for the user.
    const auto box = program.line("BOX");
    QVERIFY(box.has_value());
    const QList<QByteArray> words = box->split(' ');
    QCOMPARE(words.value(2), QByteArray("0"));  // the port is closed
    QCOMPARE(words.value(3), QByteArray("0"));  // the last latch is all-off
    QVERIFY(!program.process.waitForFinished(300));
    QElapsedTimer clock;
    clock.start();
    program.signal(SIGTERM);
    QVERIFY(program.process.waitForFinished(5000));
    QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(program.process.exitCode(), 128 + SIGTERM);
    QCOMPARE(ui_testing::Harness::read(program.dir.filePath("Rilvet.dat")), settingsWithBox16(3));
  }

  void aLostDisplayRunsTheCloseSequence() {
#if defined(__SANITIZE_ADDRESS__)
    QSKIP("the X keyboard library reads past a string under the address sanitizer's checks");
#endif
    const QString xvfb = QStandardPaths::findExecutable("Xvfb");
    if (xvfb.isEmpty()) QSKIP("no Xvfb here");
    QProcess server;
    server.setProcessChannelMode(QProcess::SeparateChannels);
    // -displayfd 1: the server writes the display number it took to stdout.
    server.start(xvfb, {"-displayfd", "1", "-screen", "0", "1280x1024x24", "-nolisten", "tcp"});
    QVERIFY(server.waitForStarted(5000));
    QByteArray number;
    QElapsedTimer clock;
    clock.start();
    while (!number.contains('\n') && clock.elapsed() < 10000) {
      server.waitForReadyRead(100);
      number += server.readAllStandardOutput();
    }
    QVERIFY(number.contains('\n'));
    QProcessEnvironment env;
    env.insert("QT_QPA_PLATFORM", "xcb");
    env.insert("DISPLAY", ":" + QString::fromLatin1(number.trimmed()));
    Program program(env);
    QVERIFY(program.line("RUNNING"));
    server.kill();
    QVERIFY(server.waitForFinished(5000));
    QVERIFY(program.process.waitForFinished(20000));
    program.expectEndedAllOffWithBothFilesSaved();
  }
};

QTEST_MAIN(EndingTest)
#include "ending_test.moc"
