// The whole program's windows in a temporary working folder, on the
// offscreen platform, without the machine's own serial ports: every port name
// opens on the virtual board, through a recording platform.
#pragma once

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QTest>
#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/windows.h"
#include "storage/table_file.h"
#include "support/qt_temp_folder.h"
#include "support/recorded_messages.h"
#include "support/recording_platform.h"
#include "support/table_bytes.h"
#include "ui/fonts.h"
#include "ui/resources.h"

namespace ui_testing {

inline void initOnce() {
  static bool done = false;
  if (done) return;
  done = true;
  ui::initResources();
  ui::installFontSubstitutes();
}

// The message boxes on the screen.
inline QList<QMessageBox*> visibleBoxes() {
  QList<QMessageBox*> boxes;
  for (QWidget* w : QApplication::topLevelWidgets()) {
    if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible()) boxes << box;
  }
  return boxes;
}

// Where the error messages go besides `Harness::messages`.
enum class Boxes {
  kNone,   // nowhere: none opens, none waits
  kShown,  // the program's message boxes, one at a time
};

class Harness {
 public:
  // Files that exist before the program starts, as raw bytes; the saves go
  // through `saves` when given.
  explicit Harness(const QByteArray& table = {}, const QByteArray& settings = {},
                   Boxes boxes = Boxes::kNone, storage::SaveCalls* saves = nullptr)
      : messages(boxes == Boxes::kShown ? &ui::messageBoxes() : nullptr) {
    initOnce();
    if (!table.isEmpty()) write(tablePath(), table);
    if (!settings.isEmpty()) write(settingsPath(), settings);
    windows = std::make_unique<app::Windows>(
        app::WindowsOptions{tablePath().toStdString(), settingsPath().toStdString(), board_,
                            &platform, &messages, saves});
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
  sequencer::SequenceTable& table() { return windows->program.table(); }
  sequencer::MainFormState& formState() { return windows->program.form(); }
  sequencer::Player& player() { return windows->program.player(); }
  sys::VirtualBoard& board() { return *windows->board; }

  // Runs housekeeping ticks by hand until the loaded table is revealed.
  void reveal(int ticks) {
    for (int i = 0; i < ticks; ++i) form().program().Narahiv();
  }

  // Lets the frames on their way (a step's, a stop's) go out and show what
  // they did.
  bool framesSent(int ms = 5000) {
    return QTest::qWaitFor([&] { return !windows->program.sending(); }, ms);
  }
  // A step tick as the step timer runs it, its frame sent.
  bool tick() {
    emit form().Timer1->timeout();
    return framesSent();
  }

  testing_support::QtTempFolder dir;

 private:
  std::shared_ptr<sys::VirtualBoard> board_ = std::make_shared<sys::VirtualBoard>();

 public:
  testing_support::RecordingPlatform platform{*board_};
  testing_support::RecordedMessages messages;
  std::unique_ptr<app::Windows> windows;
};

// A frame as the board latches it: channel k ends on stage 49 - k, bit
// 48 - k of the outputs. Channel `heldOff` is left out.
inline std::uint64_t bitsOf(const std::vector<int>& channels, int heldOff = 0) {
  std::uint64_t bits = 0;
  for (int k : channels) {
    if (k != heldOff) bits |= std::uint64_t{1} << (48 - k);
  }
  return bits;
}

// A table file holding `columns` (the channels on in each) and the interval.
inline QByteArray tableBytes(const std::vector<std::vector<int>>& columns,
                             const std::string& interval) {
  return QByteArray::fromStdString(
      testing_support::tableFileBytes(testing_support::columnBytes(columns), interval));
}

// Settings in which output 3 is switched off by input 2 (CTS): ComboBox6 = "вх2".
inline QByteArray ctsHoldsOutput3Off() {
  QByteArray bytes(64, '\0');
  bytes[5 * 4] = 2;
  return bytes;
}

// Processes events until `done` holds or `ms` have passed.
inline bool waitFor(const std::function<bool()>& done, int ms = 5000) {
  return QTest::qWaitFor(done, ms);
}

// A left click on a check box's label, as a user aims: the box may be wider
// than its label, and a click on its centre then falls past the label's end
// and toggles nothing (under wine it did, by a few pixels, now and then).
inline void clickLabel(QCheckBox* box) {
  QTest::mouseClick(box, Qt::LeftButton, {},
                    QPoint(std::min(box->width(), box->sizeHint().width()) / 2, box->height() / 2));
}

// The centre of a table cell, and a left click on it.
inline QPoint centreOf(ui::StringGridView* grid, int col, int row) {
  return grid->cellRect(col, row).center();
}

inline void clickCell(ui::StringGridView* grid, int col, int row) {
  QTest::mouseClick(grid->viewport(), Qt::LeftButton, Qt::NoModifier, centreOf(grid, col, row));
}

}  // namespace ui_testing
