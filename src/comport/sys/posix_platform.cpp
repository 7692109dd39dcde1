#include "comport/sys/posix_platform.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <thread>
#include <utility>

// termios2 sets any rate (BOTHER); the kernel's struct termios in
// <asm/termbits.h> clashes with glibc's, so <termios.h> stays out of this file.
#include <asm/termbits.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include "comport/sys/native_platform.h"
#include "comport/sys/status_wait.h"

namespace sys {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

thread_local std::uint32_t lastError = 0;

bool fail(std::uint32_t error) {
  lastError = error;
  return false;
}

// Where a driver cannot wait for a line change, the lines are looked at this
// often (their counters still catch shorter pulses, where the driver keeps them).
constexpr int kSampleMs = 10;
// TIOCMIWAIT wakes only for changes after it began, and the watcher looks just
// before it waits again: a change in between would wait for the next one. So
// a wait on the port looks at the lines once more this long after each wake.
constexpr int kRecheckMs = 2;
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

// ---------------------------------------------------------------- names

// No separators, nothing that starts with a dot, no control characters.
bool isBareName(const std::string& name) {
  return !name.empty() && name[0] != '.' &&
         std::none_of(name.begin(), name.end(), [](unsigned char c) {
           return c < 0x20 || c == 0x7F || c == '/' || c == '\\';
         });
}

// A tty of sysfs's class that a serial driver serves: consoles, virtual
// terminals and ptys have no driver; an 8250-family name without a UART has
// type 0; the kernel's console is never a port of ours.
bool isSerialTty(const std::string& name, const fs::path& sysDir) {
  const fs::path entry = sysDir / "class/tty" / name;
  std::error_code ec;
  if (!isBareName(name) || !fs::is_symlink(entry / "device/driver", ec)) return false;
  std::ifstream type(entry / "type");
  int value = -1;
  if (type >> value && value == 0) return false;
  std::ifstream consoles(sysDir / "class/tty/console/active");
  for (std::string console; consoles >> console;) {
    if (console == name) return false;
  }
  return true;
}

bool isSerialDevice(dev_t device, const fs::path& sysDir) {
  // Pseudo-terminal slaves (Unix98 majors 136 … 143) have no sysfs entry.
  if (major(device) >= 136 && major(device) <= 143) return true;
  std::error_code ec;
  const fs::path node = fs::read_symlink(
      sysDir / "dev/char" / (std::to_string(major(device)) + ":" + std::to_string(minor(device))),
      ec);
  // …/tty/<name>: a device of the tty class.
  return !ec && node.parent_path().filename() == "tty" &&
         isSerialTty(node.filename().string(), sysDir);
}

// The path a port name opens and the device it must be; "" when refused.
std::string checkPort(const std::string& port, const std::string& devDir, const fs::path& sysDir,
                      dev_t& device) {
  std::string name = port.rfind("/dev/", 0) == 0 ? port.substr(5) : port;
  std::string folder;
  for (const char* links : {"serial/by-id/", "serial/by-path/"}) {
    if (name.rfind(links, 0) == 0) folder = links;
  }
  name.erase(0, folder.size());
  std::string path = devDir + "/" + folder + name;
  struct stat info {};
  if (!isBareName(name) || ::stat(path.c_str(), &info) != 0 || !S_ISCHR(info.st_mode) ||
      !isSerialDevice(info.st_rdev, sysDir)) {
    return {};
  }
  device = info.st_rdev;
  return path;
}

// ---------------------------------------------------------------- holders

// The UUCP lock of a device, as minicom and other serial programs keep it:
// LCK..<the device's name> in the lock folder, the holder's pid as ten ASCII
// digits and a newline.
std::string lockPath(const std::string& lockDir, const std::string& devicePath) {
  std::error_code ec;
  const fs::path real = fs::canonical(devicePath, ec);
  return lockDir + "/LCK.." + (ec ? fs::path(devicePath) : real).filename().string();
}

enum class Lock { Taken, Held, None };

// Takes the lock file, after removing a stale one (whose process is gone).
// Where the folder is missing or not writable (the rig's guest, a system
// without /run/lock) there is no lock to take, and the port is not refused
// for that: the holder scan, the flock and TIOCEXCL still apply.
Lock takeLock(const std::string& path) {
  char content[16];
  std::snprintf(content, sizeof content, "%10d\n", static_cast<int>(::getpid()));
  for (int attempt = 0; attempt < 2; ++attempt) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd >= 0) {
      const bool written = ::write(fd, content, 11) == 11;
      ::close(fd);
      if (written) return Lock::Taken;
      ::unlink(path.c_str());
      return Lock::None;
    }
    if (errno != EEXIST) return Lock::None;
    // A file that names no pid may be one being written just now: held.
    std::ifstream in(path);
    long holder = 0;
    if (!(in >> holder) || holder <= 0 || ::kill(static_cast<pid_t>(holder), 0) == 0 ||
        errno != ESRCH) {
      return Lock::Held;
    }
    ::unlink(path.c_str());
  }
  return Lock::Held;
}

