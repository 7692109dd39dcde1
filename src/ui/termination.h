// Ends the program the way the main window's close box does when the system
// asks it to: SIGTERM, SIGINT or SIGHUP (a shutdown, a logout, Ctrl+C in the
// terminal that started it). The close sequence runs (the all-off frame, both
// files saved, the port closed) and the program ends; a second signal while
// it runs ends the program at once.
//
// When the connection to the display goes, the window system's library ends
// the process itself (with exit()); when Windows ends the session (logging
// off, shutting down) it kills the process once the program has answered.
// In both cases the same close sequence runs on the way out, without
// windows, its messages written to the standard error.
#pragma once

#include <QObject>

class QSocketNotifier;

namespace ui {

class TForm1;

class Termination : public QObject {
 public:
  explicit Termination(TForm1& window);
  ~Termination() override;
  Termination(const Termination&) = delete;
  Termination& operator=(const Termination&) = delete;

 private:
  void signalled();
  void endingWithoutDisplay();
  static void atExit();

  TForm1& window_;
  QSocketNotifier* notifier_ = nullptr;
};

}  // namespace ui
