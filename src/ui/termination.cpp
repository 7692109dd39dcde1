#include "ui/termination.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QThread>
#include <cstdio>
#include <cstdlib>

#include "ui/main_window.h"

#ifndef _WIN32
#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <unistd.h>
#endif

namespace ui {

namespace {

Termination* active = nullptr;

#ifndef _WIN32
constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};
int wakePipe[2] = {-1, -1};
volatile std::sig_atomic_t received = 0;

// Only what is safe in a signal handler: the event loop learns of the signal
// through the pipe.
void onSignal(int signal) {
  if (received != 0) _exit(128 + signal);
  received = signal;
  const int saved = errno;
  const char byte = 1;
  [[maybe_unused]] const ssize_t n = write(wakePipe[1], &byte, 1);
  errno = saved;
}
#endif

}  // namespace

Termination::Termination(TForm1& window) : window_(window) {
  active = this;
  static bool registered = false;
  if (!registered) {
    registered = true;
    std::atexit(&Termination::atExit);
  }
  // Windows logging off or shutting down: Qt says aboutToQuit while it
  // answers the end of the session, and the process is killed right after,
  // with no time for windows. After an ordinary close this finds nothing to do.
  connect(qApp, &QCoreApplication::aboutToQuit, this, &Termination::endingWithoutDisplay);
#ifndef _WIN32
  if (wakePipe[0] < 0 && pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  notifier_ = new QSocketNotifier(wakePipe[0], QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, &Termination::signalled);
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (const int signal : kSignals) sigaction(signal, &action, nullptr);
#endif
}

Termination::~Termination() {
#ifndef _WIN32
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  for (const int signal : kSignals) sigaction(signal, &action, nullptr);
#endif
  active = nullptr;
}

void Termination::signalled() {
#ifndef _WIN32
  char bytes[16];
  while (read(wakePipe[0], bytes, sizeof bytes) > 0) {
  }
#endif
  notifier_->setEnabled(false);
  // The close box's way: the close sequence, its messages, then the end.
  window_.close();
}

void Termination::atExit() {
  // The process ends by exit() on the GUI thread while the window is still
  // there: the window system has lost its display.
  if (active && QThread::currentThread() == active->thread()) active->endingWithoutDisplay();
}

void Termination::endingWithoutDisplay() {
  for (const std::string& message : window_.closeWithoutDisplay()) {
    std::fprintf(stderr, "Rilvet-48: %s\n", message.c_str());
  }
}

}  // namespace ui
