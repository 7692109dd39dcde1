// The about box "Об авторах": a picture of the sky with transparent texts
// over it and an OK label that acts as a button.
#pragma once

#include <QFrame>
#include <QLabel>
#include <QWidget>

#include "program/program.h"

namespace ui {

// The frame behind the OK label, raised or lowered.
class Bevel : public QWidget {
  Q_OBJECT

 public:
  enum Style { Raised, Lowered };
  explicit Bevel(QWidget* parent = nullptr) : QWidget(parent) {}
  Style style() const { return style_; }
  void setStyle(Style style);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  Style style_ = Raised;
};

// The OK label: reports presses, releases and clicks.
class OkLabel : public QLabel {
  Q_OBJECT

 public:
  using QLabel::QLabel;

 signals:
  void mouseDown();
  void mouseUp();
  void clicked();

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
};

class TForm4 : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kClientWidth = 353;
  static constexpr int kClientHeight = 257;

  TForm4(program::ErrorSink& errors, QWidget* parent = nullptr);
  // With the background picture's JPEG bytes given (the resource's otherwise).
  TForm4(program::ErrorSink& errors, const QByteArray& picture, QWidget* parent = nullptr);
  static QByteArray defaultPicture();

  QLabel* Image1;
  OkLabel* Label1;
  Bevel* Bevel1;
  const QString& pictureError() const { return pictureError_; }

  void Label1MouseDown();
  void Label1MouseUp();
  void Label1Click();

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  program::ErrorSink& errors_;
  QString pictureError_;
  bool placed_ = false;
  bool errorShown_ = false;
};

}  // namespace ui
