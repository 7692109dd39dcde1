// The modem lines' watcher: a thread asleep in TIOCMIWAIT until a line
// changes, woken for a stop or a new line setting by a signal, and the looks
// at the counters that turn what changed into the port's events.
#include <cerrno>
#include <utility>

#include <asm/termbits.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>

#include "comport/sys/linux_backend.h"

namespace sys::tty {

namespace {

// Where a driver cannot wait for a line change, the lines are looked at this
// often (their counters still catch shorter pulses, where the driver keeps them).
constexpr int kSampleMs = 10;

}  // namespace

// TIOCMIWAIT can be ended only by a signal: this one, with a handler that does
// nothing, installed without SA_RESTART so that the wait returns EINTR.
int wakeSignal() {
  static const int signal = [] {
    struct sigaction action {};
    action.sa_handler = [](int) {};
    sigemptyset(&action.sa_mask);
    sigaction(SIGURG, &action, nullptr);
    return SIGURG;
  }();
  return signal;
}

// Reads the counters (and the line levels and the input queue where asked)
// and adds the events of what changed since the last look.
std::uint32_t look(Port& p, bool levels, bool queue) {
  serial_icounter_struct now = p.seen;
  int lines = p.lines;
  int inQueue = p.inQueue;
  // The levels first: on a USB adapter TIOCMGET is a control transfer of a
  // millisecond or more, and a change counted during it must be in the
  // counters read here, since the TIOCMIWAIT that follows waits only for
  // changes after its own start.
  if ((levels || !p.counters) && p.modemLines && ioctl(p.fd, TIOCMGET, &lines) != 0) {
    if (errno != ENOTTY && errno != EINVAL) return failed(p, errno);
    p.modemLines = false;
  }
  if (p.counters && ioctl(p.fd, TIOCGICOUNT, &now) != 0) {
    if (errno != ENOTTY && errno != EINVAL) return failed(p, errno);
    p.counters = false;
    // Without counters the levels are all there is to compare.
    if (!levels && p.modemLines && ioctl(p.fd, TIOCMGET, &lines) != 0) {
      if (errno != ENOTTY && errno != EINVAL) return failed(p, errno);
      p.modemLines = false;
    }
  }
  if (queue && ioctl(p.fd, FIONREAD, &inQueue) != 0) return failed(p, errno);
  const serial_icounter_struct& was = p.seen;
  const int changed = lines ^ p.lines;
  const std::int64_t full = std::int64_t{p.inQueueSize} * 8 / 10;
  p.wait.add((now.cts != was.cts || (changed & TIOCM_CTS) ? kEvCts : 0) |
             (now.dsr != was.dsr || (changed & TIOCM_DSR) ? kEvDsr : 0) |
             (now.dcd != was.dcd || (changed & TIOCM_CD) ? kEvRlsd : 0) |
             (now.rng != was.rng || (changed & lines & TIOCM_RNG) ? kEvRing : 0) |
             (now.rx != was.rx || inQueue > p.inQueue ? kEvRxChar : 0) |
             (errorFlags(was, now) != 0 ? kEvErr : 0) |
             (full > 0 && inQueue >= full && p.inQueue < full ? kEvRx80Full : 0));
  p.seen = now;
  p.lines = lines;
  p.inQueue = inQueue;
  return 0;
}

// A look from a thread that waits on the port's status wait: at the input as
// it arrives, or at the lines once more after a wake.
void lookAgain(Port& p, bool input) {
  std::shared_lock use(p.use);
  std::lock_guard lock(p.mutex);
  if (!p.closed && !p.gone && (input || p.recheck)) look(p, false, input);
  if (!input) p.recheck = false;
}

// The modem lines' watcher: asleep in TIOCMIWAIT until a line changes, then
// one TIOCGICOUNT to see which. A driver without TIOCMIWAIT (a pty) is looked
// at every kSampleMs instead.
void watch(Port& p) {
  std::shared_lock use(p.use);
  bool canWait = true;
  for (;;) {
    {
      std::lock_guard lock(p.mutex);
      if (p.stopping || p.gone) break;
      // A line setting turns an 8250's modem-status interrupt off (without
      // CRTSCTS, with CLOCAL) and only a new TIOCMIWAIT turns it on: the wait
      // is begun again, and the lines looked at for what changed meanwhile.
      if (std::exchange(p.rearm, false) && look(p, true, false) != 0) break;
    }
    if (!canWait) {
      ::poll(nullptr, 0, kSampleMs);  // a stop's signal ends it at once
    } else if (ioctl(p.fd, TIOCMIWAIT, TIOCM_CTS | TIOCM_DSR | TIOCM_CD | TIOCM_RNG) != 0) {
      const int err = errno;
      canWait = err == EINTR;
      if (err == EINTR || err == ENOTTY || err == EINVAL) continue;
      std::lock_guard lock(p.mutex);
      failed(p, err);
      break;
    }
    std::lock_guard lock(p.mutex);
    if (p.stopping || look(p, !canWait, false) != 0) break;
    p.recheck = canWait;
  }
  std::lock_guard lock(p.mutex);
  p.watcherDone = true;
  p.watcherEnded.notify_all();
}

void stopWatcher(Port& p) {
  std::unique_lock lock(p.mutex);
  if (!p.watcher.joinable()) return;
  p.stopping = true;
  // A signal that comes just before the watcher enters TIOCMIWAIT is lost, so
  // it is sent again until the watcher has left.
  while (!p.watcherDone) {
    pthread_kill(p.watcher.native_handle(), wakeSignal());
    p.watcherEnded.wait_for(lock, std::chrono::milliseconds(1));
  }
  std::thread watcher = std::move(p.watcher);
  p.stopping = p.watcherDone = false;
  lock.unlock();
  watcher.join();
}

}  // namespace sys::tty
