#include "ui/matching_dialog.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QScreen>

#include "ui/fonts.h"

namespace ui {

namespace {

QLabel* label(QWidget* parent, const QString& name, const QString& text, int x, int y,
              const QFont& font) {
  auto* l = new QLabel(text, parent);
  l->setObjectName(name);
  l->setFont(font);
  l->adjustSize();
  l->move(x, y);
  return l;
}

QString hex(table::Rgb rgb) {
  return QString("#%1").arg(rgb, 6, 16, QChar('0'));
}

}  // namespace

TForm2::TForm2(program::Program& program, program::ErrorSink& errors, QWidget* parent)
    : QWidget(parent, Qt::Window), program_(program), errors_(errors) {
  setObjectName("Form2");
  setWindowTitle("Согласование входов и выходов");
  setFont(msSansSerif(11));
  setFixedSize(kClientWidth, kClientHeight);

  const QFont heading = msSansSerif(13, true);
  const QFont bold = msSansSerif(11, true);
  label(this, "Label1", "Определите входы, сигналы с которых", 120, 0, heading);
  label(this, "Label2", "будут переключать состояние выходов", 116, 16, heading);
  label(this, "Label3", "Включение", 8, 58, bold);
  label(this, "Label4", "Отключение", 0, 82, bold);
  label(this, "Label5", "Состояние", 8, 100, bold);
  label(this, "Label14", "выходов", 22, 111, bold);

  QFont state("Courier New");
  state.setPixelSize(13);
  state.setBold(true);
  for (int k = 1; k <= inputs::kOutputs; ++k) {
    const int x = 80 + 56 * (k - 1);
    label(this, QString("Label%1").arg(5 + k), QString("Выход %1").arg(k), x, 40, bold);
    for (int row = 0; row < 2; ++row) {
      const int n = 2 * k - 1 + row;
      auto* box = new QComboBox(this);
      box->setObjectName(QString("ComboBox%1").arg(n));
      box->addItems({"нет", "вх1", "вх2", "вх3"});
      box->setGeometry(x, row == 0 ? 56 : 80, 49, 21);
      // The row's caption and the column's output, for a screen reader.
      const QString what =
          QString(row == 0 ? "Включение выхода %1" : "Отключение выхода %1").arg(k);
      box->setAccessibleName(what);
      box->setAccessibleDescription(what);
      connect(box, &QComboBox::currentIndexChanged, this,
              [this, n](int index) { program_.matching().setBox(n, index); });
      comboBoxes[n - 1] = box;
    }
    auto* stateLabel = new QLabel(this);
    stateLabel->setObjectName(QString("Label%1").arg(20 + k));
    stateLabel->setGeometry(x, 106, 48, 16);
    stateLabel->setFont(state);
    stateLabel->setAutoFillBackground(true);
    stateLabel->setAccessibleDescription(QString("Состояние выхода %1").arg(k));
    stateLabels[k - 1] = stateLabel;
  }

  Button1 = new QPushButton("ОК", this);
  Button1->setObjectName("Button1");
  Button1->setGeometry(232, 128, 75, 25);
  connect(Button1, &QPushButton::clicked, this, &TForm2::Button1Click);

  program_.matching().setObserver(this);
  boxesChanged();
  for (int k = 1; k <= inputs::kOutputs; ++k) labelChanged(k);
  // The stored matching, as the dialog is created.
  program_.loadMatching();

  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect desktop = screen->availableGeometry();
    move(desktop.center() - rect().center());
  }
}

TForm2::~TForm2() {
  program_.matching().setObserver(nullptr);
}

void TForm2::boxesChanged() {
  const auto& boxes = program_.matching().boxes();
  for (int n = 1; n <= 16; ++n) {
    const int index = boxes[n - 1];
    QComboBox* box = comboBoxes[n - 1];
    if (box->currentIndex() != index) {
      const QSignalBlocker block(box);
      box->setCurrentIndex(index >= 0 && index <= 3 ? index : -1);
    }
  }
}

void TForm2::labelChanged(int output) {
  const inputs::StateLabel& state = program_.matching().label(output);
  QLabel* l = stateLabels[output - 1];
  l->setText(QString::fromStdString(state.text));
  QPalette palette = l->palette();
  palette.setColor(QPalette::Window, QColor(hex(state.color)));
  palette.setColor(QPalette::WindowText, Qt::black);
  l->setPalette(palette);
}

void TForm2::Button1Click() {
  try {
    program_.saveSettings();
  } catch (const std::exception& e) {
    errors_.showError(e.what());
    return;  // the dialog stays open
  }
  close();
}

void TForm2::closeEvent(QCloseEvent* event) {
  try {
    program_.saveSettings();
  } catch (const std::exception& e) {
    errors_.showError(e.what());
    event->ignore();
    return;
  }
  event->accept();
}

}  // namespace ui
