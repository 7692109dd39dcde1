// One output indicator: the channel number on a green (off) or lime (on)
// ground. Painted by hand, so switching it costs one small repaint.
#pragma once

#include <QFont>
#include <QPixmap>
#include <QWidget>

namespace ui {

class Indicator : public QWidget {
  Q_OBJECT

 public:
  Indicator(int channel, QWidget* parent = nullptr);

  int channel() const { return channel_; }
  bool isOn() const { return on_; }
  void setOn(bool on);
  QColor color() const;
  QString text() const { return text_; }

  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  int channel_;
  bool on_ = false;
  QString text_;
  QPixmap onLook_;
  QPixmap offLook_;
  QFont lookFont_;
};

}  // namespace ui
