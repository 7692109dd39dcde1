#include "ui/indicator.h"

#include <QPainter>

#include "sequencer/colors.h"

namespace ui {

namespace {
const QColor kOn(0x00, 0xFF, 0x00);   // lime
const QColor kOff(0x00, 0x80, 0x00);  // green
}  // namespace

Indicator::Indicator(int channel, QWidget* parent)
    : QWidget(parent), channel_(channel), text_(QString("%1").arg(channel, 2, 10, QChar('0'))) {
  setObjectName(QString("Label%1").arg(channel));
  setAttribute(Qt::WA_OpaquePaintEvent);
  QFont f("Courier New");
  f.setPixelSize(16);
  f.setBold(true);
  setFont(f);
  const QString hint = QString("Индикатор %1 выхода").arg(channel);
  setToolTip(hint);
  setStatusTip(hint);
  resize(sizeHint());
}

QSize Indicator::sizeHint() const {
  return QSize(20, fontMetrics().height());
}

QColor Indicator::color() const {
  return on_ ? kOn : kOff;
}

void Indicator::setOn(bool on) {
  if (on_ == on) return;
  on_ = on;
  update();
}

void Indicator::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), color());
  p.setPen(Qt::black);
  p.drawText(rect(), Qt::AlignLeft | Qt::AlignVCenter, text_);
}

}  // namespace ui
