#include "ui/about_box.h"

#include <QFile>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>

#include "ui/fonts.h"
#include "ui/support/jpeg_image.h"
#include "ui/support/picture.h"

namespace ui {

namespace {

// A transparent label: the picture shows through around its letters.
QLabel* textLabel(QWidget* parent, const QString& name, const QString& text, QRect geometry,
                  const QFont& font, Qt::Alignment align = Qt::AlignLeft | Qt::AlignTop) {
  auto* label = new QLabel(text, parent);
  label->setObjectName(name);
  label->setFont(font);
  label->setGeometry(geometry);
  label->setAlignment(align);
  label->setAttribute(Qt::WA_TranslucentBackground);
  label->setAutoFillBackground(false);
  QPalette palette = label->palette();
  palette.setColor(QPalette::WindowText, Qt::black);
  label->setPalette(palette);
  return label;
}

}  // namespace

void Bevel::setStyle(Style style) {
  if (style_ == style) return;
  style_ = style;
  update();
}

void Bevel::paintEvent(QPaintEvent*) {
  QPainter p(this);
  const QRect r = rect().adjusted(0, 0, -1, -1);
  const QColor light = style_ == Raised ? Qt::white : QColor(0x80, 0x80, 0x80);
  const QColor dark = style_ == Raised ? QColor(0x80, 0x80, 0x80) : Qt::white;
  p.setPen(light);
  p.drawLine(r.topLeft(), r.topRight());
  p.drawLine(r.topLeft(), r.bottomLeft());
  p.setPen(dark);
  p.drawLine(r.bottomLeft(), r.bottomRight());
  p.drawLine(r.topRight(), r.bottomRight());
}

void OkLabel::mousePressEvent(QMouseEvent* event) {
  emit mouseDown();
  event->accept();
}

void OkLabel::mouseReleaseEvent(QMouseEvent* event) {
  emit mouseUp();
  // A click: the left button pressed over the label and released over it.
  if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) {
    emit clicked();
  }
  event->accept();
}

QByteArray TForm4::defaultPicture() {
  QFile file(":/about_sky.jpg");
  if (!file.open(QIODevice::ReadOnly)) return {};
  return file.readAll();
}

TForm4::TForm4(program::ErrorSink& errors, QWidget* parent)
    : TForm4(errors, defaultPicture(), parent) {}

TForm4::TForm4(program::ErrorSink& errors, const QByteArray& picture, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::WindowStaysOnTopHint), errors_(errors) {
  setObjectName("Form4");
  setWindowTitle("Об авторах");
  setWindowIcon(QIcon(transparentPicture(":/about_icon.bmp")));
  setFont(msSansSerif(11));
  setFixedSize(kClientWidth, kClientHeight);

  Image1 = new QLabel(this);
  Image1->setObjectName("Image1");
  Image1->setGeometry(0, 0, kClientWidth, kClientHeight);
  Image1->setScaledContents(true);
  const JpegResult decoded = decodeJpeg(picture);
  if (decoded.error.isEmpty()) {
    Image1->setPixmap(QPixmap::fromImage(decoded.image));
  } else {
    pictureError_ = decoded.error;
  }

  textLabel(this, "Label19", "программа управления драйвером hc595", QRect(1, 26, 350, 20),
            msSansSerif(16, true));
  textLabel(this, "Label20", "(48 выходов + 3 входа)", QRect(79, 42, 195, 20),
            msSansSerif(16, true));
  textLabel(this, "LabelAuthors", "разработчики Rilvet-48", QRect(117, 86, 236, 20),
            msSansSerif(16));
  textLabel(this, "Label30", "Спасибо за использование программы.", QRect(4, 170, 204, 13),
            msSansSerif(11));
  Bevel1 = new Bevel(this);
  Bevel1->setObjectName("Bevel1");
  Bevel1->setGeometry(136, 225, 81, 25);
  Label1 = new OkLabel("          OK          ", this);
  Label1->setObjectName("Label1");
  Label1->setFont(msSansSerif(13));
  Label1->setGeometry(136, 229, 78, 16);
  Label1->setAttribute(Qt::WA_TranslucentBackground);
  Label1->setAccessibleName("OK");
  textLabel(this, "Label2", "Rilvet-48", QRect(110, 2, 136, 29), msSansSerif(24, true),
            Qt::AlignHCenter | Qt::AlignTop);
  textLabel(this, "Label3", "автор идеи и проекта:", QRect(93, 70, 170, 20), msSansSerif(16));

  connect(Label1, &OkLabel::mouseDown, this, &TForm4::Label1MouseDown);
  connect(Label1, &OkLabel::mouseUp, this, &TForm4::Label1MouseUp);
  connect(Label1, &OkLabel::clicked, this, &TForm4::Label1Click);
}

void TForm4::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (!placed_) {
    placed_ = true;
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
      move(screen->availableGeometry().center() - rect().center());
    }
  }
  // Without its picture the box still works; say why, once.
  if (!pictureError_.isEmpty() && !errorShown_) {
    errorShown_ = true;
    errors_.showError(pictureError_.toStdString());
  }
}

void TForm4::Label1MouseDown() {
  Bevel1->setStyle(Bevel::Lowered);
}

void TForm4::Label1MouseUp() {
  Bevel1->setStyle(Bevel::Raised);
}

void TForm4::Label1Click() {
  hide();
}

}  // namespace ui
