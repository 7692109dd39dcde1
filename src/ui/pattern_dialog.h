// "Шаблон шагов": a run of new steps made to a pattern (a light running over
// the chosen channels, all of them on, every other one, copies of the
// step), put in before a step of the table.
#pragma once

#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>

#include "sequencer/patterns.h"

namespace ui {

class PatternDialog : public QDialog {
  Q_OBJECT

 public:
  explicit PatternDialog(QWidget* parent = nullptr);

  // The step the new steps go in before (0-based column).
  void setColumn(int col);
  int column() const { return column_; }
  sequencer::Pattern pattern() const;

  QComboBox* kind;
  QSpinBox* firstChannel;
  QSpinBox* lastChannel;
  QSpinBox* steps;
  QLabel* place;
  QPushButton* okButton;
  QPushButton* cancelButton;

 private:
  int column_ = 0;
};

}  // namespace ui
