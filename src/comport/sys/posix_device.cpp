#include "comport/sys/posix_device.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string>
#include <utility>

// termios2 sets any rate (BOTHER); the kernel's struct termios in
// <asm/termbits.h> clashes with glibc's, so <termios.h> stays out of this file.
#include <asm/termbits.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace sys {

namespace {

using Clock = std::chrono::steady_clock;

// While a wait is armed the lines are sampled this often: TIOCMIWAIT cannot be
// ended by closing the descriptor, and several USB drivers lack it.
constexpr auto kPollInterval = std::chrono::milliseconds(2);
// A write waiting for room in the driver's queue looks for a close this often.
constexpr int kWriteStepMs = 20;

constexpr std::uint32_t kLineEvents = kEvCts | kEvDsr | kEvRlsd | kEvRing;

// DCB flags this backend cannot honour: CTS/DSR output flow control, DSR
// sensitivity, XON/XOFF both ways.
constexpr std::uint32_t kFlowFlags = 0x0004 | 0x0008 | 0x0040 | 0x0100 | 0x0200;

constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
constexpr tcflag_t kParities[] = {0, PARENB | PARODD, PARENB, PARENB | PARODD | CMSPAR,
                                  PARENB | CMSPAR};

tcflag_t speedCode(std::uint32_t rate) {
  static constexpr std::pair<std::uint32_t, tcflag_t> kCodes[] = {
      {50, B50},           {75, B75},           {110, B110},         {134, B134},
      {150, B150},         {200, B200},         {300, B300},         {600, B600},
      {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
      {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
      {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
      {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
      {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
      {3500000, B3500000}, {4000000, B4000000}};
  for (const auto& [value, code] : kCodes) {
    if (value == rate) return code;
  }
  return BOTHER;  // 14400, 56000, 128000, 256000 …: the rate itself goes in c_ospeed
}

std::uint32_t openError(int err) {
  switch (err) {
    case ENOENT:
    case ENOTDIR:
    case EISDIR: return kErrorFileNotFound;
    case EACCES:
    case EPERM:
    case EBUSY: return kErrorAccessDenied;
    default: return kErrorGenFailure;
  }
}

// Pseudo-terminal slaves (Unix98 majors 136 … 143) have no sysfs entry.
constexpr unsigned kPtyFirstMajor = 136;
constexpr unsigned kPtyLastMajor = 143;

// A terminal device, known before anything is opened: a port name must never
// open a file, a FIFO or another kind of device, even for a moment, since
// opening alone can act (a watchdog starts counting, a FIFO's writer wakes).
bool isTerminal(const struct stat& info) {
  if (!S_ISCHR(info.st_mode)) return false;
  const unsigned maj = major(info.st_rdev);
  if (maj >= kPtyFirstMajor && maj <= kPtyLastMajor) return true;
  const std::string subsystem = "/sys/dev/char/" + std::to_string(maj) + ":" +
                                std::to_string(minor(info.st_rdev)) + "/subsystem";
  char target[256];
  const ssize_t length = ::readlink(subsystem.c_str(), target, sizeof target - 1);
  if (length <= 0) return false;
  const std::string link(target, static_cast<std::size_t>(length));
  return link.size() >= 4 && link.compare(link.size() - 4, 4, "/tty") == 0;
}

}  // namespace

std::shared_ptr<PosixDevice> PosixDevice::open(const std::string& path, std::uint32_t& error) {
  struct stat before {};
  if (::stat(path.c_str(), &before) != 0) {
    error = openError(errno);
    return nullptr;
  }
  if (!isTerminal(before)) {
    error = kErrorFileNotFound;
    return nullptr;
  }
  // O_NONBLOCK: without CLOCAL yet, a blocking open would wait for DCD.
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    error = openError(errno);
    return nullptr;
  }
  error = 0;
  struct stat opened {};
  // The name may have been pointed elsewhere between the look and the open.
  if (fstat(fd, &opened) != 0 || opened.st_rdev != before.st_rdev ||
      opened.st_ino != before.st_ino || !isatty(fd)) {
    error = kErrorFileNotFound;
  } else if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    error = kErrorAccessDenied;
  }
  if (error != 0) {
    ::close(fd);
    return nullptr;
  }
  // The lock keeps out programs that lock; TIOCEXCL keeps out the others
  // (except root).
  ioctl(fd, TIOCEXCL);
  return std::make_shared<PosixDevice>(fd);
}

PosixDevice::PosixDevice(int fd) : fd_(fd) {
  readCounts(errorBase_);  // line errors from before the open are not ours
}

PosixDevice::~PosixDevice() {
  close();
}

std::uint32_t PosixDevice::check() const {
  if (closed_) return kErrorInvalidHandle;
  if (gone_) return kErrorBadCommand;
  return 0;
}

std::uint32_t PosixDevice::fail(int err) {
  switch (err) {
    case EIO:
    case ENXIO:
    case ENODEV: gone_ = true; return kErrorBadCommand;  // unplugged or hung up
    case ENOTTY:
    case EINVAL: return kErrorNotSupported;
    default: return kErrorGenFailure;
  }
}

std::uint32_t PosixDevice::setLine(int bit, bool on) {
  return ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &bit) == 0 ? 0 : fail(errno);
}

std::uint32_t PosixDevice::readCounts(Counts& counts) {
  serial_icounter_struct ic{};
  if (ioctl(fd_, TIOCGICOUNT, &ic) != 0) {
    // Drivers without counters (ptys, some USB adapters) report no line errors.
    if (errno != ENOTTY && errno != EINVAL) return fail(errno);
    counts = Counts{};
    return 0;
  }
  counts = Counts{ic.rx, ic.frame, ic.parity, ic.overrun, ic.brk, ic.buf_overrun};
  return 0;
}

std::uint32_t PosixDevice::errorFlags(const Counts& was, const Counts& now) {
  std::uint32_t flags = 0;
  if (now.frame != was.frame) flags |= kCeFrame;
  if (now.parity != was.parity) flags |= kCeRxParity;
  if (now.overrun != was.overrun) flags |= kCeOverrun;
  if (now.brk != was.brk) flags |= kCeBreak;
  if (now.bufOverrun != was.bufOverrun) flags |= kCeRxOver;
  return flags;
}

std::uint32_t PosixDevice::frameBits(const DCB& dcb) {
  return kSizes[dcb.ByteSize - 5] | kParities[dcb.Parity] | (dcb.StopBits != 0 ? CSTOPB : 0);
}

std::uint32_t PosixDevice::setupComm(std::uint32_t inQueue, std::uint32_t outQueue) {
  if (std::uint32_t error = check()) return error;
  // The kernel sizes its own queues; only sizes a driver could take are accepted.
  if (inQueue > 0x7FFFFFFFu || outQueue > 0x7FFFFFFFu) return kErrorInvalidParameter;
  std::lock_guard lock(mutex_);
  inQueueSize_ = inQueue;
  return 0;
}

std::uint32_t PosixDevice::setCommState(const DCB& dcb) {
  const std::uint32_t dtrControl = (dcb.Flags >> 4) & 3;
  const std::uint32_t rtsControl = (dcb.Flags >> 12) & 3;
  if (dcb.DCBlength != sizeof(DCB) || dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > 4 ||
      dcb.StopBits > 2 || dcb.BaudRate == 0) {
    return kErrorInvalidParameter;
  }
  if ((dcb.Flags & kFlowFlags) != 0 || dtrControl > 1 || rtsControl > 1) return kErrorNotSupported;
  std::shared_lock use(fdLock_);
  if (std::uint32_t error = check()) return error;

  termios2 tio{};
  if (ioctl(fd_, TCGETS2, &tio) != 0) return fail(errno);
  // Raw bytes both ways (as cfmakeraw), no flow control of any kind.
  tio.c_iflag &=
      ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | INPCK);
  tio.c_oflag &= ~OPOST;
  tio.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  // CLOCAL: DCD is one of the board's inputs and must never hang up the line.
  // HUPCL off: only the component moves DTR and RTS, also at close.
  tio.c_cflag &= ~(CBAUD | CIBAUD | CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS | HUPCL);
  tio.c_cflag |= CREAD | CLOCAL | frameBits(dcb) | speedCode(dcb.BaudRate);
  if (dcb.Flags & kDcbParity) tio.c_iflag |= INPCK;
  tio.c_ispeed = tio.c_ospeed = dcb.BaudRate;
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  if (ioctl(fd_, TCSETS2, &tio) != 0) return fail(errno);

  // RTS before DTR, so that a rising DTR clocks the new RTS level.
  if (rtsControl <= 1) {
    if (std::uint32_t error = setLine(TIOCM_RTS, rtsControl == 1)) return error;
  }
  if (dtrControl <= 1) {
    if (std::uint32_t error = setLine(TIOCM_DTR, dtrControl == 1)) return error;
  }
  return 0;
}

std::uint32_t PosixDevice::setCommTimeouts(const CommTimeouts& timeouts) {
  if (std::uint32_t error = check()) return error;
  std::lock_guard lock(mutex_);
  timeouts_ = timeouts;
  return 0;
}

std::uint32_t PosixDevice::escape(std::uint32_t function) {
  std::shared_lock use(fdLock_);
  if (std::uint32_t error = check()) return error;
  switch (function) {
    case kSetRts: return setLine(TIOCM_RTS, true);
    case kClrRts: return setLine(TIOCM_RTS, false);
    case kSetDtr: return setLine(TIOCM_DTR, true);
    case kClrDtr: return setLine(TIOCM_DTR, false);
    default: return kErrorInvalidParameter;
  }
}

std::uint32_t PosixDevice::modemStatus(std::uint32_t& status) {
  std::shared_lock use(fdLock_);
  if (std::uint32_t error = check()) return error;
  int bits = 0;
  if (ioctl(fd_, TIOCMGET, &bits) != 0) return fail(errno);
  status = ((bits & TIOCM_CTS) ? kMsCtsOn : 0) | ((bits & TIOCM_DSR) ? kMsDsrOn : 0) |
           ((bits & TIOCM_RNG) ? kMsRingOn : 0) | ((bits & TIOCM_CAR) ? kMsRlsdOn : 0);
  return 0;
}

std::uint32_t PosixDevice::clearError(std::uint32_t& errors, ComStat& stat) {
  std::shared_lock use(fdLock_);
  if (std::uint32_t error = check()) return error;
  int in = 0;
  int out = 0;
  Counts counts;
  if (ioctl(fd_, FIONREAD, &in) != 0 || ioctl(fd_, TIOCOUTQ, &out) != 0) return fail(errno);
  if (std::uint32_t error = readCounts(counts)) return error;
  {
    std::lock_guard lock(mutex_);
    errors = errorFlags(errorBase_, counts);
    errorBase_ = counts;
  }
  stat = ComStat{};
  stat.cbInQue = static_cast<std::uint32_t>(in);
  stat.cbOutQue = static_cast<std::uint32_t>(out);
  return 0;
}

std::uint32_t PosixDevice::purge(std::uint32_t flags) {
  std::shared_lock use(fdLock_);
  if (std::uint32_t error = check()) return error;
  const bool tx = (flags & (kPurgeTxAbort | kPurgeTxClear)) != 0;
  const bool rx = (flags & (kPurgeRxAbort | kPurgeRxClear)) != 0;
  if (!tx && !rx) return 0;
  if (ioctl(fd_, TCFLSH, tx && rx ? TCIOFLUSH : (tx ? TCOFLUSH : TCIFLUSH)) != 0) {
    return fail(errno);
  }
  if (rx) {
    std::lock_guard lock(mutex_);
    last_.inQueue = 0;  // so bytes arriving after the flush still count as new
  }
  return 0;
}

std::uint32_t PosixDevice::write(const std::uint8_t* data, std::uint32_t count,
                                 std::uint32_t& written) {
  written = 0;
  std::shared_lock use(fdLock_);
  if (std::uint32_t error = check()) return error;
  if (count == 0) return 0;
  CommTimeouts t;
  {
    std::lock_guard lock(mutex_);
    t = timeouts_;
  }
  const bool limited = t.WriteTotalTimeoutConstant != 0 || t.WriteTotalTimeoutMultiplier != 0;
  const std::uint64_t limitMs = std::min<std::uint64_t>(
      t.WriteTotalTimeoutConstant + std::uint64_t{t.WriteTotalTimeoutMultiplier} * count,
      0x7FFFFFFF);
  const auto deadline = Clock::now() + std::chrono::milliseconds(limitMs);

  while (written < count) {
    const ssize_t n = ::write(fd_, data + written, count - written);
    if (n > 0) {
      written += static_cast<std::uint32_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) return fail(errno);
    // The driver's queue is full: wait for room, in short steps so that a
    // close is not held up.
    if (closed_) return kErrorOperationAborted;
    int step = kWriteStepMs;
    if (limited) {
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return 0;  // cut short by the write timeout: fewer bytes, no error
      step = static_cast<int>(std::min<long long>(step, left));
    }
    pollfd p{fd_, POLLOUT, 0};
    ::poll(&p, 1, step);
  }
  // The latch byte must be on the wire before the next frame's clock pulses.
  if (ioctl(fd_, TCSBRK, 1) != 0) return fail(errno);
  use.unlock();
  raise(kEvTxEmpty);
  return 0;
}

std::uint32_t PosixDevice::sampleLocked(Snapshot& now) {
  now.modem = 0;
  if ((mask_ & kLineEvents) != 0 && ioctl(fd_, TIOCMGET, &now.modem) != 0) return fail(errno);
  if (ioctl(fd_, FIONREAD, &now.inQueue) != 0) return fail(errno);
  return readCounts(now.counts);
}

std::uint32_t PosixDevice::pollLocked() {
  Snapshot now;
  if (std::uint32_t error = sampleLocked(now)) return error;
  const Snapshot& was = last_;
  const int changed = was.modem ^ now.modem;
  std::uint32_t events = 0;
  if (changed & TIOCM_CTS) events |= kEvCts;
  if (changed & TIOCM_DSR) events |= kEvDsr;
  if (changed & TIOCM_CAR) events |= kEvRlsd;
  if (now.modem & ~was.modem & TIOCM_RNG) events |= kEvRing;
  if (now.inQueue > was.inQueue || now.counts.rx != was.counts.rx) events |= kEvRxChar;
  if (errorFlags(was.counts, now.counts) != 0) events |= kEvErr;
  const std::int64_t full = std::int64_t{inQueueSize_} * 8 / 10;
  if (full > 0 && now.inQueue >= full && was.inQueue < full) events |= kEvRx80Full;
  history_ |= events & mask_;
  last_ = now;
  return 0;
}

void PosixDevice::raise(std::uint32_t events) {
  WaitCompletion done;
  {
    std::lock_guard lock(mutex_);
    history_ |= events & mask_;
    if (!pending_ || history_ == 0) return;
    done = std::exchange(pending_, nullptr);
    events = std::exchange(history_, 0u);
  }
  done(0, events);
}

std::uint32_t PosixDevice::setEventMask(std::uint32_t mask) {
  std::shared_lock use(fdLock_);
  WaitCompletion ended;
  std::uint32_t error = 0;
  {
    std::lock_guard lock(mutex_);
    if ((error = check()) != 0) return error;
    mask_ = mask;
    history_ = 0;
    ended = std::exchange(pending_, nullptr);
    error = sampleLocked(last_);  // a pty asked to watch lines says so here
  }
  use.unlock();
  if (ended) ended(0, 0);
  return error;
}

std::uint32_t PosixDevice::waitEvent(WaitCompletion done) {
  std::shared_lock use(fdLock_);
  std::uint32_t events = 0;
  {
    std::lock_guard lock(mutex_);
    if (std::uint32_t error = check()) return error;
    if (pending_) return kErrorInvalidParameter;
    if (std::uint32_t error = pollLocked()) return error;
    if (history_ == 0) {
      pending_ = std::move(done);
      if (!watcher_.joinable()) {
        watching_ = true;
        watcher_ = std::thread([this] { watch(); });
      }
      wake_.notify_all();
      return 0;
    }
    events = std::exchange(history_, 0u);
  }
  use.unlock();
  done(0, events);
  return 0;
}

// Runs without fdLock_: close() joins this thread before it releases the fd.
void PosixDevice::watch() {
  std::unique_lock lock(mutex_);
  while (!closed_) {
    if (!pending_) {
      if (gone_) break;  // nothing can be armed on a lost device
      wake_.wait(lock);
      continue;
    }
    const std::uint32_t error = gone_ ? kErrorBadCommand : pollLocked();
    if (error == 0 && history_ == 0) {
      wake_.wait_for(lock, kPollInterval);
      continue;
    }
    auto done = std::exchange(pending_, nullptr);
    const std::uint32_t events = error != 0 ? 0 : std::exchange(history_, 0u);
    lock.unlock();
    done(error, events);
    lock.lock();
  }
  watching_ = false;
}

void PosixDevice::close() {
  WaitCompletion ended;
  std::thread watcher;
  {
    std::lock_guard lock(mutex_);
    if (closed_.exchange(true)) return;
    ended = std::exchange(pending_, nullptr);
    watcher = std::move(watcher_);
  }
  wake_.notify_all();
  if (watcher.joinable()) watcher.join();
  if (ended) ended(kErrorOperationAborted, 0);
  std::unique_lock alone(fdLock_);
  ioctl(fd_, TIOCNXCL);  // a pty keeps the flag for as long as its master lives
  ::close(fd_);          // and this drops the flock
}

}  // namespace sys
