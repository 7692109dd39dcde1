// The whole program's windows in a temporary working folder, on the
// offscreen platform, without the machine's own serial ports.
#pragma once

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <functional>
#include <memory>

#include "storage/table_file.h"
#include "ui/fonts.h"
#include "ui/resources.h"
#include "ui/windows.h"

namespace ui_testing {

inline void initOnce() {
  static bool done = false;
  if (done) return;
  done = true;
  ui::initResources();
  ui::installFontSubstitutes();
}

class Harness {
 public:
  // Files that exist before the program starts, as raw bytes.
  explicit Harness(const QByteArray& table = {}, const QByteArray& settings = {}) {
    initOnce();
    if (!table.isEmpty()) write(tablePath(), table);
    if (!settings.isEmpty()) write(settingsPath(), settings);
    windows = std::make_unique<ui::Windows>(
        ui::WindowsOptions{tablePath().toStdString(), settingsPath().toStdString(), false});
    windows->errors.setRecordOnly(true);
    windows->form1->show();
    QVERIFY(QTest::qWaitForWindowExposed(windows->form1.get()));
  }
  ~Harness() {
    if (windows && windows->form1) windows->form1->hide();
  }

  QString tablePath() const { return dir.filePath("Rilvet_код.txt"); }
  QString settingsPath() const { return dir.filePath("Rilvet.dat"); }
  static void write(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
  }
  static QByteArray read(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    return f.readAll();
  }

  ui::TForm1& form() { return *windows->form1; }
  sequencer::Sequencer& model() { return windows->program.Form1; }
  sys::VirtualBoard& board() { return *windows->board; }

  // Runs housekeeping ticks by hand until the loaded table is revealed.
  void reveal(int ticks) {
    for (int i = 0; i < ticks; ++i) form().Narahiv();
  }

  QTemporaryDir dir;
  std::unique_ptr<ui::Windows> windows;
};

// Processes events until `done` holds or `ms` have passed.
inline bool waitFor(const std::function<bool()>& done, int ms = 5000) {
  return QTest::qWaitFor(done, ms);
}

}  // namespace ui_testing
