// Rilvet-48: plays a 48-channel on/off sequence on a board of six chained
// 74HC595 shift registers hung on a serial port.
#include <QApplication>
#include <QMetaObject>
#include <memory>

#include "app/program.h"
#include "comport/sys/virtual_board.h"
#include "inputs/settings_file.h"
#include "storage/table_file.h"
#include "ui/about_box.h"
#include "ui/board_window.h"
#include "ui/clear_dialog.h"
#include "ui/error_display.h"
#include "ui/fonts.h"
#include "ui/main_window.h"
#include "ui/matching_dialog.h"
#include "ui/qt_invoker.h"
#include "ui/resources.h"
#include "ui/support/picture.h"

#ifndef _WIN32
#include "comport/sys/posix_ports.h"
#endif

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QApplication::setApplicationName("Rilvet-48");
  QApplication::setQuitOnLastWindowClosed(false);
  ui::initResources();
  ui::installFontSubstitutes();
  QApplication::setWindowIcon(QIcon(ui::transparentPicture(":/app_icon.bmp")));

  // The machine's serial ports and, under the name "VIRTUAL", the simulated
  // board.
  sys::EmulatedPlatform platform;
#ifndef _WIN32
  sys::addPosixDevices(platform);
#endif
  const auto board = sys::VirtualBoard::attach(platform, app::kVirtualPort);

  ui::QtInvoker invoker;
  ui::ErrorDisplay errors(nullptr);
  invoker.onException = [&errors](const std::exception& e) { errors.showError(e.what()); };
  app::Program program(platform, &invoker, errors, storage::kTableFileName,
                       inputs::kSettingsFileName);
  // An error that ends the port's event thread is shown on the GUI thread.
  program.Form1.SerialPort1.OnThreadError = [&invoker, &errors](const std::string& message) {
    QMetaObject::invokeMethod(
        &invoker, [&errors, message] { errors.showError(message); }, Qt::QueuedConnection);
  };

  // The windows, in their fixed order; the main window first.
  ui::TForm1 form1(program, &errors);
  ui::TForm2 form2(program, errors);
  ui::TForm3 form3(program);
  ui::TForm4 form4(errors);
  ui::BoardWindow boardWindow(board);
  form1.setForms(&form2, &form3, &form4);
  form1.setBoardWindow(&boardWindow);
  QObject::connect(&form1, &ui::TForm1::closed, &application, &QApplication::quit,
                   Qt::QueuedConnection);

  form1.show();
  return application.exec();
}
