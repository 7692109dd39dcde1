// The input/output matching dialog "Согласование входов и выходов": which
// input switches each of outputs 1 … 8 on and off, and each output's state.
#pragma once

#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <array>

#include "inputs/matching.h"
#include "program/program.h"
#include "ui/error_display.h"

namespace ui {

class TForm2 : public QWidget, public inputs::MatchingObserver {
  Q_OBJECT

 public:
  static constexpr int kClientWidth = 524;  // outer 532 × 185
  static constexpr int kClientHeight = 158;

  TForm2(program::Program& program, program::ErrorSink& errors, QWidget* parent = nullptr);
  ~TForm2() override;

  std::array<QComboBox*, 16> comboBoxes;  // ComboBox1 … ComboBox16
  QComboBox* ComboBox(int n) const { return comboBoxes[n - 1]; }
  std::array<QLabel*, 8> stateLabels;  // Label21 … Label28
  QLabel* Label(int n) const { return stateLabels[n - 21]; }
  QPushButton* Button1;

  void Button1Click();

  void boxesChanged() override;
  void labelChanged(int output) override;

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  program::Program& program_;
  program::ErrorSink& errors_;
};

}  // namespace ui
