// The Linux tty backend, without serial hardware: ports are pseudo-terminals
// linked into a temporary device directory, and sysfs is a fake tree.
#include "comport/sys/posix_device.h"

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// The kernel's termios2 shows BOTHER rates; <termios.h> would clash with it.
#include <asm/termbits.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "comport/list_serial_ports.h"
#include "comport/serial_port.h"
#include "comport/sys/emulated_platform.h"
#include "comport/sys/posix_ports.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using comport::EComPort;
using comport::TSerialPort;
using sys::PosixDevice;
using ::testing::ElementsAre;
using ::testing::Pair;
using ::testing::UnorderedElementsAre;

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "rilvet-posix-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// A pseudo-terminal pair; the device under test opens the slave, the test
// plays the far end on the master. Termios ioctls on the master act on the
// slave's settings.
class Pty {
 public:
  Pty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128] = {};
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0 ||
        ptsname_r(master_, name, sizeof name) != 0) {
      throw std::runtime_error("no pseudo-terminal");
    }
    slave_ = name;
  }
  ~Pty() { hangUp(); }
  void hangUp() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
  }
  const std::string& slave() const { return slave_; }

  termios2 slaveTermios() const {
    termios2 t{};
    EXPECT_EQ(ioctl(master_, TCGETS2, &t), 0);
    return t;
  }
  void setSlaveTermios(const termios2& t) { ASSERT_EQ(ioctl(master_, TCSETS2, &t), 0); }

  void send(const std::string& bytes) {
    ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  // What the slave sent, up to `count` bytes or as far as it arrives in time.
  std::string receive(std::size_t count, std::chrono::milliseconds wait = 5s) {
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      char buf[256];
      const ssize_t n = ::read(master_, buf, std::min(sizeof buf, count - got.size()));
      if (n > 0) got.append(buf, static_cast<std::size_t>(n));
    }
    return got;
  }

 private:
  int master_ = -1;
  std::string slave_;
};

