#include "ui/windows.h"

#include <QMetaObject>

#ifdef _WIN32
#include "comport/sys/native_platform.h"
#else
#include "comport/sys/posix_ports.h"
#endif

namespace ui {

sys::Platform& Windows::portPlatform(bool machinePorts) {
  if (!machinePorts) {
    platform.setSerialCommSource([](auto& values) {
      values.clear();
      return true;
    });
    return platform;
  }
#ifdef _WIN32
  router_ = std::make_unique<sys::RoutingPlatform>(sys::nativePlatform(), platform,
                                                   std::vector<std::string>{app::kVirtualPort});
  return *router_;
#else
  sys::addPosixDevices(platform);
  return platform;
#endif
}

Windows::Windows(const WindowsOptions& options)
    : board(sys::VirtualBoard::attach(platform, app::kVirtualPort)),
      errors(nullptr),
      program(portPlatform(options.machinePorts), &invoker, errors, options.tableFile,
              options.settingsFile) {
  invoker.onException = [this](const std::exception& e) { errors.showError(e.what()); };
  // An error that ends the port's event thread is shown on the GUI thread.
  program.Form1.SerialPort1.OnThreadError = [this](const std::string& message) {
    QMetaObject::invokeMethod(
        &invoker, [this, message] { errors.showError(message); }, Qt::QueuedConnection);
  };
  form1 = std::make_unique<TForm1>(program, &errors);
  errors.setOwner(form1.get());
  form2 = std::make_unique<TForm2>(program, errors);
  form3 = std::make_unique<TForm3>(program);
  form4 = std::make_unique<TForm4>(errors);
  boardWindow = std::make_unique<BoardWindow>(board);
  form1->setForms(form2.get(), form3.get(), form4.get());
  form1->setBoardWindow(boardWindow.get());
}

Windows::~Windows() {
  // The windows go first: they observe the program's state.
  boardWindow.reset();
  form4.reset();
  form3.reset();
  form2.reset();
  form1.reset();
  program.Form1.SerialPort1.ReleasePort();
}

}  // namespace ui
