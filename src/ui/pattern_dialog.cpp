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

  kind = new QComboBox(this);
  kind->setObjectName("Kind");
  kind->addItems({"Бегущий огонь", "Все включены", "Через один", "Копии этого шага"});
  firstChannel = spinBox(this, "FirstChannel", 48, 1);
  lastChannel = spinBox(this, "LastChannel", 48, 48);
  steps = spinBox(this, "Steps", sequencer::Pattern::kMaxSteps, 48);
  place = new QLabel(this);
  place->setObjectName("Place");

  // Each caption labels its box, and names it for a screen reader.
  const auto caption = [this](const char* text, QWidget* box, const char* name) {
    auto* label = new QLabel(text, this);
    label->setBuddy(box);
    box->setAccessibleName(name);
    return label;
  };
  auto* grid = new QGridLayout;
  grid->addWidget(caption("Шаблон", kind, "Шаблон"), 0, 0);
  grid->addWidget(kind, 0, 1, 1, 3);
  grid->addWidget(caption("Каналы с", firstChannel, "Каналы с"), 1, 0);
  grid->addWidget(firstChannel, 1, 1);
  grid->addWidget(caption("по", lastChannel, "Каналы по"), 1, 2, Qt::AlignRight);
  grid->addWidget(lastChannel, 1, 3);
  grid->addWidget(caption("Новых шагов", steps, "Новых шагов"), 2, 0);
  grid->addWidget(steps, 2, 1);

  okButton = new QPushButton("ОК", this);
  okButton->setObjectName("OkButton");
  okButton->setDefault(true);
  cancelButton = new QPushButton("Отмена", this);
  cancelButton->setObjectName("CancelButton");
  connect(okButton, &QPushButton::clicked, this, &QDialog::accept);
  connect(cancelButton, &QPushButton::clicked, this, &QDialog::reject);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(okButton);
  buttons->addWidget(cancelButton);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(grid);
  layout->addWidget(place);
  layout->addLayout(buttons);
  layout->setSizeConstraint(QLayout::SetFixedSize);
}

void PatternDialog::setColumn(int col) {
  column_ = col;
  place->setText(QString("Новые шаги встанут перед шагом %1").arg(col + 1));
}

sequencer::Pattern PatternDialog::pattern() const {
  sequencer::Pattern p;
  p.kind = kKinds[std::max(0, kind->currentIndex())];
  p.firstChannel = firstChannel->value();
  p.lastChannel = lastChannel->value();
  p.steps = steps->value();
  return p;
}

}  // namespace ui
