// One panel of the status bar: a sunken box with a line of text. Opaque and
// drawn by hand, and its size does not follow its text, so that a new text
// repaints this panel alone and asks for no new layout (the step tick writes
// the position into panel 0 at every step). A text wider than the panel ends
// in an ellipsis and is shown whole as the panel's tooltip.
#pragma once

#include <QString>
#include <QWidget>

namespace ui {

class StatusPanel : public QWidget {
  Q_OBJECT

 public:
  explicit StatusPanel(QWidget* parent = nullptr);

  const QString& text() const { return text_; }
  void setText(const QString& text);

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void updateToolTip();

  QString text_;
};

}  // namespace ui
