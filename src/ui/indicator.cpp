#include "ui/indicator.h"

#include <QPainter>

#include "table/colors.h"
#include "ui/accessibility.h"

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
  // Not condensed like the window's font around it.
  f.setStretch(QFont::Unstretched);
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
  announceStateChange(this);
}

void Indicator::paintEvent(QPaintEvent*) {
  // Both looks are drawn once and blitted: a step repaints all 48
  // indicators, and laying out and rasterising their digits every time cost
  // more than the rest of the step.
  const qreal ratio = devicePixelRatioF();
  QPixmap& look = on_ ? onLook_ : offLook_;
  if (look.isNull() || look.deviceIndependentSize() != QSizeF(size()) ||
      look.devicePixelRatio() != ratio || lookFont_ != font()) {
    if (lookFont_ != font()) {
      onLook_ = QPixmap();
      offLook_ = QPixmap();
      lookFont_ = font();
    }
    look = QPixmap((QSizeF(size()) * ratio).toSize());
    look.setDevicePixelRatio(ratio);
    QPainter p(&look);
    p.fillRect(rect(), color());
    p.setPen(Qt::black);
    p.setFont(font());
    p.drawText(rect(), Qt::AlignLeft | Qt::AlignVCenter, text_);
  }
  QPainter p(this);
  p.drawPixmap(0, 0, look);
}
}  // namespace ui
