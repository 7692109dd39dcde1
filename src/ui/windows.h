// The whole program put together: the platform with the machine's ports and
// the virtual board, the program's state, and its windows in their fixed
// order (the main window first). The program's entry and the tests build it
// the same way.
#pragma once

#include <memory>
#include <string>

#include "app/program.h"
#include "comport/sys/emulated_platform.h"
#include "comport/sys/routing_platform.h"
#include "comport/sys/virtual_board.h"
#include "ui/about_box.h"
#include "ui/board_window.h"
#include "ui/clear_dialog.h"
#include "ui/error_display.h"
#include "ui/main_window.h"
#include "ui/matching_dialog.h"
#include "ui/qt_invoker.h"

namespace ui {

struct WindowsOptions {
  std::string tableFile;
  std::string settingsFile;
  // The machine's own serial ports in the port list; tests leave them out so
  // that nothing can ever open a real device.
  bool machinePorts = true;
};

class Windows {
 public:
  explicit Windows(const WindowsOptions& options);
  ~Windows();

  // Hosts the virtual board (and, on Linux, the machine's ttys).
  sys::EmulatedPlatform platform;

 private:
  // On Windows the machine's COM ports go to the real API: the port
  // component then works through a platform that joins the two.
  std::unique_ptr<sys::RoutingPlatform> router_;
  sys::Platform& portPlatform(bool machinePorts);

 public:
  std::shared_ptr<sys::VirtualBoard> board;
  QtInvoker invoker;
  ErrorDisplay errors;
  app::Program program;
  std::unique_ptr<TForm1> form1;
  std::unique_ptr<TForm2> form2;
  std::unique_ptr<TForm3> form3;
  std::unique_ptr<TForm4> form4;
  std::unique_ptr<BoardWindow> boardWindow;
};

}  // namespace ui
