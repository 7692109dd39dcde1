// Rilvet-48: plays a 48-channel on/off sequence on a board of six chained
// 74HC595 shift registers hung on a serial port.
#include <QApplication>

#include "inputs/settings_file.h"
#include "storage/table_file.h"
#include "ui/fonts.h"
#include "ui/resources.h"
#include "ui/support/picture.h"
#include "ui/windows.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QApplication::setApplicationName("Rilvet-48");
  QApplication::setQuitOnLastWindowClosed(false);
  ui::initResources();
  ui::installFontSubstitutes();
  QApplication::setWindowIcon(QIcon(ui::transparentPicture(":/app_icon.bmp")));

  // The files are opened by their bare names, in the current folder.
  ui::Windows windows({storage::kTableFileName, inputs::kSettingsFileName, true});
  QObject::connect(windows.form1.get(), &ui::TForm1::closed, &application, &QApplication::quit,
                   Qt::QueuedConnection);
  windows.form1->show();
  return application.exec();
}
