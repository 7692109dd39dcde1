#include "ui/clear_dialog.h"

#include <QGuiApplication>
#include <QScreen>

#include "ui/fonts.h"

namespace ui {

TForm3::TForm3(program::Program& program, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::WindowStaysOnTopHint), program_(program) {
  setObjectName("Form3");
  setWindowTitle("Очистка таблицы");
  setFont(msSansSerif(11));
  setFixedSize(kClientWidth, kClientHeight);

  Label2 = new QLabel("Удалить данные?", this);
  Label2->setObjectName("Label2");
  Label2->setFont(msSansSerif(13, true));
  Label2->setGeometry(25, 8, 130, 16);

  Button1 = new QPushButton("Да", this);
  Button1->setObjectName("Button1");
  Button1->setGeometry(8, 32, 75, 25);
  Button2 = new QPushButton("Нет", this);
  Button2->setObjectName("Button2");
  Button2->setGeometry(96, 32, 75, 25);
  // Neither is the default button; "Да" has the focus when shown.
  Button1->setAutoDefault(false);
  Button2->setAutoDefault(false);
  setTabOrder(Button1, Button2);
  connect(Button1, &QPushButton::clicked, this, &TForm3::Button1Click);
  connect(Button2, &QPushButton::clicked, this, &TForm3::Button2Click);
}

void TForm3::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  Button1->setFocus();
  if (placed_) return;
  // Centred the first time; afterwards it comes back where it was left.
  placed_ = true;
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    move(screen->availableGeometry().center() - rect().center());
  }
}

void TForm3::Button1Click() {
  program_.clearTable();
  hide();
}

void TForm3::Button2Click() {
  hide();
}

}  // namespace ui
