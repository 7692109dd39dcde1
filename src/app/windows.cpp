#include "app/windows.h"

#include <QMetaObject>

#ifdef RILVET_FTDI
#include "comport/sys/linux_ftdi_platform.h"
#endif

namespace app {

namespace {

sys::Platform* fastPath() {
#ifdef RILVET_FTDI
  return &sys::ftdiPlatform();
#else
  return nullptr;
#endif
}

}  // namespace

Windows::Windows(const WindowsOptions& options)
    : board(options.board ? options.board : std::make_shared<sys::VirtualBoard>()),
      errors(nullptr, options.messages ? *options.messages : ui::messageBoxes()),
      program(options.platform ? sys::Backends(*options.platform)
                               : sys::Backends(sys::nativePlatform(), board.get(), fastPath()),
              &invoker, errors, options.tableFile, options.settingsFile,
              options.saves ? *options.saves : storage::systemSaveCalls()) {
  // Every error reaches the user the program's one way; the display says
  // when a box has been closed.
  invoker.onException = [this](const std::exception& e) { program.errors().showError(e.what()); };
  errors.onClosed = [this] { program.errors().closed(); };
  // An error that ends the port's event thread is shown on the GUI thread.
  program.player().SerialPort1().onThreadError = [this](const std::string& message) {
    QMetaObject::invokeMethod(
        &invoker, [this, message] { program.errors().showError(message); }, Qt::QueuedConnection);
  };
  // The frames go out on a thread of their own; what each did is shown on
  // the GUI thread at its next turn.
  program.startOutputThread([this] {
    QMetaObject::invokeMethod(
        &invoker,
        [this] {
          if (form1) form1->deliverFrames();
        },
        Qt::QueuedConnection);
  });
  form1 = std::make_unique<ui::TForm1>(program, &errors);
  errors.setOwner(form1.get());
  form2 = std::make_unique<ui::TForm2>(program, program.errors());
  form3 = std::make_unique<ui::TForm3>(program);
  form4 = std::make_unique<ui::TForm4>(program.errors());
  boardWindow = std::make_unique<ui::BoardWindow>(board);
  form1->setForms(form2.get(), form3.get(), form4.get());
  form1->setBoardWindow(boardWindow.get());
}

Windows::~Windows() {
  // No frame is on its way when the port goes.
  program.endOutputThread();
  // The windows go first: they observe the program's state.
  boardWindow.reset();
  form4.reset();
  form3.reset();
  form2.reset();
  form1.reset();
  program.player().SerialPort1().releasePort();
}

}  // namespace app
