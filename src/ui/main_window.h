// The main window: tool panel, 48 indicators beside the sequence table with
// the load progress strip, and the status bar. It owns the widgets and the
// timers and forwards every event to the program's handlers; what it shows
// is the state those handlers produce.
#pragma once

#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>
#include <QWidget>
#include <array>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "program/program.h"
#include "sequencer/change.h"
#include "ui/error_display.h"
#include "ui/indicator.h"
#include "ui/port_box.h"
#include "ui/status_panel.h"
#include "ui/step_timer.h"
#include "ui/string_grid.h"

namespace ui {

class RepaintThrottle;
class TableActions;

class TForm1 : public QWidget, public sequencer::Observer {
  Q_OBJECT

 public:
  static constexpr int kClientWidth = 609;   // outer 617 with the classic 4-pixel frame
  static constexpr int kClientHeight = 908;  // outer 935 with the frame and the caption
  // At most one repaint of the window in this time (about 60 a second).
  static constexpr int kRepaintPeriodMs = 16;
  RepaintThrottle& repaintThrottle() { return *throttle_; }

  TForm1(program::Program& program, ErrorDisplay* errors = nullptr, QWidget* parent = nullptr);
  ~TForm1() override;

  // Left and right frame together, as the window system draws them (0 until
  // it has told us).
  int frameWidth() const { return frameGeometry().width() - width(); }

  program::Program& program() { return program_; }
  ErrorDisplay& errors() { return *errors_; }

  // The other windows, created after this one.
  void setForms(QWidget* form2, QWidget* form3, QWidget* form4);
  // The virtual board's window: shown while the virtual board's port is open.
  void setBoardWindow(QWidget* board);

  // Widgets, by their design names.
  QFrame* Panel1;
  QFrame* Panel2;
  QFrame* Panel3;
  QLabel* Label50;
  QLabel* Label51;
  QLabel* Label52;
  QLineEdit* Edit1;
  PortBox* ComboBox1;
  std::array<QPushButton*, 10> bitBtns;  // BitBtn1 … BitBtn10
  QPushButton* BitBtn(int n) const { return bitBtns[n - 1]; }
  std::array<Indicator*, table::kChannels> indicators;  // Label1 … Label48
  Indicator* Label(int n) const { return indicators[n - 1]; }
  StringGridView* StringGrid1;
  TableActions* tableActions;  // undo, redo and the edits of whole steps
  QProgressBar* ProgressBar1;
  QStatusBar* StatusBar1;
  std::array<StatusPanel*, 3> statusPanels;
  StepTimer* Timer1;
  QTimer* Timer2;

  // The window's own handlers; the others are the program's, wired to their
  // widgets here.
  void Podskazka(const QString& hint);
  void BitBtn3Click();
  void BitBtn4Click();
  void BitBtn5Click();
  void BitBtn10Click();

  // The output thread has sent frames: show what they did.
  void deliverFrames();
  // The close sequence without the window system (its display is gone): the
  // messages it has for the user come back instead of being shown.
  std::vector<std::string> closeWithoutDisplay();

  void changed(sequencer::Change what, int index) override;

 signals:
  // The window has closed: the program ends.
  void closed();

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void moveEvent(QMoveEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void buildToolPanel();
  void buildChannelArea();
  void buildStatusBar();
  void layoutBands();
  // The window's creation: placed on the desktop, then the program's start-up.
  void create();
  // As wide as the desktop, frame included; again when the frame becomes
  // known, unless the user has set a width of their own since.
  void fitToDesktop();
  void refitToFrame();
  // The first step of leaving: no more step ticks, boxes wait.
  void beginClose();
  void syncBoardWindow();
  void syncTimer1();
  void syncComboBox();

  program::Program& program_;
  ErrorDisplay* errors_;
  std::unique_ptr<ErrorDisplay> ownErrors_;
  QWidget* form2_ = nullptr;
  QWidget* form3_ = nullptr;
  QWidget* form4_ = nullptr;
  QWidget* board_ = nullptr;
  int desktopWidth_ = 0;
  int fittedWidth_ = -1;
  int fittedFrame_ = 0;
  bool shown_ = false;
  bool closing_ = false;  // the close sequence has begun
  bool closed_ = false;   // and has run
  RepaintThrottle* throttle_ = nullptr;
};

}  // namespace ui
