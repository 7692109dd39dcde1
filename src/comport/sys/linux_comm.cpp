// The comm calls on a tty's descriptor: the open and close, the line
// settings (termios2), the control lines, the queues and the write that
// waits for its bytes to leave the UART.
#include <algorithm>
#include <cerrno>
#include <utility>

// termios2 sets any rate (BOTHER); the kernel's struct termios in
// <asm/termbits.h> clashes with glibc's, so <termios.h> stays out of this file.
#include <asm/termbits.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>

#include "comport/sys/linux_backend.h"
#include "comport/sys/linux_platform.h"
#include "comport/sys/native_platform.h"

namespace sys {

namespace tty {

thread_local std::uint32_t lastError = 0;

bool fail(std::uint32_t error) {
  lastError = error;
  return false;
}

namespace {

// A write waiting for room in the driver's queue looks for a close this often.
constexpr int kWriteStepMs = 20;
// A write waiting for its bytes to leave looks at the driver's queue, and
// then at the transmitter, this often.
constexpr auto kQueueStep = std::chrono::microseconds(200);
constexpr auto kEmptyStep = std::chrono::microseconds(50);
// How far the transmitter-empty bit may lag behind the bytes' own time: a USB
// adapter reports it with its status, every latency period (up to 16 ms). One
// that has not said it by then is taken for a driver that cannot tell.
constexpr auto kEmptyLag = std::chrono::milliseconds(20);
// The bytes did not leave within the write timeout.
constexpr std::uint32_t kTimedOut = ~0u;
constexpr std::uint32_t kLineEvents = kEvCts | kEvDsr | kEvRlsd | kEvRing;
// DCB flags this backend cannot honour: CTS/DSR output flow control, DSR
// sensitivity, XON/XOFF both ways.
constexpr std::uint32_t kFlowFlags = 0x0004 | 0x0008 | 0x0040 | 0x0100 | 0x0200;
constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
constexpr tcflag_t kParities[] = {0, PARENB | PARODD, PARENB, PARENB | PARODD | CMSPAR,
                                  PARENB | CMSPAR};

tcflag_t speedCode(std::uint32_t rate) {
  static constexpr std::pair<std::uint32_t, tcflag_t> kCodes[] = {
      {110, B110},       {300, B300},       {600, B600},       {1200, B1200},    {2400, B2400},
      {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},  {57600, B57600},
      {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600}};
  for (const auto& [value, code] : kCodes) {
    if (value == rate) return code;
  }
  return BOTHER;  // 14400, 56000, 128000, 256000 …: the rate itself goes in c_ospeed
}

bool late(bool limited, Clock::time_point deadline) {
  return limited && Clock::now() >= deadline;
}

// tcdrain, ended by a signal at `deadline` when `limited`.
std::uint32_t drainWithin(Port& p, bool limited, Clock::time_point deadline) {
  timer_t timer{};
  bool armed = false;
  if (limited) {
    sigevent event{};
    event.sigev_notify = SIGEV_THREAD_ID;
    event.sigev_signo = wakeSignal();
    event._sigev_un._tid = ::gettid();
    const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now());
    if (left.count() <= 0) return kTimedOut;
    itimerspec at{};
    at.it_value.tv_sec = static_cast<time_t>(left.count() / 1'000'000'000);
    at.it_value.tv_nsec = static_cast<long>(left.count() % 1'000'000'000);
    armed = timer_create(CLOCK_MONOTONIC, &event, &timer) == 0;
    if (armed && timer_settime(timer, 0, &at, nullptr) != 0) {
      timer_delete(timer);
      armed = false;
    }
  }
  int result = 0;
  int err = 0;
  do {
    result = ioctl(p.fd, TCSBRK, 1);
    err = errno;
  } while (result != 0 && err == EINTR && !p.closed && !late(limited, deadline));
  if (armed) timer_delete(timer);
  if (result == 0) return 0;
  if (err != EINTR) {
    std::lock_guard lock(p.mutex);
    return failed(p, err);
  }
  return p.closed ? kErrorOperationAborted : kTimedOut;
}

// Waits until the bytes just written have left the UART, taking
// `bytesTime` on the line: no longer than that where the driver's
// transmitter-empty bit tells (an 8250's tcdrain sleeps a jiffy or more per
// look, so a frame would take 4 ms at HZ 250 for a byte of 1.04 ms), and
// never past `deadline` when `limited`, nor a close. 0, kTimedOut or the error.
std::uint32_t drain(Port& p, std::chrono::nanoseconds bytesTime, bool limited,
                    Clock::time_point deadline) {
  const auto error = [&p](int err) {
    std::lock_guard lock(p.mutex);
    return failed(p, err);
  };
  // The driver's queue first: a stalled adapter never takes its bytes.
  for (int queued = 1; queued != 0;) {
    if (p.closed) return kErrorOperationAborted;
    if (ioctl(p.fd, TIOCOUTQ, &queued) != 0) return error(errno);
    if (queued != 0 && late(limited, deadline)) return kTimedOut;
    if (queued != 0) std::this_thread::sleep_for(kQueueStep);
  }
  // Then the UART: the bytes' own time, then its transmitter-empty bit.
  const auto sent = Clock::now() + bytesTime;
  if (p.emptyBit) std::this_thread::sleep_until(limited ? std::min(sent, deadline) : sent);
  while (p.emptyBit) {
    if (p.closed) return kErrorOperationAborted;
    unsigned int status = 0;
    if (ioctl(p.fd, TIOCSERGETLSR, &status) != 0) {
      if (errno != ENOTTY && errno != EINVAL) return error(errno);
      p.emptyBit = false;  // not answered (a pty, many USB adapters)
    } else if (status & TIOCSER_TEMT) {
      return 0;
    } else if (late(limited, deadline)) {
      return kTimedOut;
    } else if (Clock::now() > sent + kEmptyLag) {
      p.emptyBit = false;  // a driver's copy that is never brought up to date
    } else {
      std::this_thread::sleep_for(kEmptyStep);
    }
  }
  return drainWithin(p, limited, deadline);
}

// Writes all `count` bytes, or as many as the write timeout lets through.
bool write(Port& p, const void* data, std::uint32_t count, std::uint32_t& done) {
  std::shared_lock use(p.use);
  std::unique_lock lock(p.mutex);
  const CommTimeouts t = p.timeouts;
  const std::chrono::nanoseconds byteTime = p.byteTime;
  lock.unlock();
  const bool limited = t.WriteTotalTimeoutConstant != 0 || t.WriteTotalTimeoutMultiplier != 0;
  const auto deadline =
      Clock::now() +
      std::chrono::milliseconds(std::min<std::uint64_t>(
          t.WriteTotalTimeoutConstant + std::uint64_t{t.WriteTotalTimeoutMultiplier} * count,
          0x7FFFFFFF));
  while (done < count) {
    const ssize_t n = ::write(p.fd, static_cast<const std::uint8_t*>(data) + done, count - done);
    if (n > 0) {
      done += static_cast<std::uint32_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) {
      const int err = errno;
      lock.lock();
      return fail(failed(p, err));
    }
    // The driver's queue is full: wait for room, in short steps so that a
    // close is not held up.
    if (p.closed) return fail(kErrorOperationAborted);
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (limited && left.count() <= 0) return true;  // cut short by the timeout: fewer bytes
    pollfd room{p.fd, POLLOUT, 0};
    ::poll(
        &room, 1,
        limited ? static_cast<int>(std::min<long long>(kWriteStepMs, left.count())) : kWriteStepMs);
  }
  // The latch byte must be on the wire before the next frame's clock pulses.
  const std::uint32_t error = drain(p, byteTime * count, limited, deadline);
  if (error == kTimedOut) {
    // As a Win32 write cut short by its timeout: fewer bytes, no error.
    // What did not go is dropped: a latch byte that went out late would
    // latch whatever the next frame had shifted in by then.
    int queued = 0;
    ioctl(p.fd, TIOCOUTQ, &queued);
    done -= std::min<std::uint32_t>(done, std::max(queued, 1));
    ioctl(p.fd, TCFLSH, TCOFLUSH);
    return true;
  }
  lock.lock();
  if (error != 0) return fail(error);
  p.wait.add(kEvTxEmpty);
  return true;
}

// The error of a refused open.
std::uint32_t openError(int err) {
  // EBUSY: another program holds it exclusively (TIOCEXCL).
  return err == EACCES || err == EPERM                    ? kErrorPrivilegeNotHeld
         : err == EBUSY                                   ? kErrorAccessDenied
         : err == ENOENT || err == ENXIO || err == ENODEV ? kErrorFileNotFound
                                                          : kErrorGenFailure;
}

// 0 when the descriptor just opened is the device that was looked at, now
// ours alone among the programs that flock, its input watched on `epoll`.
std::uint32_t checkOpened(int fd, dev_t device, int epoll) {
  struct stat opened {};
  epoll_event input{};
  input.events = EPOLLIN | EPOLLET;
  // The name may have been pointed elsewhere between the look and the open.
  if (fstat(fd, &opened) != 0 || opened.st_rdev != device || !isatty(fd)) {
    return kErrorFileNotFound;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) return kErrorAccessDenied;
  if (epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &input) != 0) return kErrorGenFailure;
  return 0;
}

}  // namespace

std::uint32_t errorFlags(const serial_icounter_struct& was, const serial_icounter_struct& now) {
  return (now.frame != was.frame ? kCeFrame : 0) | (now.parity != was.parity ? kCeRxParity : 0) |
         (now.overrun != was.overrun ? kCeOverrun : 0) | (now.brk != was.brk ? kCeBreak : 0) |
         (now.buf_overrun != was.buf_overrun ? kCeRxOver : 0);
}

// Each called with the port's mutex held.

std::uint32_t failed(Port& p, int err) {
  switch (err) {
    case EIO:
    case ENXIO:
    case ENODEV:  // unplugged or hung up: every later call fails the same way
      p.gone = true;
      p.wait.end(kErrorBadCommand, 0);
      return kErrorBadCommand;
    case ENOTTY:
    case EINVAL: return kErrorNotSupported;
    default: return kErrorGenFailure;
  }
}

LinuxPlatform::LinuxPlatform(std::string devDir, fs::path sysDir, std::string lockDir)
    : devDir_(std::move(devDir)), sysDir_(std::move(sysDir)), lockDir_(std::move(lockDir)) {}

LinuxPlatform::~LinuxPlatform() {
  while (!ports_.empty()) CloseHandle(static_cast<Handle>(ports_.begin()->first));
  for (const auto& [fd, manual] : events_) ::close(fd);
}

std::shared_ptr<Port> LinuxPlatform::port(Handle h) {
  std::lock_guard lock(mutex_);
  auto it = ports_.find(static_cast<int>(h));
  return it != ports_.end() && h == static_cast<Handle>(it->first) ? it->second : nullptr;
}

template <typename Call>
bool LinuxPlatform::onPort(Handle h, Call&& call) {
  const std::shared_ptr<Port> p = port(h);
  if (!p) return fail(kErrorInvalidHandle);
  std::shared_lock use(p->use);
  std::lock_guard lock(p->mutex);
  const std::uint32_t error = p->closed ? kErrorInvalidHandle
                              : p->gone ? kErrorBadCommand
                                        : call(*p);
  return error == 0 || fail(error);
}

Handle LinuxPlatform::CreateFileA(const std::string& name, std::uint32_t, std::uint32_t,
                                  std::uint32_t, std::uint32_t) {
  dev_t device = 0;
  const std::string path =
      name.rfind("\\\\.\\", 0) == 0 ? checkPort(name.substr(4), devDir_, sysDir_, device) : "";
  // A refused name is never opened, not even for a moment: opening alone can
  // act (a serial driver raises DTR and RTS, a FIFO's writer wakes).
  if (path.empty()) return fail(kErrorFileNotFound), kInvalidHandle;
  // Nor is a port another program holds: its lock file, or its descriptor.
  std::string lockFile;
  if (const std::uint32_t error = claimPort(lockDir_, path, device, lockFile)) {
    return fail(error), kInvalidHandle;
  }
  const auto release = [&] {
    if (!lockFile.empty()) ::unlink(lockFile.c_str());
  };
  // O_NONBLOCK: without CLOCAL yet, a blocking open would wait for DCD.
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int err = errno;
    release();
    return fail(openError(err)), kInvalidHandle;
  }
  auto p = std::make_shared<Port>(fd);
  if (const std::uint32_t error = checkOpened(fd, device, p->epoll)) {
    ::close(fd);
    release();
    return fail(error), kInvalidHandle;
  }
  p->lockFile = lockFile;
  // The lock keeps out programs that lock; TIOCEXCL the others (root excepted).
  ioctl(fd, TIOCEXCL);
  p->counters = ioctl(fd, TIOCGICOUNT, &p->errorBase) == 0;  // errors before ours are not
  p->seen = p->errorBase;
  std::lock_guard lock(mutex_);
  ports_[fd] = std::move(p);
  return static_cast<Handle>(fd);
}

bool LinuxPlatform::CloseHandle(Handle h) {
  std::shared_ptr<Port> p;
  {
    std::lock_guard lock(mutex_);
    if (isEventLocked(h)) {
      events_.erase(static_cast<int>(h));
      ::close(static_cast<int>(h));
      return true;
    }
    auto it = ports_.find(static_cast<int>(h));
    if (it == ports_.end() || h != static_cast<Handle>(it->first)) {
      return fail(kErrorInvalidHandle);
    }
    p = std::move(it->second);
    ports_.erase(it);
  }
  p->closed = true;  // a write waiting for room gives up at its next look
  stopWatcher(*p);
  std::unique_lock alone(p->use);
  {
    std::lock_guard lock(p->mutex);
    p->wait.end(kErrorOperationAborted, 0);
  }
  ioctl(p->fd, TIOCNXCL);  // a pty keeps the flag for as long as its master lives
  ::close(p->fd);          // and this drops the flock
  if (!p->lockFile.empty()) ::unlink(p->lockFile.c_str());
  return true;
}

bool LinuxPlatform::SetupComm(Handle h, std::uint32_t inQueue, std::uint32_t outQueue) {
  return onPort(h, [&](Port& p) -> std::uint32_t {
    // The kernel sizes its own queues; only sizes a driver could take are accepted.
    if (inQueue > 0x7FFFFFFFu || outQueue > 0x7FFFFFFFu) return kErrorInvalidParameter;
    p.inQueueSize = inQueue;
    return 0;
  });
}

bool LinuxPlatform::SetCommState(Handle h, const DCB& dcb) {
  const std::uint32_t dtrControl = (dcb.Flags >> 4) & 3;
  const std::uint32_t rtsControl = (dcb.Flags >> 12) & 3;
  if (dcb.DCBlength != sizeof(DCB) || dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > 4 ||
      dcb.StopBits > 2 || dcb.BaudRate == 0) {
    return onPort(h, [](Port&) { return kErrorInvalidParameter; });
  }
  if ((dcb.Flags & kFlowFlags) != 0 || dtrControl > 1 || rtsControl > 1) {
    return onPort(h, [](Port&) { return kErrorNotSupported; });
  }
  return onPort(h, [&](Port& p) -> std::uint32_t {
    termios2 tio{};
    if (ioctl(p.fd, TCGETS2, &tio) != 0) return failed(p, errno);
    // Raw bytes both ways (as cfmakeraw), no flow control of any kind.
    tio.c_iflag &=
        ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | INPCK);
    tio.c_oflag &= ~OPOST;
    tio.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    // CLOCAL: DCD is one of the board's inputs and must never hang up the line.
    // HUPCL off: only the component moves DTR and RTS, also at close.
    tio.c_cflag &= ~(CBAUD | CIBAUD | CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS | HUPCL);
    tio.c_cflag |= CREAD | CLOCAL | kSizes[dcb.ByteSize - 5] | kParities[dcb.Parity] |
                   (dcb.StopBits != 0 ? CSTOPB : 0) | speedCode(dcb.BaudRate);
    if (dcb.Flags & kDcbParity) tio.c_iflag |= INPCK;
    tio.c_ispeed = tio.c_ospeed = dcb.BaudRate;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    // RTS before DTR, so that a rising DTR clocks the new RTS level.
    int rts = TIOCM_RTS;
    int dtr = TIOCM_DTR;
    if (ioctl(p.fd, TCSETS2, &tio) != 0 ||
        ioctl(p.fd, rtsControl == 1 ? TIOCMBIS : TIOCMBIC, &rts) != 0 ||
        ioctl(p.fd, dtrControl == 1 ? TIOCMBIS : TIOCMBIC, &dtr) != 0) {
      return failed(p, errno);
    }
    // Start, data, parity and stop bits (one and a half counted as two).
    const int bits = 1 + dcb.ByteSize + (dcb.Parity != 0 ? 1 : 0) + (dcb.StopBits != 0 ? 2 : 1);
    p.byteTime = std::chrono::nanoseconds(1'000'000'000LL * bits / dcb.BaudRate);
    // The watcher begins its wait again (see watch). One signal is enough:
    // one that comes before it waits is handled before the wait begins.
    if (p.watcher.joinable() && !p.watcherDone) {
      p.rearm = true;
      pthread_kill(p.watcher.native_handle(), wakeSignal());
    }
    return 0;
  });
}

bool LinuxPlatform::SetCommTimeouts(Handle h, const CommTimeouts& timeouts) {
  return onPort(h, [&](Port& p) {
    p.timeouts = timeouts;
    return 0u;
  });
}

bool LinuxPlatform::SetCommMask(Handle h, std::uint32_t mask) {
  const std::shared_ptr<Port> p = port(h);
  const bool lines = (mask & kLineEvents) != 0;
  const bool done = onPort(h, [&](Port& port) -> std::uint32_t {
    port.wait.setMask(mask);
    // What is there now is the start: only later changes are events.
    if (std::uint32_t error = look(port, lines, true)) return error;
    port.wait.forgetEvents();
    if (lines && !port.modemLines) return kErrorNotSupported;  // the other events still come
    if (lines && !port.watcher.joinable()) port.watcher = std::thread(watch, std::ref(port));
    return 0;
  });
  if (p && !(done && lines)) stopWatcher(*p);
  return done;
}

bool LinuxPlatform::WaitCommEvent(Handle h, std::uint32_t* mask, Overlapped* overlapped) {
  if (!mask || !overlapped || !isEvent(overlapped->hEvent)) return fail(kErrorInvalidParameter);
  bool now = false;
  const bool started = onPort(h, [&](Port& p) -> std::uint32_t {
    if (p.wait.pending()) return kErrorInvalidParameter;  // one at a time
    eventfd_t ignored;
    eventfd_read(static_cast<int>(overlapped->hEvent), &ignored);
    // Events since the last wait end this one at once; otherwise the
    // watcher ends it, or the input that a wait on its event looks at.
    now = p.wait.begin(mask, overlapped);
    return 0;
  });
  return started && (now || fail(kErrorIoPending));
}

bool LinuxPlatform::GetOverlappedResult(Handle h, Overlapped* overlapped,
                                        std::uint32_t* transferred, bool wait) {
  if (!overlapped) return fail(kErrorInvalidParameter);
  if (wait) WaitForSingleObject(overlapped->hEvent, kInfinite);
  // Like Win32, only the record is examined; the port's lock orders the
  // look after the completion.
  if (const auto p = port(h)) std::lock_guard lock(p->mutex);
  const std::uint32_t error = overlappedResult(*overlapped, transferred);
  return error == 0 || fail(error);
}

bool LinuxPlatform::EscapeCommFunction(Handle h, std::uint32_t function) {
  return onPort(h, [&](Port& p) -> std::uint32_t {
    if (function < kSetRts || function > kClrDtr) return kErrorInvalidParameter;
    int bit = function <= kClrRts ? TIOCM_RTS : TIOCM_DTR;
    const bool on = function == kSetRts || function == kSetDtr;
    return ioctl(p.fd, on ? TIOCMBIS : TIOCMBIC, &bit) == 0 ? 0 : failed(p, errno);
  });
}

bool LinuxPlatform::GetCommModemStatus(Handle h, std::uint32_t* status) {
  return onPort(h, [&](Port& p) -> std::uint32_t {
    int bits = 0;
    if (ioctl(p.fd, TIOCMGET, &bits) != 0) return failed(p, errno);
    if (status) {
      *status = ((bits & TIOCM_CTS) ? kMsCtsOn : 0) | ((bits & TIOCM_DSR) ? kMsDsrOn : 0) |
                ((bits & TIOCM_RNG) ? kMsRingOn : 0) | ((bits & TIOCM_CD) ? kMsRlsdOn : 0);
    }
    return 0;
  });
}

bool LinuxPlatform::ClearCommError(Handle h, std::uint32_t* errors, ComStat* stat) {
  return onPort(h, [&](Port& p) -> std::uint32_t {
    int in = 0;
    int out = 0;
    serial_icounter_struct now = p.errorBase;
    if (ioctl(p.fd, FIONREAD, &in) != 0 || ioctl(p.fd, TIOCOUTQ, &out) != 0 ||
        (p.counters && ioctl(p.fd, TIOCGICOUNT, &now) != 0)) {
      return failed(p, errno);
    }
    if (errors) *errors = errorFlags(p.errorBase, now);
    p.errorBase = now;
    if (stat) *stat = {0, static_cast<std::uint32_t>(in), static_cast<std::uint32_t>(out)};
    return 0;
  });
}

bool LinuxPlatform::PurgeComm(Handle h, std::uint32_t flags) {
  return onPort(h, [&](Port& p) -> std::uint32_t {
    const bool tx = (flags & (kPurgeTxAbort | kPurgeTxClear)) != 0;
    const bool rx = (flags & (kPurgeRxAbort | kPurgeRxClear)) != 0;
    if ((tx || rx) && ioctl(p.fd, TCFLSH, tx && rx ? TCIOFLUSH : (tx ? TCOFLUSH : TCIFLUSH))) {
      return failed(p, errno);
    }
    if (rx) p.inQueue = 0;  // so bytes arriving after the flush still count as new
    return 0;
  });
}

bool LinuxPlatform::WriteFile(Handle h, const void* data, std::uint32_t count,
                              std::uint32_t* written, Overlapped* overlapped) {
  if (overlapped && !isEvent(overlapped->hEvent)) return fail(kErrorInvalidParameter);
  std::uint32_t done = 0;
  const std::shared_ptr<Port> p = port(h);
  const bool ok =
      onPort(h, [&](Port&) { return 0u; }) && (count == 0 || write(*p, data, count, done));
  if (written) *written = done;
  if (overlapped) {
    overlapped->Internal = ok ? 0 : lastError;
    overlapped->InternalHigh = done;
    eventfd_write(static_cast<int>(overlapped->hEvent), 1);
  }
  return ok;
}

}  // namespace tty

std::unique_ptr<Platform> makeLinuxPlatform(std::string devDir, std::string sysDir,
                                            std::string lockDir) {
  return std::make_unique<tty::LinuxPlatform>(std::move(devDir), std::move(sysDir),
                                              std::move(lockDir));
}

Platform& nativePlatform() {
  static const std::unique_ptr<Platform> platform = makeLinuxPlatform();
  return *platform;
}

}  // namespace sys
