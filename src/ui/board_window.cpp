#include "ui/board_window.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QPainter>
#include <QVBoxLayout>

namespace ui {

namespace {

constexpr int kLampPitch = 44;
constexpr int kRowPitch = 46;
constexpr int kLeftMargin = 90;
constexpr int kTopMargin = 8;

}  // namespace

LampPanel::LampPanel(QWidget* parent) : QWidget(parent) {
  setObjectName("LampPanel");
  setMinimumSize(sizeHint());
}

QSize LampPanel::sizeHint() const {
  return QSize(kLeftMargin + 8 * kLampPitch + 8, kTopMargin + 6 * kRowPitch + 4);
}

void LampPanel::setOutputs(std::uint64_t bits) {
  if (bits == bits_) return;
  bits_ = bits;
  update();
}

void LampPanel::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  p.fillRect(rect(), QColor(0x1E, 0x4D, 0x2B));  // board green
  QFont small = font();
  small.setPixelSize(10);
  small.setBold(false);
  QFont bold = font();
  bold.setPixelSize(12);
  bold.setBold(true);
  for (int reg = 1; reg <= 6; ++reg) {
    const int y = kTopMargin + (reg - 1) * kRowPitch;
    p.setPen(Qt::white);
    p.setFont(bold);
    p.drawText(QRect(6, y + 6, kLeftMargin - 10, 16), Qt::AlignLeft | Qt::AlignVCenter,
               QString("Регистр %1").arg(reg));
    p.setFont(small);
    for (int q = 0; q < 8; ++q) {
      const int stage = 8 * (reg - 1) + q + 1;
      const bool on = (bits_ >> (stage - 1)) & 1u;
      const int x = kLeftMargin + q * kLampPitch;
      p.setPen(QPen(Qt::black, 1));
      p.setBrush(on ? QColor(0xFF, 0x30, 0x20) : QColor(0x50, 0x18, 0x14));
      p.drawEllipse(QRect(x + 10, y + 2, 18, 18));
      p.setPen(QColor(0xE0, 0xE0, 0xE0));
      p.drawText(QRect(x, y + 21, kLampPitch, 11), Qt::AlignHCenter, QString("Q%1").arg(q));
      p.drawText(QRect(x, y + 32, kLampPitch, 11), Qt::AlignHCenter,
                 QString("к%1").arg(49 - stage, 2, 10, QChar('0')));
    }
  }
}

BoardWindow::BoardWindow(std::shared_ptr<sys::VirtualBoard> board, QWidget* parent)
    : QWidget(parent, Qt::Window), board_(std::move(board)) {
  setObjectName("BoardWindow");
  setWindowTitle("Виртуальная плата");

  auto* layout = new QVBoxLayout(this);
  auto* outputs = new QGroupBox("Выходы (6 × 74HC595)", this);
  auto* outputsLayout = new QVBoxLayout(outputs);
  lamps_ = new LampPanel(outputs);
  outputsLayout->addWidget(lamps_);
  layout->addWidget(outputs);

  auto* inputs = new QGroupBox("Входы", this);
  auto* inputsLayout = new QHBoxLayout(inputs);
  const char* names[3] = {"вх1 (RLSD)", "вх2 (CTS)", "вх3 (DSR)"};
  for (int i = 0; i < 3; ++i) {
    auto* box = new QCheckBox(names[i], inputs);
    box->setObjectName(QString("Input%1").arg(i + 1));
    inputsLayout->addWidget(box);
    switches_[i] = box;
  }
  // Switching an input raises or lowers its line on the board, so the
  // port's event thread sees it exactly as it would see the real one.
  connect(switches_[0], &QCheckBox::toggled, this, [this](bool on) { board_->setRlsd(on); });
  connect(switches_[1], &QCheckBox::toggled, this, [this](bool on) { board_->setCts(on); });
  connect(switches_[2], &QCheckBox::toggled, this, [this](bool on) { board_->setDsr(on); });
  layout->addWidget(inputs);

  auto* readout = new QGroupBox("Счётчики", this);
  auto* readoutLayout = new QHBoxLayout(readout);
  frames_ = new QLabel(readout);
  rate_ = new QLabel(readout);
  duration_ = new QLabel(readout);
  for (QLabel* l : {frames_, rate_, duration_}) readoutLayout->addWidget(l);
  layout->addWidget(readout);

  refreshTimer_.setInterval(50);
  connect(&refreshTimer_, &QTimer::timeout, this, &BoardWindow::refresh);
  rateClock_.start();
  refresh();
}

bool BoardWindow::lamp(int reg, int q) const {
  return (lamps_->outputs() >> (8 * (reg - 1) + q)) & 1u;
}

QString BoardWindow::readout() const {
  return frames_->text() + "; " + rate_->text() + "; " + duration_->text();
}

void BoardWindow::refresh() {
  lamps_->setOutputs(board_->outputBits());
  const std::array<bool, 3> lines = {board_->rlsd(), board_->cts(), board_->dsr()};
  for (int i = 0; i < 3; ++i) {
    if (switches_[i]->isChecked() != lines[i]) {
      const QSignalBlocker block(switches_[i]);
      switches_[i]->setChecked(lines[i]);
    }
  }
  const auto stats = board_->state();
  frames_->setText(QString("Кадров защёлкнуто: %1").arg(stats.framesLatched));
  const qint64 elapsed = rateClock_.elapsed();
  if (elapsed >= 500) {
    const double fps = (stats.framesLatched - rateFrames_) * 1000.0 / elapsed;
    rate_->setText(QString("Кадров в секунду: %1").arg(fps, 0, 'f', 1));
    rateFrames_ = stats.framesLatched;
    rateClock_.restart();
  } else if (rate_->text().isEmpty()) {
    rate_->setText("Кадров в секунду: 0.0");
  }
  const double micros = std::chrono::duration<double, std::micro>(stats.lastFrameDuration).count();
  duration_->setText(QString("Последний кадр: %1 мкс").arg(micros, 0, 'f', 0));
}

void BoardWindow::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  refresh();
  refreshTimer_.start();
}

void BoardWindow::hideEvent(QHideEvent* event) {
  refreshTimer_.stop();
  QWidget::hideEvent(event);
}

}  // namespace ui
