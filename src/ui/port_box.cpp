#include "ui/port_box.h"

#include <QAbstractItemView>
#include <QLineEdit>
#include <QScrollBar>
#include <QStyle>
#include <algorithm>

namespace ui {

PortBox::PortBox(QWidget* parent) : QComboBox(parent) {
  setEditable(true);
  // A name chosen from the list replaces the text with the cursor at its end,
  // which would show the end of the name.
  connect(this, &QComboBox::currentIndexChanged, this, [this] { homeCursor(); });
}

void PortBox::homeCursor() {
  if (lineEdit()) lineEdit()->setCursorPosition(0);
}

void PortBox::showStart() {
  if (!hasFocus()) homeCursor();
}

void PortBox::focusOutEvent(QFocusEvent* event) {
  QComboBox::focusOutEvent(event);
  homeCursor();
}

void PortBox::showPopup() {
  const QFontMetrics metrics = view()->fontMetrics();
  int widest = 0;
  for (int i = 0; i < count(); ++i)
    widest = std::max(widest, metrics.horizontalAdvance(itemText(i)));
  // The item's own margins and focus frame, the list's frame and a scroll bar
  // in case the list is long.
  const int margins = 2 * style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, view()) +
                      2 * view()->frameWidth() + 8 +
                      view()->verticalScrollBar()->sizeHint().width();
  view()->setMinimumWidth(widest + margins);
  QComboBox::showPopup();
}

}  // namespace ui