// Records the completion of one wait.
class Completion {
 public:
  sys::Device::WaitCompletion callback() {
    return [this](std::uint32_t error, std::uint32_t events) {
      std::lock_guard lock(mutex_);
      ++calls_;
      error_ = error;
      events_ = events;
      done_.notify_all();
    };
  }
  bool waitFor(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    return done_.wait_for(lock, limit, [this] { return calls_ > 0; });
  }
  int calls() {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  std::uint32_t error() {
    std::lock_guard lock(mutex_);
    return error_;
  }
  std::uint32_t events() {
    std::lock_guard lock(mutex_);
    return events_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable done_;
  int calls_ = 0;
  std::uint32_t error_ = 0;
  std::uint32_t events_ = 0;
};

bool eventually(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

sys::DCB lineDcb(std::uint32_t rate, std::uint8_t byteSize = 8, std::uint8_t parity = 0,
                 std::uint8_t stopBits = 0) {
  sys::DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  dcb.BaudRate = rate;
  dcb.Flags = sys::kDcbBinary | sys::kDcbDtrControlEnable | sys::kDcbRtsControlEnable |
              (parity != 0 ? sys::kDcbParity : 0);
  dcb.ByteSize = byteSize;
  dcb.Parity = parity;
  dcb.StopBits = stopBits;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  return dcb;
}

void expectThrows(const std::function<void()>& f, const std::string& message) {
  try {
    f();
    ADD_FAILURE() << "expected EComPort \"" << message << "\"";
  } catch (const EComPort& e) {
    EXPECT_EQ(e.what(), message);
  }
}

class PosixDeviceTest : public ::testing::Test {
 protected:
  PosixDeviceTest() {
    fs::create_directory(devDir());
    fs::create_directory(sysDir());
    fs::create_symlink(pty.slave(), devDir() / "ttyPTY0");
    sys::addPosixDevices(platform, devDir().string(), sysDir().string());
  }

  fs::path devDir() const { return temp.path() / "dev"; }
  fs::path sysDir() const { return temp.path() / "sys"; }

  std::shared_ptr<PosixDevice> openPty() {
    std::uint32_t error = 99;
    auto device = PosixDevice::open((devDir() / "ttyPTY0").string(), error);
    EXPECT_EQ(error, 0u);
    EXPECT_NE(device, nullptr);
    return device;
  }

  // Opens the port through the platform; returns the error, 0 when it opened
  // (and then closes it again).
  std::uint32_t openError(const std::string& port) {
    const sys::Handle h =
        platform.CreateFileA("\\\\.\\" + port, sys::kGenericRead | sys::kGenericWrite, 0,
                             sys::kOpenExisting, sys::kFileFlagOverlapped);
    if (h == sys::kInvalidHandle) return platform.GetLastError();
    platform.CloseHandle(h);
    return 0;
  }

  std::uint32_t inQueue(PosixDevice& device) {
    std::uint32_t errors = 0;
    sys::ComStat stat{};
    EXPECT_EQ(device.clearError(errors, stat), 0u);
    return stat.cbInQue;
  }

  TempDir temp;
  Pty pty;
  sys::EmulatedPlatform platform;
};

// ---------------------------------------------------------------- opening

TEST_F(PosixDeviceTest, NamesThatCouldLeaveTheDeviceDirectoryAreMissingPorts) {
  // Each refused name would reach the same working pty if it were followed.
  fs::create_symlink(pty.slave(), temp.path() / "outside");
  fs::create_directory(devDir() / "sub");
  fs::create_symlink(pty.slave(), devDir() / "sub" / "tty");
  fs::create_symlink(pty.slave(), devDir() / "sub\\tty");
  fs::create_symlink(pty.slave(), devDir() / ".hidden");
  fs::create_symlink(pty.slave(), devDir() / "tty\x01");
  std::ofstream(devDir() / "plain") << "not a tty";

  ASSERT_EQ(openError("ttyPTY0"), 0u);  // the name maps to devDir/ttyPTY0
  for (const std::string name : {"../outside", "sub/tty", "sub\\tty", ".hidden", "tty\x01", "", ".",
                                 "..", "../etc/passwd", "a/b", "plain", "sub", "ttyNONE"}) {
    SCOPED_TRACE("port name \"" + name + "\"");
    EXPECT_EQ(openError(name), sys::kErrorFileNotFound);
    TSerialPort port(platform);
    port.SetPort(name);
    expectThrows([&] { port.OpenPort(); }, comport::msg::kNoSuchPort);
    EXPECT_FALSE(port.IsOpen());
  }
  EXPECT_EQ(platform.openDevices(), 0);
}

TEST_F(PosixDeviceTest, APortHeldByAnotherDeviceIsBusyUntilItIsClosed) {
  const sys::Handle held =
      platform.CreateFileA("\\\\.\\ttyPTY0", sys::kGenericRead | sys::kGenericWrite, 0,
                           sys::kOpenExisting, sys::kFileFlagOverlapped);
  ASSERT_NE(held, sys::kInvalidHandle);
  EXPECT_EQ(openError("ttyPTY0"), sys::kErrorAccessDenied);
  TSerialPort port(platform);
  port.SetPort("ttyPTY0");
  expectThrows([&] { port.OpenPort(); }, comport::msg::kPortBusy);
  EXPECT_FALSE(port.IsOpen());

  // Programs that do not lock are kept out by the tty itself (root excepted).
  auto exclusive = [&] {
    const int fd = ::open(pty.slave().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno == EBUSY;
    int flag = 0;
    EXPECT_EQ(ioctl(fd, TIOCGEXCL, &flag), 0);
    ::close(fd);
    return flag != 0;
  };
  EXPECT_TRUE(exclusive());

  ASSERT_TRUE(platform.CloseHandle(held));
  EXPECT_FALSE(exclusive());
  EXPECT_EQ(openError("ttyPTY0"), 0u);
}

TEST_F(PosixDeviceTest, OpeningAPtyThroughTheComponentFailsAtTheLineSetUp) {
  TSerialPort port(platform);
  port.SetPort("ttyPTY0");
  expectThrows([&] { port.OpenPort(); }, comport::msg::kSetCommState);
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(platform.openDevices(), 0);
  EXPECT_EQ(openError("ttyPTY0"), 0u);  // the failed open let go of the port
}

// ---------------------------------------------------------------- line set-up

TEST_F(PosixDeviceTest, LineSetUpIsAppliedRawBeforeTheMissingModemLinesAreReported) {
  // Start from the opposite of every setting the device must make. (A pty
  // keeps CS8 and CREAD and drops PARENB whatever it is told.)
  termios2 cooked = pty.slaveTermios();
  cooked.c_cflag =
      (cooked.c_cflag & ~(CBAUD | CLOCAL)) | B115200 | HUPCL | CRTSCTS | PARODD | CMSPAR | CSTOPB;
  cooked.c_iflag |= IXON | IXOFF | IXANY | ICRNL | INPCK;
  cooked.c_oflag |= OPOST;
  cooked.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
  cooked.c_cc[VMIN] = 1;
  cooked.c_cc[VTIME] = 5;
  pty.setSlaveTermios(cooked);
  ASSERT_EQ(pty.slaveTermios().c_cflag, cooked.c_cflag);

  auto device = openPty();
  EXPECT_EQ(device->setCommState(lineDcb(9600)), sys::kErrorNotSupported);

  const termios2 t = pty.slaveTermios();
  EXPECT_EQ(t.c_cflag & CBAUD, static_cast<tcflag_t>(B9600));
  EXPECT_EQ(t.c_ospeed, 9600u);
  EXPECT_EQ(t.c_cflag & (PARODD | CMSPAR | CSTOPB), 0u);
  EXPECT_NE(t.c_cflag & CLOCAL, 0u);
  EXPECT_EQ(t.c_cflag & (HUPCL | CRTSCTS), 0u);
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INPCK), 0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
  EXPECT_EQ(t.c_cc[VMIN], 0);
  EXPECT_EQ(t.c_cc[VTIME], 0);
}

TEST_F(PosixDeviceTest, FrameSettingsMapToTheirTermiosBits) {
  struct Case {
    std::uint32_t rate;
    std::uint8_t byteSize, parity, stopBits;
    tcflag_t frame;  // CSIZE, parity and stop bits
    tcflag_t code;
  };
  const Case cases[] = {
      {115200, 8, 0, 0, CS8, B115200},
      {110, 7, 2, 2, CS7 | PARENB | CSTOPB, B110},
      {300, 5, 1, 1, CS5 | PARENB | PARODD | CSTOPB, B300},
      {2400, 6, 3, 0, CS6 | PARENB | PARODD | CMSPAR, B2400},
      {57600, 8, 4, 0, CS8 | PARENB | CMSPAR, B57600},
      {14400, 8, 0, 0, CS8, BOTHER},
      {56000, 8, 0, 0, CS8, BOTHER},
      {128000, 8, 0, 0, CS8, BOTHER},
      {256000, 8, 0, 0, CS8, BOTHER},
  };
  auto device = openPty();
  for (const Case& c : cases) {
    SCOPED_TRACE("rate " + std::to_string(c.rate));
    const termios2 before = pty.slaveTermios();
    // The pty has no modem lines, so the last step always fails.
    EXPECT_EQ(device->setCommState(lineDcb(c.rate, c.byteSize, c.parity, c.stopBits)),
              sys::kErrorNotSupported);
    const termios2 t = pty.slaveTermios();
    if (c.code == BOTHER && (t.c_cflag & CBAUD) != BOTHER) {
      // A kernel that refuses the rate on a pty leaves everything as it was.
      EXPECT_EQ(t.c_cflag, before.c_cflag);
      continue;
    }
    EXPECT_EQ(t.c_cflag & CBAUD, c.code);
    EXPECT_EQ(t.c_ospeed, c.rate);
    EXPECT_EQ(t.c_ispeed, c.rate);
    EXPECT_EQ(PosixDevice::frameBits(lineDcb(c.rate, c.byteSize, c.parity, c.stopBits)), c.frame);
    // A pty always keeps CS8 without PARENB; the rest of the frame it keeps as set.
    EXPECT_EQ(t.c_cflag & (PARODD | CMSPAR | CSTOPB), c.frame & (PARODD | CMSPAR | CSTOPB));
    EXPECT_EQ((t.c_iflag & INPCK) != 0, c.parity != 0);
  }
}

TEST_F(PosixDeviceTest, BadOrUnsupportedSettingsChangeNothing) {
  auto device = openPty();
  ASSERT_EQ(device->setCommState(lineDcb(9600)), sys::kErrorNotSupported);
  const termios2 before = pty.slaveTermios();

  std::vector<sys::DCB> invalid(6, lineDcb(19200));
  invalid[0].ByteSize = 4;
  invalid[1].ByteSize = 9;
  invalid[2].Parity = 5;
  invalid[3].StopBits = 3;
  invalid[4].BaudRate = 0;
  invalid[5].DCBlength = 27;
  for (const sys::DCB& dcb : invalid) {
    EXPECT_EQ(device->setCommState(dcb), sys::kErrorInvalidParameter);
  }
  std::vector<sys::DCB> unsupported(5, lineDcb(19200));
  unsupported[0].Flags |= 0x0004;  // CTS output flow control
  unsupported[1].Flags |= 0x0100;  // XON/XOFF output
  unsupported[2].Flags |= 0x0200;  // XON/XOFF input
  unsupported[3].Flags = 0x1021;   // DTR handshake
  unsupported[4].Flags = 0x3011;   // RTS toggle
  for (const sys::DCB& dcb : unsupported) {
    EXPECT_EQ(device->setCommState(dcb), sys::kErrorNotSupported);
  }
  const termios2 after = pty.slaveTermios();
  EXPECT_EQ(after.c_cflag, before.c_cflag);
  EXPECT_EQ(after.c_ospeed, 9600u);
  EXPECT_EQ(device->setupComm(0xFFFFFFFDu, 2048), sys::kErrorInvalidParameter);
  EXPECT_EQ(device->setupComm(2048, 2048), 0u);
}

TEST_F(PosixDeviceTest, ModemLinesOfAPtyAreReportedMissingNeverAsDone) {
  auto device = openPty();
  for (std::uint32_t f : {sys::kSetRts, sys::kClrRts, sys::kSetDtr, sys::kClrDtr}) {
    EXPECT_EQ(device->escape(f), sys::kErrorNotSupported) << "escape " << f;
  }
  EXPECT_EQ(device->escape(7), sys::kErrorInvalidParameter);
  std::uint32_t status = 0xAA;
  EXPECT_EQ(device->modemStatus(status), sys::kErrorNotSupported);

  Completion wait;
  EXPECT_EQ(device->setEventMask(sys::kEvCts | sys::kEvRxChar), sys::kErrorNotSupported);
  EXPECT_EQ(device->waitEvent(wait.callback()), sys::kErrorNotSupported);
  EXPECT_EQ(wait.calls(), 0);
  EXPECT_FALSE(device->watching());
}

// ---------------------------------------------------------------- transfers

TEST_F(PosixDeviceTest, WrittenBytesReachTheFarEndUnchanged) {
  auto device = openPty();
  device->setCommState(lineDcb(9600));
  std::uint32_t written = 0;
  const std::uint8_t latch = 0x01;
  EXPECT_EQ(device->write(&latch, 1, written), 0u);
  EXPECT_EQ(written, 1u);
  EXPECT_EQ(pty.receive(1), "\x01");

  // Raw output: a line feed is not turned into CR LF.
  const std::uint8_t bytes[] = {'\n', 0xFF, 0x00};
  EXPECT_EQ(device->write(bytes, 3, written), 0u);
  EXPECT_EQ(written, 3u);
  EXPECT_EQ(pty.receive(3), std::string("\n\xFF\0", 3));
  EXPECT_EQ(pty.receive(1, 100ms), "");

  EXPECT_EQ(device->write(bytes, 0, written), 0u);
  EXPECT_EQ(written, 0u);
}

TEST_F(PosixDeviceTest, ReceivedBytesAreCountedAndPurged) {
  auto device = openPty();
  device->setCommState(lineDcb(9600));
  EXPECT_EQ(inQueue(*device), 0u);
  pty.send("hello");
  EXPECT_TRUE(eventually([&] { return inQueue(*device) == 5; }));

  std::uint32_t errors = 0xFFFF;
  sys::ComStat stat{};
  ASSERT_EQ(device->clearError(errors, stat), 0u);
  EXPECT_EQ(errors, 0u);  // a pty counts no line errors
  EXPECT_EQ(stat.cbInQue, 5u);
  EXPECT_EQ(stat.cbOutQue, 0u);

  EXPECT_EQ(device->purge(sys::kPurgeTxClear), 0u);
  EXPECT_EQ(inQueue(*device), 5u);  // output only
  EXPECT_EQ(device->purge(sys::kPurgeRxClear), 0u);
  EXPECT_EQ(inQueue(*device), 0u);
  pty.send("ab");
  EXPECT_TRUE(eventually([&] { return inQueue(*device) == 2; }));
  EXPECT_EQ(device->purge(sys::kPurgeTxAbort | sys::kPurgeRxAbort), 0u);
  EXPECT_EQ(inQueue(*device), 0u);
}

TEST_F(PosixDeviceTest, AWriteThatCannotFinishIsCutShortByItsTimeout) {
  auto device = openPty();
  device->setCommState(lineDcb(9600));
  // 50 ms in all; the far end reads nothing, so the pty's queue fills up.
  ASSERT_EQ(device->setCommTimeouts({0xFFFFFFFFu, 0, 0, 0, 50}), 0u);
  const std::vector<std::uint8_t> big(1 << 20, 0x55);
  std::uint32_t written = 0;
  EXPECT_EQ(device->write(big.data(), static_cast<std::uint32_t>(big.size()), written), 0u);
  EXPECT_GT(written, 0u);
  EXPECT_LT(written, big.size());
}

// ---------------------------------------------------------------- events

TEST_F(PosixDeviceTest, WaitsThroughThePlatformReportEachEventOfTheMask) {
  const sys::Handle h =
      platform.CreateFileA("\\\\.\\ttyPTY0", sys::kGenericRead | sys::kGenericWrite, 0,
                           sys::kOpenExisting, sys::kFileFlagOverlapped);
  ASSERT_NE(h, sys::kInvalidHandle);
  EXPECT_FALSE(platform.SetCommState(h, lineDcb(9600)));
  EXPECT_EQ(platform.GetLastError(), sys::kErrorNotSupported);
  ASSERT_TRUE(platform.SetCommMask(h, sys::kEvRxChar | sys::kEvTxEmpty | sys::kEvErr));

  sys::Overlapped ov{};
  ov.hEvent = platform.CreateEventA(true, false);
  std::uint32_t mask = 0;
  std::uint32_t transferred = 0;
  auto completed = [&] {
    return platform.WaitForSingleObject(ov.hEvent, 5000) == sys::kWaitObject0 &&
           platform.GetOverlappedResult(h, &ov, &transferred, false);
  };

  // Bytes from the far end.
  EXPECT_FALSE(platform.WaitCommEvent(h, &mask, &ov));
  EXPECT_EQ(platform.GetLastError(), sys::kErrorIoPending);
  pty.send("A");
  ASSERT_TRUE(completed());
  EXPECT_EQ(mask, sys::kEvRxChar);

  // Nothing new: the next wait stays pending until our own write has left.
  EXPECT_FALSE(platform.WaitCommEvent(h, &mask, &ov));
  EXPECT_EQ(platform.GetLastError(), sys::kErrorIoPending);
  std::uint32_t written = 0;
  ASSERT_TRUE(platform.WriteFile(h, "\x01", 1, &written, nullptr));
  ASSERT_TRUE(completed());
  EXPECT_EQ(mask, sys::kEvTxEmpty);

  // Bytes that came between two waits are remembered: the wait ends at once.
  pty.send("B");
  EXPECT_TRUE(eventually([&] {
    sys::ComStat stat{};
    std::uint32_t errors = 0;
    return platform.ClearCommError(h, &errors, &stat) && stat.cbInQue == 2;
  }));
  EXPECT_TRUE(platform.WaitCommEvent(h, &mask, &ov));
  EXPECT_EQ(mask, sys::kEvRxChar);

  // 80 % of the input queue given to SetupComm is reported once, when reached.
  ASSERT_TRUE(platform.SetupComm(h, 10, 10));
  ASSERT_TRUE(platform.SetCommMask(h, sys::kEvRxChar | sys::kEvRx80Full));
  EXPECT_FALSE(platform.WaitCommEvent(h, &mask, &ov));
  pty.send("345678");  // 8 of 10
  ASSERT_TRUE(completed());
  EXPECT_EQ(mask, sys::kEvRxChar | sys::kEvRx80Full);
  EXPECT_FALSE(platform.WaitCommEvent(h, &mask, &ov));
  pty.send("9");
  ASSERT_TRUE(completed());
  EXPECT_EQ(mask, sys::kEvRxChar);

  EXPECT_TRUE(platform.CloseHandle(h));
  EXPECT_TRUE(platform.CloseHandle(ov.hEvent));
}

TEST_F(PosixDeviceTest, BytesAfterAPurgeAreNewEvenWhenFewer) {
  Completion first;
  Completion second;
  auto device = openPty();
  device->setCommState(lineDcb(9600));
  ASSERT_EQ(device->setEventMask(sys::kEvRxChar), 0u);
  ASSERT_EQ(device->waitEvent(first.callback()), 0u);
  pty.send("abc");
  ASSERT_TRUE(first.waitFor(5s));
  EXPECT_EQ(first.events(), sys::kEvRxChar);
  EXPECT_TRUE(eventually([&] { return inQueue(*device) == 3; }));

  // One byte, where three were before the purge, between two waits.
  ASSERT_EQ(device->purge(sys::kPurgeRxClear), 0u);
  pty.send("d");
  EXPECT_TRUE(eventually([&] { return inQueue(*device) == 1; }));
  ASSERT_EQ(device->waitEvent(second.callback()), 0u);
  ASSERT_TRUE(second.waitFor(5s));
  EXPECT_EQ(second.error(), 0u);
  EXPECT_EQ(second.events(), sys::kEvRxChar);
}

TEST_F(PosixDeviceTest, SetEventMaskEndsAPendingWaitWithNoEvents) {
  Completion first;
  Completion second;
  auto device = openPty();
  device->setCommState(lineDcb(9600));
  ASSERT_EQ(device->setEventMask(sys::kEvRxChar), 0u);
  ASSERT_EQ(device->waitEvent(first.callback()), 0u);
  EXPECT_TRUE(device->watching());
  EXPECT_EQ(device->waitEvent(second.callback()), sys::kErrorInvalidParameter);  // one at a time

  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(device->setEventMask(sys::kEvRxChar), 0u);
  ASSERT_TRUE(first.waitFor(5s));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
  EXPECT_EQ(first.error(), 0u);
  EXPECT_EQ(first.events(), 0u);

  // The device keeps watching after the new mask.
  ASSERT_EQ(device->waitEvent(second.callback()), 0u);
  pty.send("x");
  ASSERT_TRUE(second.waitFor(5s));
  EXPECT_EQ(second.error(), 0u);
  EXPECT_EQ(second.events(), sys::kEvRxChar);
  EXPECT_EQ(first.calls(), 1);
  EXPECT_EQ(second.calls(), 1);
}

TEST_F(PosixDeviceTest, CloseEndsAPendingWaitAsAbortedAndReleasesThePort) {
  Completion wait;
  auto device = openPty();
  ASSERT_EQ(device->setEventMask(sys::kEvRxChar), 0u);
  ASSERT_EQ(device->waitEvent(wait.callback()), 0u);
  device->close();
  ASSERT_TRUE(wait.waitFor(5s));
  EXPECT_EQ(wait.error(), sys::kErrorOperationAborted);
  EXPECT_EQ(wait.events(), 0u);
  EXPECT_FALSE(device->watching());

  std::uint32_t written = 0;
  EXPECT_EQ(device->escape(sys::kSetDtr), sys::kErrorInvalidHandle);
  EXPECT_EQ(device->write(reinterpret_cast<const std::uint8_t*>("x"), 1, written),
            sys::kErrorInvalidHandle);
  EXPECT_EQ(device->setEventMask(0), sys::kErrorInvalidHandle);
  device->close();  // twice is harmless
  EXPECT_EQ(wait.calls(), 1);
  EXPECT_EQ(openError("ttyPTY0"), 0u);
}

TEST_F(PosixDeviceTest, AHangUpEndsTheWaitWithAnErrorAndStopsTheWatcher) {
  Completion wait;
  Completion later;
  auto device = openPty();
  device->setCommState(lineDcb(9600));
  ASSERT_EQ(device->setEventMask(sys::kEvRxChar | sys::kEvErr), 0u);
  ASSERT_EQ(device->waitEvent(wait.callback()), 0u);
  pty.hangUp();  // the slave now answers EIO, as an unplugged adapter does
  ASSERT_TRUE(wait.waitFor(5s));
  EXPECT_EQ(wait.error(), sys::kErrorBadCommand);
  EXPECT_EQ(wait.events(), 0u);
  EXPECT_TRUE(eventually([&] { return !device->watching(); }));

  std::uint32_t status = 0;
  std::uint32_t errors = 0;
  std::uint32_t written = 0;
  sys::ComStat stat{};
  EXPECT_EQ(device->escape(sys::kClrDtr), sys::kErrorBadCommand);
  EXPECT_EQ(device->modemStatus(status), sys::kErrorBadCommand);
  EXPECT_EQ(device->clearError(errors, stat), sys::kErrorBadCommand);
  EXPECT_EQ(device->write(reinterpret_cast<const std::uint8_t*>("x"), 1, written),
            sys::kErrorBadCommand);
  EXPECT_EQ(device->setEventMask(sys::kEvRxChar), sys::kErrorBadCommand);
  EXPECT_EQ(device->waitEvent(later.callback()), sys::kErrorBadCommand);
  EXPECT_EQ(later.calls(), 0);
  EXPECT_FALSE(device->watching());
  device->close();
  EXPECT_EQ(wait.calls(), 1);
}

// ---------------------------------------------------------------- port list

class PosixPortListTest : public ::testing::Test {
 protected:
  fs::path devDir() const { return temp.path() / "dev"; }
  fs::path sysDir() const { return temp.path() / "sys"; }

  // A class/tty entry whose device is bound to `driver` ("" for none).
  void addTty(const fs::path& entry, const std::string& driver, const std::string& type = "") {
    fs::create_directories(entry / "device");
    if (!driver.empty()) {
      fs::create_symlink("../../../bus/platform/drivers/" + driver, entry / "device" / "driver");
    }
    if (!type.empty()) std::ofstream(entry / "type") << type << "\n";
  }

  TempDir temp;
  sys::EmulatedPlatform platform;
};

TEST_F(PosixPortListTest, ListsTheTtysWithADriverAndAUart) {
  fs::create_directories(sysDir());
  addTty(sysDir() / "ttyUSB0", "ftdi_sio");
  addTty(sysDir() / "ttyACM0", "cdc_acm");
  addTty(sysDir() / "ttyS0", "serial8250", "4");
  addTty(sysDir() / "ttyS1", "serial8250", "0");  // no UART behind the name
  addTty(sysDir() / "ttyS4", "serial", "0");      // a PNP port without a UART
  addTty(sysDir() / "ttyprintk", "");             // a device but no driver
  fs::create_directories(sysDir() / "tty0");      // virtual consoles have no device
  fs::create_directories(sysDir() / "console");
  // The class entries of sysfs are links to the device tree.
  addTty(temp.path() / "devices" / "ttyAMA0", "uart-pl011", "83");
  fs::create_directory_symlink(temp.path() / "devices" / "ttyAMA0", sysDir() / "ttyAMA0");
  fs::create_directories(sysDir() / "ttyX0" / "device");
  std::ofstream(sysDir() / "ttyX0" / "device" / "driver") << "not a link";

  sys::addPosixDevices(platform, devDir().string(), sysDir().string());
  std::vector<std::string> ports{"stale"};
  comport::ListSerialPorts(platform, ports);
  EXPECT_THAT(ports, ElementsAre("ttyACM0", "ttyAMA0", "ttyS0", "ttyUSB0"));

  // Value name: the device path; value data: the name a user types.
  sys::Handle key = 0;
  ASSERT_EQ(platform.RegOpenKeyExA(sys::kHkeyLocalMachine, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0,
                                   sys::kKeyRead, &key),
            0);
  std::vector<std::pair<std::string, std::string>> values;
  for (std::uint32_t i = 0;; ++i) {
    char name[256];
    std::uint8_t data[256];
    std::uint32_t nameLength = sizeof name;
    std::uint32_t dataLength = sizeof data;
    if (platform.RegEnumValueA(key, i, name, &nameLength, nullptr, data, &dataLength) != 0) break;
    values.emplace_back(name, reinterpret_cast<const char*>(data));
  }
  platform.RegCloseKey(key);
  const std::string d = devDir().string() + "/";
  EXPECT_THAT(values,
              UnorderedElementsAre(Pair(d + "ttyUSB0", "ttyUSB0"), Pair(d + "ttyACM0", "ttyACM0"),
                                   Pair(d + "ttyS0", "ttyS0"), Pair(d + "ttyAMA0", "ttyAMA0")));
}

TEST_F(PosixPortListTest, TheKernelConsoleIsNeverOffered) {
  addTty(sysDir() / "ttyS0", "serial8250", "4");
  addTty(sysDir() / "ttyS1", "serial8250", "4");
  addTty(sysDir() / "ttyUSB0", "ftdi_sio");
  fs::create_directories(sysDir() / "console");
  std::ofstream(sysDir() / "console" / "active") << "tty0 ttyS0\n";
  sys::addPosixDevices(platform, devDir().string(), sysDir().string());
  std::vector<std::string> ports;
  comport::ListSerialPorts(platform, ports);
  EXPECT_THAT(ports, ElementsAre("ttyS1", "ttyUSB0"));
}

TEST_F(PosixPortListTest, AnEmptyClassGivesAnEmptyList) {
  fs::create_directories(sysDir());
  sys::addPosixDevices(platform, devDir().string(), sysDir().string());
  std::vector<std::string> ports{"stale"};
  comport::ListSerialPorts(platform, ports);
  EXPECT_TRUE(ports.empty());
}

TEST_F(PosixPortListTest, AClassDirectoryThatCannotBeReadIsARegistryError) {
  std::ofstream(temp.path() / "file") << "not a directory";
  for (const fs::path& root : {sysDir() / "missing", temp.path() / "file"}) {
    SCOPED_TRACE(root.string());
    sys::EmulatedPlatform own;
    sys::addPosixDevices(own, devDir().string(), root.string());
    std::vector<std::string> ports{"kept"};
    expectThrows([&] { comport::ListSerialPorts(own, ports); }, comport::msg::kRegistry);
    EXPECT_THAT(ports, ElementsAre("kept"));
  }
}

}  // namespace
