// "Виртуальная плата": the simulated board a user can watch. It shows the 48
// outputs the board latched from the line operations (six registers of eight
// lamps), lets the three inputs be switched by hand, and counts the frames.
#pragma once

#include <QCheckBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QTimer>
#include <QWidget>
#include <array>
#include <memory>

#include "comport/sys/virtual_board.h"

namespace ui {

class LampPanel : public QWidget {
  Q_OBJECT

 public:
  explicit LampPanel(QWidget* parent = nullptr);
  void setOutputs(std::uint64_t bits);
  std::uint64_t outputs() const { return bits_; }
  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  std::uint64_t bits_ = 0;
};

class BoardWindow : public QWidget {
  Q_OBJECT

 public:
  explicit BoardWindow(std::shared_ptr<sys::VirtualBoard> board, QWidget* parent = nullptr);

  // Lamp of register `reg` (1 … 6), output `q` (0 … 7), as shown now.
  bool lamp(int reg, int q) const;
  QCheckBox* inputSwitch(int input) const { return switches_[input - 1]; }  // 1 … 3
  QString readout() const;
  // Reads the board now (the window also does it by itself several times a second).
  void refresh();
  const std::shared_ptr<sys::VirtualBoard>& board() const { return board_; }

 protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  std::shared_ptr<sys::VirtualBoard> board_;
  LampPanel* lamps_;
  std::array<QCheckBox*, 3> switches_{};
  QLabel* frames_;
  QLabel* rate_;
  QLabel* duration_;
  QTimer refreshTimer_;
  QElapsedTimer rateClock_;
  std::uint64_t rateFrames_ = 0;
};

}  // namespace ui
