#include "ui/pattern_dialog.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QVBoxLayout>
#include <algorithm>

#include "ui/fonts.h"

namespace ui {

namespace {

// In the order of the list.
constexpr sequencer::PatternKind kKinds[] = {
    sequencer::PatternKind::Chase, sequencer::PatternKind::AllOn, sequencer::PatternKind::Alternate,
    sequencer::PatternKind::Fill};

QSpinBox* spinBox(QWidget* parent, const char* name, int max, int value) {
  auto* box = new QSpinBox(parent);
  box->setObjectName(name);
  box->setRange(1, max);
  box->setValue(value);
  return box;
}

}  // namespace

PatternDialog::PatternDialog(QWidget* parent) : QDialog(parent) {
  setObjectName("PatternDialog");
  setWindowTitle("Шаблон шагов");
  setFont(msSansSerif(11));

  Kind = new QComboBox(this);
  Kind->setObjectName("Kind");
  Kind->addItems({"Бегущий огонь", "Все включены", "Через один", "Копии этого шага"});
  FirstChannel = spinBox(this, "FirstChannel", 48, 1);
  LastChannel = spinBox(this, "LastChannel", 48, 48);
  Steps = spinBox(this, "Steps", sequencer::Pattern::kMaxSteps, 48);
  Place = new QLabel(this);
  Place->setObjectName("Place");

  // Each caption labels its box, and names it for a screen reader.
  const auto caption = [this](const char* text, QWidget* box, const char* name) {
    auto* label = new QLabel(text, this);
    label->setBuddy(box);
    box->setAccessibleName(name);
    return label;
  };
  auto* grid = new QGridLayout;
  grid->addWidget(caption("Шаблон", Kind, "Шаблон"), 0, 0);
  grid->addWidget(Kind, 0, 1, 1, 3);
  grid->addWidget(caption("Каналы с", FirstChannel, "Каналы с"), 1, 0);
  grid->addWidget(FirstChannel, 1, 1);
  grid->addWidget(caption("по", LastChannel, "Каналы по"), 1, 2, Qt::AlignRight);
  grid->addWidget(LastChannel, 1, 3);
  grid->addWidget(caption("Новых шагов", Steps, "Новых шагов"), 2, 0);
  grid->addWidget(Steps, 2, 1);

  OkButton = new QPushButton("ОК", this);
  OkButton->setObjectName("OkButton");
  OkButton->setDefault(true);
  CancelButton = new QPushButton("Отмена", this);
  CancelButton->setObjectName("CancelButton");
  connect(OkButton, &QPushButton::clicked, this, &QDialog::accept);
  connect(CancelButton, &QPushButton::clicked, this, &QDialog::reject);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(OkButton);
  buttons->addWidget(CancelButton);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(grid);
  layout->addWidget(Place);
  layout->addLayout(buttons);
  layout->setSizeConstraint(QLayout::SetFixedSize);
}

void PatternDialog::setColumn(int col) {
  column_ = col;
  Place->setText(QString("Новые шаги встанут перед шагом %1").arg(col + 1));
}

sequencer::Pattern PatternDialog::pattern() const {
  sequencer::Pattern p;
  p.kind = kKinds[std::max(0, Kind->currentIndex())];
  p.firstChannel = FirstChannel->value();
  p.lastChannel = LastChannel->value();
  p.steps = Steps->value();
  return p;
}

}  // namespace ui