// Whether another process has the device open, looked up in /proc without
// opening the device: even an open that is then refused reaches the driver,
// whose open raises DTR and RTS on the holder's board. This finds holders
// that take no lock, and holds for root, whom TIOCEXCL does not stop. Other
// users' processes are hidden from a user who is not root; their TIOCEXCL
// refuses our open before the driver is reached.
bool openElsewhere(dev_t device) {
  const std::string self = std::to_string(::getpid());
  std::error_code ec;
  for (auto it = fs::directory_iterator("/proc", ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    const std::string pid = it->path().filename().string();
    if (pid == self || !std::all_of(pid.begin(), pid.end(), ::isdigit)) continue;
    std::error_code fdEc;
    for (auto fd = fs::directory_iterator(it->path() / "fd", fdEc);
         !fdEc && fd != fs::directory_iterator(); fd.increment(fdEc)) {
      struct stat info {};
      if (::stat(fd->path().c_str(), &info) == 0 && S_ISCHR(info.st_mode) &&
          info.st_rdev == device) {
        return true;
      }
    }
  }
  return false;
}

// ---------------------------------------------------------------- ports

struct Port {
  explicit Port(int descriptor) : fd(descriptor) {}
  ~Port() { ::close(epoll); }

  const int fd;
  std::string lockFile;  // ours to remove at the close; "" when none was taken
  // The descriptor's input, edge-triggered: one wake per arrival, also while
  // earlier bytes sit unread.
  int epoll = epoll_create1(EPOLL_CLOEXEC);
  std::atomic<bool> closed{false};
  std::atomic<bool> gone{false};  // unplugged or hung up
  // Held shared by every call that uses fd; the close takes it alone.
  std::shared_mutex use;

  std::mutex mutex;  // everything below
  StatusWait wait{[](Handle event) { eventfd_write(static_cast<int>(event), 1); }};
  bool counters = true;    // the driver keeps TIOCGICOUNT
  bool modemLines = true;  // and has modem lines (a pty has neither)
  serial_icounter_struct seen{};
  int lines = 0;                       // TIOCM_* levels at the last look, where looked at
  int inQueue = 0;                     // bytes waiting at the last look
  serial_icounter_struct errorBase{};  // at the last ClearCommError
  std::uint32_t inQueueSize = 0;
  CommTimeouts timeouts{};
  std::thread watcher;  // of the modem lines, while the mask has any
  bool stopping = false;
  bool watcherDone = false;
  bool recheck = false;
  bool rearm = false;  // the line settings changed under a watcher that waits
  std::condition_variable watcherEnded;
  std::chrono::nanoseconds byteTime{0};  // one byte on the line at the set rate
  std::atomic<bool> emptyBit{true};      // TIOCSERGETLSR tells when the bytes are out
};

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

// Reads the counters (and the line levels and the input queue where asked)
// and adds the events of what changed since the last look.
std::uint32_t look(Port& p, bool levels, bool queue) {
  serial_icounter_struct now = p.seen;
  int lines = p.lines;
  int inQueue = p.inQueue;
  if (p.counters && ioctl(p.fd, TIOCGICOUNT, &now) != 0) {
    if (errno != ENOTTY && errno != EINVAL) return failed(p, errno);
    p.counters = false;
  }
  if ((levels || !p.counters) && p.modemLines && ioctl(p.fd, TIOCMGET, &lines) != 0) {
    if (errno != ENOTTY && errno != EINVAL) return failed(p, errno);
    p.modemLines = false;
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

class PosixPlatform final : public Platform {
 public:
  PosixPlatform(std::string devDir, fs::path sysDir, std::string lockDir)
      : devDir_(std::move(devDir)), sysDir_(std::move(sysDir)), lockDir_(std::move(lockDir)) {}
  ~PosixPlatform() override {
    while (!ports_.empty()) CloseHandle(static_cast<Handle>(ports_.begin()->first));
    for (const auto& [fd, manual] : events_) ::close(fd);
  }

  Handle CreateFileA(const std::string& name, std::uint32_t, std::uint32_t, std::uint32_t,
                     std::uint32_t) override {
    dev_t device = 0;
    const std::string path =
        name.rfind("\\\\.\\", 0) == 0 ? checkPort(name.substr(4), devDir_, sysDir_, device) : "";
    // A refused name is never opened, not even for a moment: opening alone can
    // act (a serial driver raises DTR and RTS, a FIFO's writer wakes).
    if (path.empty()) return fail(kErrorFileNotFound), kInvalidHandle;
    // Nor is a port another program holds: its lock file, or its descriptor.
    const std::string lockFile = lockPath(lockDir_, path);
    const Lock taken = takeLock(lockFile);
    if (taken == Lock::Held) return fail(kErrorAccessDenied), kInvalidHandle;
    const auto release = [&] {
      if (taken == Lock::Taken) ::unlink(lockFile.c_str());
    };
    if (openElsewhere(device)) return release(), fail(kErrorAccessDenied), kInvalidHandle;
    // O_NONBLOCK: without CLOCAL yet, a blocking open would wait for DCD.
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      const int err = errno;
      release();
      // EBUSY: another program holds it exclusively (TIOCEXCL).
      fail(err == EACCES || err == EPERM                    ? kErrorPrivilegeNotHeld
           : err == EBUSY                                   ? kErrorAccessDenied
           : err == ENOENT || err == ENXIO || err == ENODEV ? kErrorFileNotFound
                                                            : kErrorGenFailure);
      return kInvalidHandle;
    }
    auto p = std::make_shared<Port>(fd);
    struct stat opened {};
    epoll_event input{};
    input.events = EPOLLIN | EPOLLET;
    std::uint32_t error = 0;
    // The name may have been pointed elsewhere between the look and the open.
    if (fstat(fd, &opened) != 0 || opened.st_rdev != device || !isatty(fd)) {
      error = kErrorFileNotFound;
    } else if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      error = kErrorAccessDenied;
    } else if (epoll_ctl(p->epoll, EPOLL_CTL_ADD, fd, &input) != 0) {
      error = kErrorGenFailure;
    }
    if (error != 0) {
      ::close(fd);
      release();
      return fail(error), kInvalidHandle;
    }
    if (taken == Lock::Taken) p->lockFile = lockFile;
    // The lock keeps out programs that lock; TIOCEXCL the others (root excepted).
    ioctl(fd, TIOCEXCL);
    p->counters = ioctl(fd, TIOCGICOUNT, &p->errorBase) == 0;  // errors before ours are not
    p->seen = p->errorBase;
    std::lock_guard lock(mutex_);
    ports_[fd] = std::move(p);
    return static_cast<Handle>(fd);
  }

  std::uint32_t GetLastError() override { return lastError; }

  bool CloseHandle(Handle h) override {
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

  bool SetupComm(Handle h, std::uint32_t inQueue, std::uint32_t outQueue) override {
    return onPort(h, [&](Port& p) -> std::uint32_t {
      // The kernel sizes its own queues; only sizes a driver could take are accepted.
      if (inQueue > 0x7FFFFFFFu || outQueue > 0x7FFFFFFFu) return kErrorInvalidParameter;
      p.inQueueSize = inQueue;
      return 0;
    });
  }

  bool SetCommState(Handle h, const DCB& dcb) override {
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
      tio.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                       IXANY | INPCK);
      tio.c_oflag &= ~OPOST;
      tio.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
      // CLOCAL: DCD is one of the board's inputs and must never hang up the line.
      // HUPCL off: only the component moves DTR and RTS, also at close.
      tio.c_cflag &=
          ~(CBAUD | CIBAUD | CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS | HUPCL);
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

  bool SetCommTimeouts(Handle h, const CommTimeouts& timeouts) override {
    return onPort(h, [&](Port& p) {
      p.timeouts = timeouts;
      return 0u;
    });
  }

  bool SetCommMask(Handle h, std::uint32_t mask) override {
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

  bool WaitCommEvent(Handle h, std::uint32_t* mask, Overlapped* overlapped) override {
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

  bool GetOverlappedResult(Handle h, Overlapped* overlapped, std::uint32_t* transferred,
                           bool wait) override {
    if (!overlapped) return fail(kErrorInvalidParameter);
    if (wait) WaitForSingleObject(overlapped->hEvent, kInfinite);
    // Like Win32, only the record is examined; the port's lock orders the
    // look after the completion.
    if (const auto p = port(h)) std::lock_guard lock(p->mutex);
    const std::uint32_t error = overlappedResult(*overlapped, transferred);
    return error == 0 || fail(error);
  }

  bool EscapeCommFunction(Handle h, std::uint32_t function) override {
    return onPort(h, [&](Port& p) -> std::uint32_t {
      if (function < kSetRts || function > kClrDtr) return kErrorInvalidParameter;
      int bit = function <= kClrRts ? TIOCM_RTS : TIOCM_DTR;
      const bool on = function == kSetRts || function == kSetDtr;
      return ioctl(p.fd, on ? TIOCMBIS : TIOCMBIC, &bit) == 0 ? 0 : failed(p, errno);
    });
  }

  bool GetCommModemStatus(Handle h, std::uint32_t* status) override {
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

  bool ClearCommError(Handle h, std::uint32_t* errors, ComStat* stat) override {
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

  bool PurgeComm(Handle h, std::uint32_t flags) override {
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

  bool WriteFile(Handle h, const void* data, std::uint32_t count, std::uint32_t* written,
                 Overlapped* overlapped) override {
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

  Handle CreateEventA(bool manualReset, bool initialState) override {
    const int fd = eventfd(initialState ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) return fail(kErrorGenFailure), 0;  // as Win32: NULL
    std::lock_guard lock(mutex_);
    events_[fd] = manualReset;
    return static_cast<Handle>(fd);
  }

  bool SetEvent(Handle h) override {
    return isEvent(h) ? eventfd_write(static_cast<int>(h), 1) == 0 : fail(kErrorInvalidHandle);
  }

  bool ResetEvent(Handle h) override {
    eventfd_t ignored;
    return isEvent(h) ? (eventfd_read(static_cast<int>(h), &ignored), true)
                      : fail(kErrorInvalidHandle);
  }

  std::uint32_t WaitForSingleObject(Handle h, std::uint32_t milliseconds) override {
    return WaitForMultipleObjects(1, &h, false, milliseconds);
  }

  std::uint32_t WaitForMultipleObjects(std::uint32_t count, const Handle* handles, bool waitAll,
                                       std::uint32_t milliseconds) override {
    if (count == 0 || !handles || waitAll) return fail(kErrorInvalidParameter), kWaitFailed;
    const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
      std::vector<pollfd> fds;
      std::vector<bool> manual;
      // Ports whose status wait ends on one of these events: their input is
      // looked at here, as it arrives.
      std::vector<std::shared_ptr<Port>> inputs;
      bool recheck = false;
      {
        std::lock_guard lock(mutex_);
        for (std::uint32_t i = 0; i < count; ++i) {
          if (!isEventLocked(handles[i])) return fail(kErrorInvalidHandle), kWaitFailed;
          fds.push_back({static_cast<int>(handles[i]), POLLIN, 0});
          manual.push_back(events_[static_cast<int>(handles[i])]);
        }
        for (const auto& [fd, p] : ports_) {
          std::lock_guard portLock(p->mutex);
          const Overlapped* wait = p->wait.pending();
          if (wait && std::find(handles, handles + count, wait->hEvent) != handles + count) {
            fds.push_back({p->epoll, POLLIN, 0});
            inputs.push_back(p);
            recheck = recheck || p->recheck;
          }
        }
      }
      int timeout = -1;
      if (milliseconds != kInfinite) {
        timeout = static_cast<int>(std::max<long long>(
            0, std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count()));
      }
      const bool early = recheck && (timeout < 0 || timeout > kRecheckMs);
      const int ready = ::poll(fds.data(), fds.size(), early ? kRecheckMs : timeout);
      if (ready < 0 && errno != EINTR) return fail(kErrorGenFailure), kWaitFailed;
      eventfd_t value;
      for (std::uint32_t i = 0; ready > 0 && i < count; ++i) {
        // An automatic event is taken by the one wait that reads it.
        if ((fds[i].revents & POLLIN) && (manual[i] || eventfd_read(fds[i].fd, &value) == 0)) {
          return kWaitObject0 + i;
        }
      }
      for (std::size_t j = 0; j < inputs.size(); ++j) {
        epoll_event taken[4];
        if (fds[count + j].revents != 0) epoll_wait(inputs[j]->epoll, taken, 4, 0);
        if (fds[count + j].revents != 0 || (ready == 0 && early)) {
          lookAgain(*inputs[j], fds[count + j].revents != 0);
        }
      }
      if (ready == 0 && !early && timeout >= 0) return kWaitTimeout;
    }
  }

  void Sleep(std::uint32_t milliseconds) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  }

  bool listPorts(std::vector<std::string>& names) override {
    std::error_code ec;
    names.clear();
    for (auto it = fs::directory_iterator(sysDir_ / "class/tty", ec);
         !ec && it != fs::directory_iterator(); it.increment(ec)) {
      const std::string name = it->path().filename().string();
      if (isSerialTty(name, sysDir_)) names.push_back(name);
    }
    return !ec;
  }

 private:
  std::shared_ptr<Port> port(Handle h) {
    std::lock_guard lock(mutex_);
    auto it = ports_.find(static_cast<int>(h));
    return it != ports_.end() && h == static_cast<Handle>(it->first) ? it->second : nullptr;
  }
  bool isEventLocked(Handle h) const {
    return h <= 0x7FFFFFFF && events_.count(static_cast<int>(h)) != 0;
  }
  bool isEvent(Handle h) {
    std::lock_guard lock(mutex_);
    return isEventLocked(h);
  }

  // Runs `call` on the open port of `h`, with its descriptor held open and
  // its state locked; the call gives 0 or a Win32 error code.
  template <typename Call>
  bool onPort(Handle h, Call&& call) {
    const std::shared_ptr<Port> p = port(h);
    if (!p) return fail(kErrorInvalidHandle);
    std::shared_lock use(p->use);
    std::lock_guard lock(p->mutex);
    const std::uint32_t error = p->closed ? kErrorInvalidHandle
                                : p->gone ? kErrorBadCommand
                                          : call(*p);
    return error == 0 || fail(error);
  }

  // Writes all `count` bytes, or as many as the write timeout lets through.
  static bool write(Port& p, const void* data, std::uint32_t count, std::uint32_t& done) {
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
      ::poll(&room, 1,
             limited ? static_cast<int>(std::min<long long>(kWriteStepMs, left.count()))
                     : kWriteStepMs);
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

  // Waits until the bytes just written have left the UART, taking
  // `bytesTime` on the line: no longer than that where the driver's
  // transmitter-empty bit tells (an 8250's tcdrain sleeps a jiffy or more per
  // look, so a frame would take 4 ms at HZ 250 for a byte of 1.04 ms), and
  // never past `deadline` when `limited`, nor a close. 0, kTimedOut or the error.
  static std::uint32_t drain(Port& p, std::chrono::nanoseconds bytesTime, bool limited,
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

  // tcdrain, ended by a signal at `deadline` when `limited`.
  static std::uint32_t drainWithin(Port& p, bool limited, Clock::time_point deadline) {
    timer_t timer{};
    bool armed = false;
    if (limited) {
      sigevent event{};
      event.sigev_notify = SIGEV_THREAD_ID;
      event.sigev_signo = wakeSignal();
      event._sigev_un._tid = ::gettid();
      const auto left =
          std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now());
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
  static bool late(bool limited, Clock::time_point deadline) {
    return limited && Clock::now() >= deadline;
  }

  const std::string devDir_;
  const fs::path sysDir_;
  const std::string lockDir_;
  std::mutex mutex_;
  std::map<int, std::shared_ptr<Port>> ports_;
  std::map<int, bool> events_;  // eventfd -> manual reset
};

}  // namespace

std::unique_ptr<Platform> makePosixPlatform(std::string devDir, std::string sysDir,
                                            std::string lockDir) {
  return std::make_unique<PosixPlatform>(std::move(devDir), std::move(sysDir), std::move(lockDir));
}

std::string serialDevicePath(const std::string& port, const std::string& devDir,
                             const std::string& sysDir) {
  dev_t device = 0;
  return checkPort(port, devDir, sysDir, device);
}

Platform& nativePlatform() {
  static const std::unique_ptr<Platform> platform = makePosixPlatform();
  return *platform;
}

}  // namespace sys
