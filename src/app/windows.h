// The whole program put together: the machine's ports and the virtual board,
// the program's state, and its windows in their fixed order (the main window
// first). The program's entry and the tests build it the same way.
#pragma once

#include <memory>
#include <string>

#include "comport/sys/virtual_board.h"
#include "program/program.h"
#include "ui/about_box.h"
#include "ui/board_window.h"
#include "ui/clear_dialog.h"
#include "ui/error_display.h"
#include "ui/main_window.h"
#include "ui/matching_dialog.h"
#include "ui/qt_invoker.h"

namespace app {

struct WindowsOptions {
  std::string tableFile;
  std::string settingsFile;
  // The board, made here when not given.
  std::shared_ptr<sys::VirtualBoard> board;
  // Every port name opens on this platform when given; tests give one over
  // the board, so that nothing can ever open a real device. Otherwise the
  // machine's own ports, and the board for "VIRTUAL".
  sys::Platform* platform = nullptr;
  // How the errors are put before the user: the message boxes when not given.
  ui::MessagePresenter* messages = nullptr;
  // What the files are saved through: the system's own calls when not given.
  storage::SaveCalls* saves = nullptr;
};

class Windows {
 public:
  explicit Windows(const WindowsOptions& options);
  ~Windows();

  std::shared_ptr<sys::VirtualBoard> board;
  ui::QtInvoker invoker;
  ui::ErrorDisplay errors;
  program::Program program;
  std::unique_ptr<ui::TForm1> form1;
  std::unique_ptr<ui::TForm2> form2;
  std::unique_ptr<ui::TForm3> form3;
  std::unique_ptr<ui::TForm4> form4;
  std::unique_ptr<ui::BoardWindow> boardWindow;
};

}  // namespace app
