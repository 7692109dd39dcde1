// The clear-table confirmation "Очистка таблицы": "Да" empties the table,
// "Нет" and the close box only hide the dialog.
#pragma once

#include <QLabel>
#include <QPushButton>
#include <QWidget>

#include "program/program.h"

namespace ui {

class TForm3 : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kClientWidth = 178;  // outer 186 × 92
  static constexpr int kClientHeight = 65;

  explicit TForm3(program::Program& program, QWidget* parent = nullptr);

  QLabel* Label2;
  QPushButton* Button1;
  QPushButton* Button2;

  void Button1Click();
  void Button2Click();

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  program::Program& program_;
  bool placed_ = false;
};

}  // namespace ui
