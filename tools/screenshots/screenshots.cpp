// Takes the pictures a person would see: the real windows on the X display
// (run it under Xvfb), a short saved sequence playing on the virtual board.
// Writes PNG files into the folder given as the first argument.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QScreen>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <cstdio>
#include <functional>

#include "app/windows.h"
#include "storage/table_file.h"
#include "ui/fonts.h"
#include "ui/resources.h"
#include "ui/support/picture.h"

namespace {

void settle(int ms) {
  QElapsedTimer clock;
  clock.start();
  while (clock.elapsed() < ms) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QThread::msleep(5);
  }
}

void shoot(const QString& folder, const QString& name, const QRect& area) {
  QScreen* screen = QGuiApplication::primaryScreen();
  const QPixmap picture = screen->grabWindow(0, area.x(), area.y(), area.width(), area.height());
  const QString path = QDir(folder).filePath(name);
  std::printf("%s %dx%d\n", qPrintable(path), picture.width(), picture.height());
  picture.save(path);
}

// A running light over 16 steps, with a few chords.
QByteArray demoTable() {
  QByteArray out;
  const int columns = 16;
  for (int k = 1; k <= 48; ++k) {
    out += QByteArray::fromStdString(storage::ChannelLinePrefix(k));
    for (int c = 0; c < columns; ++c) {
      const bool on = (k - 1) % columns == c || (k - 1) % columns == (c + 8) % columns ||
                      (c % 4 == 0 && k % 12 == 0);
      out += on ? '1' : '0';
    }
    out += "\r\n";
  }
  out += QByteArray::fromStdString(storage::IntervalLinePrefix()) + "150\r\n";
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s <folder for the pictures>\n", argv[0]);
    return 2;
  }
  const QString out = QDir(QString::fromLocal8Bit(argv[1])).absolutePath();
  QDir().mkpath(out);
  ui::initResources();
  ui::installFontSubstitutes();
  QApplication::setWindowIcon(QIcon(ui::transparentPicture(":/app_icon.bmp")));

  QTemporaryDir work;
  QDir::setCurrent(work.path());
  {
    QFile table(storage::kTableFileName);
    table.open(QIODevice::WriteOnly);
    table.write(demoTable());
    QFile settings("Rilvet.dat");
    settings.open(QIODevice::WriteOnly);
    QByteArray matching(64, '\0');
    matching[0] = 1;   // output 1 on by вх1
    matching[20] = 2;  // output 3 off by вх2
    settings.write(matching);
  }

  // The machine's own ports stay out of the list: every name opens the board.
  const auto board = std::make_shared<sys::VirtualBoard>();
  app::Windows w({storage::kTableFileName, "Rilvet.dat", board, board.get()});
  ui::TForm1& form = *w.form1;
  form.show();
  settle(650);  // the table half revealed, with its percentage and progress strip
  shoot(out, "main_reveal.png", form.frameGeometry());
  settle(1400);

  form.ComboBox1->setCurrentIndex(form.ComboBox1->findText("VIRTUAL"));
  form.BitBtn(1)->click();
  // Below the main window, so that neither hides the other.
  w.boardWindow->move(40, form.frameGeometry().bottom() + 20);
  settle(1650);
  form.BitBtn(1)->click();  // pause, so the pictures agree with each other
  settle(300);
  shoot(out, "main.png", form.frameGeometry());
  shoot(out, "board.png", w.boardWindow->frameGeometry());

  form.BitBtn3Click();
  w.form2->move(200, 300);
  settle(300);
  shoot(out, "matching.png", w.form2->frameGeometry());
  form.BitBtn3Click();

  form.BitBtn4Click();
  settle(300);
  shoot(out, "clear.png", w.form3->frameGeometry());
  w.form3->Button2Click();

  form.BitBtn10Click();
  settle(300);
  shoot(out, "about.png", w.form4->frameGeometry());
  w.form4->Label1Click();
  settle(300);

  shoot(out, "desktop.png", QGuiApplication::primaryScreen()->geometry());
  form.BitBtn(2)->click();
  form.close();
  return 0;
}
