#include "ui/status_panel.h"

#include <QPainter>

#include "ui/accessibility.h"

namespace ui {

StatusPanel::StatusPanel(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_OpaquePaintEvent);
  // Inside the sunken edge; the text goes in the contents.
  setContentsMargins(3, 1, 2, 1);
}

void StatusPanel::setText(const QString& text) {
  if (text == text_) return;
  text_ = text;
  updateToolTip();
  update();
  announceTextChange(this);
}

void StatusPanel::updateToolTip() {
  const bool fits = fontMetrics().horizontalAdvance(text_) <= contentsRect().width();
  const QString tip = fits ? QString() : text_;
  if (toolTip() != tip) setToolTip(tip);
}

void StatusPanel::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  updateToolTip();
}

QSize StatusPanel::sizeHint() const {
  return QSize(fontMetrics().horizontalAdvance(text_) + 6, fontMetrics().height() + 4);
}

QSize StatusPanel::minimumSizeHint() const {
  return QSize(0, fontMetrics().height() + 4);
}

void StatusPanel::paintEvent(QPaintEvent*) {
  QPainter p(this);
  const QRect r = rect();
  const QPalette& pal = palette();
  p.fillRect(r, pal.color(QPalette::Window));
  // The sunken edge: dark above and left, light below and right.
  p.fillRect(QRect(r.left(), r.top(), r.width(), 1), pal.color(QPalette::Dark));
  p.fillRect(QRect(r.left(), r.top(), 1, r.height()), pal.color(QPalette::Dark));
  p.fillRect(QRect(r.left(), r.bottom(), r.width(), 1), pal.color(QPalette::Light));
  p.fillRect(QRect(r.right(), r.top(), 1, r.height()), pal.color(QPalette::Light));
  p.setPen(pal.color(QPalette::WindowText));
  p.setFont(font());
  const QRect box = contentsRect();
  p.drawText(box, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
             fontMetrics().elidedText(text_, Qt::ElideRight, box.width()));
}

}  // namespace ui
