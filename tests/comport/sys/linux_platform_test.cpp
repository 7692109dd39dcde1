// The Linux backend without serial hardware: ports are pseudo-terminals
// linked into a temporary device folder, and sysfs is a fake tree. Where a
// test needs the machine's own /dev, it only ever checks names or opens a
// pty of its own.
#include "comport/sys/linux_platform.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "support/expect_com_port.h"

// The kernel's termios2 shows BOTHER rates; <termios.h> would clash with it.
#include <asm/termbits.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include "comport/list_serial_ports.h"
#include "comport/serial_port.h"
#include "posix_test_support.h"
#include "support/recording_platform.h"
#include "support/tty_model.h"

using testing_support::expectThrows;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using comport::EComPort;
using comport::TSerialPort;
using posix_testing::eventually;
using posix_testing::Pty;
using ::testing::ElementsAre;
using testing_support::TempFolder;

constexpr std::uint32_t kAllEvents = 0x05BD;

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

class LinuxPlatformTest : public ::testing::Test {
 protected:
  LinuxPlatformTest() {
    fs::create_directory(devDir());
    fs::create_directory(lockDir());
    fs::create_directories(sysDir() / "class/tty");
    fs::create_symlink(pty.slave(), devDir() / "ttyPTY0");
  }

  fs::path devDir() const { return temp.path("dev"); }
  fs::path sysDir() const { return temp.path("sys"); }
  fs::path lockDir() const { return temp.path("lock"); }

  sys::Handle open(const std::string& port = "ttyPTY0") {
    return platform->CreateFileA("\\\\.\\" + port, sys::kGenericRead | sys::kGenericWrite, 0,
                                 sys::kOpenExisting, sys::kFileFlagOverlapped);
  }
  // Opens the port with the line set-up applied (raw bytes; on a pty the
  // set-up then fails at the modem lines).
  sys::Handle openRaw() {
    const sys::Handle h = open();
    EXPECT_NE(h, sys::kInvalidHandle);
    EXPECT_FALSE(platform->SetCommState(h, lineDcb(9600)));
    return h;
  }
  // Opens the port; returns the error, 0 when it opened (and then closes it).
  std::uint32_t openError(const std::string& port) {
    const sys::Handle h = open(port);
    if (h == sys::kInvalidHandle) return platform->GetLastError();
    platform->CloseHandle(h);
    return 0;
  }
  std::uint32_t inQueue(sys::Handle h) {
    std::uint32_t errors = 0;
    sys::ComStat stat{};
    EXPECT_TRUE(platform->ClearCommError(h, &errors, &stat));
    return stat.cbInQue;
  }

  TempFolder temp;
  Pty pty;
  std::unique_ptr<sys::Platform> platform = sys::makeLinuxPlatform(devDir(), sysDir(), lockDir());
};

// A completed overlapped status wait, with its event and record.
class StatusWait {
 public:
  StatusWait(sys::Platform& platform, sys::Handle port)
      : platform_(platform), port_(port), event_(platform.CreateEventA(true, true)) {
    overlapped_.hEvent = event_;
  }
  ~StatusWait() { platform_.CloseHandle(event_); }
  // Starts the wait: true when it ended at once.
  bool start() { return platform_.WaitCommEvent(port_, &mask_, &overlapped_); }
  // Waits for the end; false when it did not come within `limit`.
  bool finish(std::chrono::milliseconds limit = 5s) {
    if (platform_.WaitForSingleObject(event_, static_cast<std::uint32_t>(limit.count())) !=
        sys::kWaitObject0) {
      return false;
    }
    std::uint32_t transferred = 0;
    ok_ = platform_.GetOverlappedResult(port_, &overlapped_, &transferred, false);
    error_ = ok_ ? 0 : platform_.GetLastError();
    return true;
  }
  std::uint32_t mask() const { return mask_; }
  std::uint32_t error() const { return error_; }

 private:
  sys::Platform& platform_;
  sys::Handle port_;
  sys::Handle event_;
  sys::Overlapped overlapped_{};
  std::uint32_t mask_ = 0;
  bool ok_ = false;
  std::uint32_t error_ = 0;
};

// ---------------------------------------------------------------- opening

TEST_F(LinuxPlatformTest, NamesThatAreNotAPortInTheDeviceFolderAreMissingPorts) {
  // Each refused name would reach the same working pty if it were followed.
  fs::create_symlink(pty.slave(), temp.path("outside"));
  fs::create_directory(devDir() / "sub");
  fs::create_symlink(pty.slave(), devDir() / "sub" / "tty");
  fs::create_symlink(pty.slave(), devDir() / "sub\\tty");
  fs::create_symlink(pty.slave(), devDir() / ".hidden");
  fs::create_symlink(pty.slave(), devDir() / "tty\x01");
  std::ofstream(devDir() / "plain") << "not a tty";
  ASSERT_EQ(::mkfifo((devDir() / "fifo").c_str(), 0600), 0);

  ASSERT_EQ(openError("ttyPTY0"), 0u);  // the name maps to devDir/ttyPTY0
  for (const std::string name :
       {"../outside", "sub/tty", "sub\\tty", ".hidden", "tty\x01", "", ".", "..", "../etc/passwd",
        "a/b", "plain", "fifo", "sub", "ttyNONE", "/dev/../outside", "serial/by-id/../ttyPTY0"}) {
    SCOPED_TRACE("port name \"" + name + "\"");
    EXPECT_EQ(sys::serialDevicePath(name, devDir(), sysDir()), "");
    EXPECT_EQ(openError(name), sys::kErrorFileNotFound);
  }
  // The device name must be the component's.
  EXPECT_EQ(platform->CreateFileA("ttyPTY0", 0, 0, 0, 0), sys::kInvalidHandle);
  EXPECT_EQ(platform->GetLastError(), sys::kErrorFileNotFound);
}

TEST_F(LinuxPlatformTest, LinksOfSerialByIdAndByPathAreFollowedThenChecked) {
  fs::create_directories(devDir() / "serial/by-id");
  fs::create_directories(devDir() / "serial/by-path");
  fs::create_symlink("../../ttyPTY0", devDir() / "serial/by-id/usb-Rilvet_Board-if00");
  fs::create_symlink(pty.slave(), devDir() / "serial/by-path/pci-0000:00:14.0-usb-0:1:1.0");
  fs::create_symlink("/dev/null", devDir() / "serial/by-id/not-a-tty");

  EXPECT_EQ(sys::serialDevicePath("serial/by-id/usb-Rilvet_Board-if00", devDir(), sysDir()),
            (devDir() / "serial/by-id/usb-Rilvet_Board-if00").string());
  EXPECT_EQ(openError("serial/by-id/usb-Rilvet_Board-if00"), 0u);
  EXPECT_EQ(openError("/dev/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0"), 0u);
  EXPECT_EQ(openError("/dev/ttyPTY0"), 0u);
  EXPECT_EQ(openError("serial/by-id/not-a-tty"), sys::kErrorFileNotFound);
  EXPECT_EQ(openError("serial/by-uuid/usb-Rilvet_Board-if00"), sys::kErrorFileNotFound);
}

// A tty of a serial driver, as sysfs shows it, standing in front of the
// device number of /dev/null: what the checks say of it can be seen without
// any serial device (and /dev/null is never opened by them).
class FakeSysfs {
 public:
  explicit FakeSysfs(const fs::path& root) : root_(root) {}
  void addTty(const std::string& name, dev_t device, const std::string& driver,
              const std::string& type = "") {
    const fs::path node = root_ / "devices/platform/serial8250" / name / "tty" / name;
    fs::create_directories(node / "device");
    if (!driver.empty())
      fs::create_symlink("../../../bus/drivers/" + driver, node / "device/driver");
    if (!type.empty()) std::ofstream(node / "type") << type << "\n";
    fs::create_directories(root_ / "class/tty");
    fs::create_directory_symlink(node, root_ / "class/tty" / name);
    fs::create_directories(root_ / "dev/char");
    const std::string number = std::to_string(major(device)) + ":" + std::to_string(minor(device));
    fs::create_directory_symlink(node, root_ / "dev/char" / number);
  }
  void setConsole(const std::string& names) {
    fs::create_directories(root_ / "class/tty/console");
    std::ofstream(root_ / "class/tty/console/active") << names << "\n";
  }

 private:
  fs::path root_;
};

TEST_F(LinuxPlatformTest, ADeviceIsAPortWhenASerialDriverServesItAndItIsNotTheConsole) {
  struct stat null {};
  ASSERT_EQ(::stat("/dev/null", &null), 0);
  fs::create_symlink("/dev/null", devDir() / "ttyFAKE");
  fs::create_directories(devDir() / "serial/by-id");
  fs::create_symlink("../../ttyFAKE", devDir() / "serial/by-id/usb-FTDI_FT232R-if00-port0");
  FakeSysfs sysfs(sysDir());
  const std::string path = (devDir() / "ttyFAKE").string();

  EXPECT_EQ(sys::serialDevicePath("ttyFAKE", devDir(), sysDir()), "");  // no sysfs entry yet
  sysfs.addTty("ttyFAKE", null.st_rdev, "serial8250", "4");
  EXPECT_EQ(sys::serialDevicePath("ttyFAKE", devDir(), sysDir()), path);
  EXPECT_EQ(sys::serialDevicePath("serial/by-id/usb-FTDI_FT232R-if00-port0", devDir(), sysDir()),
            (devDir() / "serial/by-id/usb-FTDI_FT232R-if00-port0").string());
  sysfs.setConsole("tty0 ttyFAKE");
  EXPECT_EQ(sys::serialDevicePath("ttyFAKE", devDir(), sysDir()), "");
  EXPECT_EQ(sys::serialDevicePath("serial/by-id/usb-FTDI_FT232R-if00-port0", devDir(), sysDir()),
            "");
}

TEST_F(LinuxPlatformTest, ADeviceWithoutADriverOrWithoutAUartIsNoPort) {
  struct stat null {};
  ASSERT_EQ(::stat("/dev/null", &null), 0);
  fs::create_symlink("/dev/null", devDir() / "ttyS9");
  FakeSysfs(sysDir()).addTty("ttyS9", null.st_rdev, "serial8250", "0");
  EXPECT_EQ(sys::serialDevicePath("ttyS9", devDir(), sysDir()), "");

  TempFolder other;
  FakeSysfs(other.root()).addTty("ttyS9", null.st_rdev, "");  // a virtual terminal's shape
  EXPECT_EQ(sys::serialDevicePath("ttyS9", devDir(), other.root()), "");
}

TEST_F(LinuxPlatformTest, APortHeldByAnotherIsBusyUntilItIsClosed) {
  const sys::Handle held = open();
  ASSERT_NE(held, sys::kInvalidHandle);
  EXPECT_EQ(openError("ttyPTY0"), sys::kErrorAccessDenied);
  TSerialPort port(*platform);
  port.setPort("ttyPTY0");
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
  ASSERT_TRUE(platform->CloseHandle(held));
  EXPECT_FALSE(exclusive());
  EXPECT_EQ(openError("ttyPTY0"), 0u);
}

// Another program on a device: it holds it open (with TIOCEXCL or without),
// or only its lock file names it. It runs until the object ends.
class OtherProgram {
 public:
  enum Hold { Descriptor, Exclusive, LockFileOnly };
  OtherProgram(const std::string& device, Hold hold) {
    int ready[2];
    EXPECT_EQ(::pipe2(ready, O_CLOEXEC), 0);
    EXPECT_EQ(::pipe2(quit_, O_CLOEXEC), 0);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(quit_[1]);  // so that the test's close is the pipe's end
      // Straight to the kernel: this program's own open() and ioctl() take locks.
      const long fd = hold == LockFileOnly
                          ? 0
                          : ::syscall(SYS_openat, AT_FDCWD, device.c_str(), O_RDWR | O_NOCTTY);
      if (hold == Exclusive) ::syscall(SYS_ioctl, fd, TIOCEXCL, 0);
      char byte = fd >= 0 ? 1 : 0;
      (void)!::write(ready[1], &byte, 1);
      (void)!::read(quit_[0], &byte, 1);  // until the test lets go
      ::_exit(0);
    }
    ::close(ready[1]);
    ::close(quit_[0]);
    char byte = 0;
    EXPECT_EQ(::read(ready[0], &byte, 1), 1);
    EXPECT_EQ(byte, 1) << "the other program could not open " << device;
    ::close(ready[0]);
  }
  ~OtherProgram() {
    ::close(quit_[1]);
    ::waitpid(pid_, nullptr, 0);
  }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int quit_[2] = {-1, -1};
};

std::string lockContent(pid_t pid) {
  char text[16];
  std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(pid));
  return text;
}

TEST_F(LinuxPlatformTest, APortAnotherProgramHoldsIsBusyBeforeItsDeviceIsOpened) {
  ASSERT_EQ(ttyModelAttach(pty.slave().c_str(), 1), 0);  // counts the device's opens
  const fs::path lock = lockDir() / ("LCK.." + fs::path(pty.slave()).filename().string());
  for (const auto hold :
       {OtherProgram::Descriptor, OtherProgram::Exclusive, OtherProgram::LockFileOnly}) {
    SCOPED_TRACE(hold);
    OtherProgram other(pty.slave(), hold);
    if (hold == OtherProgram::LockFileOnly) std::ofstream(lock) << lockContent(other.pid());
    const unsigned long opens = ttyModelDeviceOpens();
    EXPECT_EQ(openError("ttyPTY0"), sys::kErrorAccessDenied);
    EXPECT_EQ(ttyModelDeviceOpens(), opens) << "the held device was opened";
    EXPECT_EQ(fs::exists(lock), hold == OtherProgram::LockFileOnly);
    fs::remove(lock);
  }
  // A lock whose process is gone is taken over; ours goes at the close.
  const pid_t gone = ::fork();
  if (gone == 0) ::_exit(0);
  ::waitpid(gone, nullptr, 0);
  std::ofstream(lock) << lockContent(gone);
  const sys::Handle h = open();
  ASSERT_NE(h, sys::kInvalidHandle);
  std::ifstream in(lock);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), lockContent(::getpid()));
  EXPECT_EQ(openError("ttyPTY0"), sys::kErrorAccessDenied);  // our own lock holds too
  EXPECT_TRUE(platform->CloseHandle(h));
  EXPECT_FALSE(fs::exists(lock));
  ttyModelDetach();
}

// Runs `open` as a user who is not root (in a child process, as nobody, when
// this one is root); returns the low byte of its result.
std::uint32_t asOrdinaryUser(const std::function<std::uint32_t()>& open) {
  if (::geteuid() != 0) return open() & 0xFF;
  const pid_t child = ::fork();
  if (child == 0) {
    const bool dropped =
        ::setgroups(0, nullptr) == 0 && ::setgid(65534) == 0 && ::setuid(65534) == 0;
    ::_exit(dropped ? static_cast<int>(open() & 0xFF) : 255);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? static_cast<std::uint32_t>(WEXITSTATUS(status)) : 254;
}

TEST_F(LinuxPlatformTest, APortThatMayNotBeOpenedSaysSoAndOneHeldExclusivelyIsBusy) {
  fs::permissions(temp.root(),
                  fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  // Not in the group that owns it: the device's mode lets nobody else in.
  ASSERT_EQ(::chmod(pty.slave().c_str(), ::geteuid() == 0 ? 0600 : 0), 0);
  EXPECT_EQ(asOrdinaryUser([&] { return openError("ttyPTY0"); }),
            sys::kErrorPrivilegeNotHeld & 0xFF);
  testing_support::RecordingPlatform recorder(*platform);
  TSerialPort port(recorder);
  port.setPort("ttyPTY0");
  if (::geteuid() != 0) expectThrows([&] { port.OpenPort(); }, comport::msg::kNoAccess);

  // Open for everyone, but held by us with TIOCEXCL: busy for others.
  ASSERT_EQ(::chmod(pty.slave().c_str(), 0666), 0);
  const sys::Handle held = open();
  ASSERT_NE(held, sys::kInvalidHandle);
  EXPECT_EQ(asOrdinaryUser([&] { return openError("ttyPTY0"); }), sys::kErrorAccessDenied);
  platform->CloseHandle(held);
}

TEST_F(LinuxPlatformTest, OpeningAPtyThroughTheComponentFailsAtTheLineSetUp) {
  testing_support::RecordingPlatform recorder(*platform);
  TSerialPort port(recorder);
  port.setPort("ttyPTY0");
  expectThrows([&] { port.OpenPort(); }, comport::msg::kSetCommState);
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(recorder.openDevices(), 0);
  EXPECT_EQ(openError("ttyPTY0"), 0u);  // the failed open let go of the port
}

TEST_F(LinuxPlatformTest, HandlesOfNothingOpenAreRefusedAndNeverClosed) {
  const int foreign = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(foreign, 0);
  const auto h = static_cast<sys::Handle>(foreign);
  std::uint32_t status = 0;
  EXPECT_FALSE(platform->EscapeCommFunction(h, sys::kSetDtr));
  EXPECT_EQ(platform->GetLastError(), sys::kErrorInvalidHandle);
  EXPECT_FALSE(platform->GetCommModemStatus(sys::kInvalidHandle, &status));
  EXPECT_EQ(platform->GetLastError(), sys::kErrorInvalidHandle);
  EXPECT_FALSE(platform->SetEvent(h));
  EXPECT_EQ(platform->WaitForSingleObject(h, 0), sys::kWaitFailed);
  EXPECT_FALSE(platform->CloseHandle(h));
  EXPECT_EQ(platform->GetLastError(), sys::kErrorInvalidHandle);
  EXPECT_EQ(fcntl(foreign, F_GETFD), FD_CLOEXEC) << "the descriptor is still ours";
  ::close(foreign);
}

// ---------------------------------------------------------------- line set-up

TEST_F(LinuxPlatformTest, LineSetUpIsAppliedRawBeforeTheMissingModemLinesAreReported) {
  // Start from the opposite of every setting the backend must make. (A pty
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

  const sys::Handle h = open();
  ASSERT_NE(h, sys::kInvalidHandle);
  EXPECT_FALSE(platform->SetCommState(h, lineDcb(9600)));
  EXPECT_EQ(platform->GetLastError(), sys::kErrorNotSupported);

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
  platform->CloseHandle(h);
}

TEST_F(LinuxPlatformTest, FrameSettingsMapToTheirTermiosBits) {
  struct Case {
    std::uint32_t rate;
    std::uint8_t byteSize, parity, stopBits;
    tcflag_t frame;  // parity and stop bits as a pty keeps them
    tcflag_t code;
  };
  const Case cases[] = {
      {115200, 8, 0, 0, 0, B115200},         {110, 7, 2, 2, CSTOPB, B110},
      {300, 5, 1, 1, PARODD | CSTOPB, B300}, {2400, 6, 3, 0, PARODD | CMSPAR, B2400},
      {57600, 8, 4, 0, CMSPAR, B57600},      {14400, 8, 0, 0, 0, BOTHER},
      {56000, 8, 0, 0, 0, BOTHER},           {128000, 8, 0, 0, 0, BOTHER},
      {256000, 8, 0, 0, 0, BOTHER},
  };
  const sys::Handle h = open();
  ASSERT_NE(h, sys::kInvalidHandle);
  for (const Case& c : cases) {
    SCOPED_TRACE("rate " + std::to_string(c.rate));
    const termios2 before = pty.slaveTermios();
    // The pty has no modem lines, so the last step always fails.
    EXPECT_FALSE(platform->SetCommState(h, lineDcb(c.rate, c.byteSize, c.parity, c.stopBits)));
    const termios2 t = pty.slaveTermios();
    if (c.code == BOTHER && (t.c_cflag & CBAUD) != BOTHER) {
      // A kernel that refuses the rate on a pty leaves everything as it was.
      EXPECT_EQ(t.c_cflag, before.c_cflag);
      continue;
    }
    EXPECT_EQ(t.c_cflag & CBAUD, c.code);
    EXPECT_EQ(t.c_ospeed, c.rate);
    EXPECT_EQ(t.c_ispeed, c.rate);
    EXPECT_EQ(t.c_cflag & (PARODD | CMSPAR | CSTOPB), c.frame);
    EXPECT_EQ((t.c_iflag & INPCK) != 0, c.parity != 0);
  }
  platform->CloseHandle(h);
}

TEST_F(LinuxPlatformTest, BadOrUnsupportedSettingsChangeNothing) {
  const sys::Handle h = open();
  ASSERT_NE(h, sys::kInvalidHandle);
  platform->SetCommState(h, lineDcb(9600));
  const termios2 before = pty.slaveTermios();

  std::vector<sys::DCB> invalid(6, lineDcb(19200));
  invalid[0].ByteSize = 4;
  invalid[1].ByteSize = 9;
  invalid[2].Parity = 5;
  invalid[3].StopBits = 3;
  invalid[4].BaudRate = 0;
  invalid[5].DCBlength = 27;
  for (const sys::DCB& dcb : invalid) {
    EXPECT_FALSE(platform->SetCommState(h, dcb));
    EXPECT_EQ(platform->GetLastError(), sys::kErrorInvalidParameter);
  }
  std::vector<sys::DCB> unsupported(5, lineDcb(19200));
  unsupported[0].Flags |= 0x0004;  // CTS output flow control
  unsupported[1].Flags |= 0x0100;  // XON/XOFF output
  unsupported[2].Flags |= 0x0200;  // XON/XOFF input
  unsupported[3].Flags = 0x1021;   // DTR handshake
  unsupported[4].Flags = 0x3011;   // RTS toggle
  for (const sys::DCB& dcb : unsupported) {
    EXPECT_FALSE(platform->SetCommState(h, dcb));
    EXPECT_EQ(platform->GetLastError(), sys::kErrorNotSupported);
  }
  const termios2 after = pty.slaveTermios();
  EXPECT_EQ(after.c_cflag, before.c_cflag);
  EXPECT_EQ(after.c_ospeed, 9600u);
  EXPECT_FALSE(platform->SetupComm(h, 0xFFFFFFFDu, 2048));
  EXPECT_EQ(platform->GetLastError(), sys::kErrorInvalidParameter);
  EXPECT_TRUE(platform->SetupComm(h, 2048, 2048));
  platform->CloseHandle(h);
}

TEST_F(LinuxPlatformTest, ModemLinesOfAPtyAreReportedMissingNeverAsDone) {
  const sys::Handle h = openRaw();
  ASSERT_NE(h, sys::kInvalidHandle);
  for (std::uint32_t f : {sys::kSetRts, sys::kClrRts, sys::kSetDtr, sys::kClrDtr}) {
    EXPECT_FALSE(platform->EscapeCommFunction(h, f)) << "escape " << f;
    EXPECT_EQ(platform->GetLastError(), sys::kErrorNotSupported);
  }
  EXPECT_FALSE(platform->EscapeCommFunction(h, 7));
  EXPECT_EQ(platform->GetLastError(), sys::kErrorInvalidParameter);
  std::uint32_t status = 0xAA;
  EXPECT_FALSE(platform->GetCommModemStatus(h, &status));
  EXPECT_EQ(platform->GetLastError(), sys::kErrorNotSupported);
  EXPECT_EQ(status, 0xAAu);

  // Watching the lines is refused; the other events still come.
  EXPECT_FALSE(platform->SetCommMask(h, kAllEvents));
  EXPECT_EQ(platform->GetLastError(), sys::kErrorNotSupported);
  StatusWait wait(*platform, h);
  EXPECT_FALSE(wait.start());
  EXPECT_EQ(platform->GetLastError(), sys::kErrorIoPending);
  pty.send("x");
  ASSERT_TRUE(wait.finish());
  EXPECT_EQ(wait.error(), 0u);
  EXPECT_EQ(wait.mask(), sys::kEvRxChar);
  platform->CloseHandle(h);
}

// ---------------------------------------------------------------- transfers

TEST_F(LinuxPlatformTest, WrittenBytesReachTheFarEndUnchanged) {
  const sys::Handle h = open();
  ASSERT_NE(h, sys::kInvalidHandle);
  platform->SetCommState(h, lineDcb(9600));
  std::uint32_t written = 0;
  ASSERT_TRUE(platform->WriteFile(h, "\x01", 1, &written, nullptr));
  EXPECT_EQ(written, 1u);
  EXPECT_EQ(pty.receive(1), "\x01");

  // Raw output: a line feed is not turned into CR LF. The overlapped record
  // says the same as the call.
  const std::uint8_t bytes[] = {'\n', 0xFF, 0x00};
  const sys::Handle event = platform->CreateEventA(true, false);
  sys::Overlapped overlapped{};
  overlapped.hEvent = event;
  ASSERT_TRUE(platform->WriteFile(h, bytes, 3, &written, &overlapped));
  EXPECT_EQ(written, 3u);
  EXPECT_EQ(platform->WaitForSingleObject(event, 0), sys::kWaitObject0);
  std::uint32_t transferred = 0;
  EXPECT_TRUE(platform->GetOverlappedResult(h, &overlapped, &transferred, false));
  EXPECT_EQ(transferred, 3u);
  EXPECT_EQ(pty.receive(3), std::string("\n\xFF\0", 3));
  EXPECT_EQ(pty.receive(1, 100ms), "");
  platform->CloseHandle(event);
  platform->CloseHandle(h);
}

TEST_F(LinuxPlatformTest, ReceivedBytesAreCountedAndPurged) {
  const sys::Handle h = open();
  ASSERT_NE(h, sys::kInvalidHandle);
  platform->SetCommState(h, lineDcb(9600));
  EXPECT_EQ(inQueue(h), 0u);
  pty.send("hello");
  EXPECT_TRUE(eventually([&] { return inQueue(h) == 5; }));

  std::uint32_t errors = 0xFFFF;
  sys::ComStat stat{};
  ASSERT_TRUE(platform->ClearCommError(h, &errors, &stat));
  EXPECT_EQ(errors, 0u);  // a pty counts no line errors
  EXPECT_EQ(stat.cbInQue, 5u);
  EXPECT_EQ(stat.cbOutQue, 0u);

  EXPECT_TRUE(platform->PurgeComm(h, sys::kPurgeTxClear));
  EXPECT_EQ(inQueue(h), 5u);  // output only
  EXPECT_TRUE(platform->PurgeComm(h, sys::kPurgeRxClear));
  EXPECT_EQ(inQueue(h), 0u);
  pty.send("ab");
  EXPECT_TRUE(eventually([&] { return inQueue(h) == 2; }));
  EXPECT_TRUE(platform->PurgeComm(h, sys::kPurgeTxAbort | sys::kPurgeRxAbort));
  EXPECT_EQ(inQueue(h), 0u);
  platform->CloseHandle(h);
}

TEST_F(LinuxPlatformTest, AWriteThatCannotFinishIsCutShortByItsTimeout) {
  const sys::Handle h = open();
  ASSERT_NE(h, sys::kInvalidHandle);
  platform->SetCommState(h, lineDcb(9600));
  // 50 ms in all; the far end reads nothing, so the pty's queue fills up.
  ASSERT_TRUE(platform->SetCommTimeouts(h, {0xFFFFFFFFu, 0, 0, 0, 50}));
  const std::vector<std::uint8_t> big(1 << 20, 0x55);
  std::uint32_t written = 0;
  EXPECT_TRUE(platform->WriteFile(h, big.data(), static_cast<std::uint32_t>(big.size()), &written,
                                  nullptr));
  EXPECT_GT(written, 0u);
  EXPECT_LT(written, big.size());
  platform->CloseHandle(h);
}

// ---------------------------------------------------------------- events

TEST_F(LinuxPlatformTest, AStatusWaitReportsEachEventOfTheMask) {
  const sys::Handle h = openRaw();
  ASSERT_NE(h, sys::kInvalidHandle);
  ASSERT_TRUE(platform->SetCommMask(h, sys::kEvRxChar | sys::kEvTxEmpty | sys::kEvErr));
  StatusWait wait(*platform, h);

  // Bytes from the far end.
  EXPECT_FALSE(wait.start());
  EXPECT_EQ(platform->GetLastError(), sys::kErrorIoPending);
  pty.send("A");
  ASSERT_TRUE(wait.finish());
  EXPECT_EQ(wait.mask(), sys::kEvRxChar);

  // Nothing new: the next wait stays pending until our own write has left.
  EXPECT_FALSE(wait.start());
  EXPECT_FALSE(wait.finish(50ms));
  std::uint32_t written = 0;
  ASSERT_TRUE(platform->WriteFile(h, "\x01", 1, &written, nullptr));
  ASSERT_TRUE(wait.finish());
  EXPECT_EQ(wait.mask(), sys::kEvTxEmpty);

  // Bytes that came between two waits, with more unread before them: the
  // next wait ends at once.
  pty.send("B");
  EXPECT_TRUE(eventually([&] { return inQueue(h) == 2; }));
  EXPECT_FALSE(wait.start());
  ASSERT_TRUE(wait.finish());
  EXPECT_EQ(wait.mask(), sys::kEvRxChar);
  EXPECT_FALSE(wait.start());
  pty.send("C");  // and while bytes sit unread, each arrival is one more event
  ASSERT_TRUE(wait.finish());
  EXPECT_EQ(wait.mask(), sys::kEvRxChar);

  // 80 % of the input queue given to SetupComm is reported once, when reached.
  ASSERT_TRUE(platform->PurgeComm(h, sys::kPurgeRxClear));
  ASSERT_TRUE(platform->SetupComm(h, 10, 10));
  ASSERT_TRUE(platform->SetCommMask(h, sys::kEvRxChar | sys::kEvRx80Full));
  EXPECT_FALSE(wait.start());
  pty.send("12345678");  // 8 of 10
  ASSERT_TRUE(wait.finish());
  EXPECT_EQ(wait.mask(), sys::kEvRxChar | sys::kEvRx80Full);
  EXPECT_FALSE(wait.start());
  pty.send("9");
  ASSERT_TRUE(wait.finish());
  EXPECT_EQ(wait.mask(), sys::kEvRxChar);
  EXPECT_TRUE(platform->CloseHandle(h));
}

TEST_F(LinuxPlatformTest, BytesAfterAPurgeAreNewEvenWhenFewer) {
  const sys::Handle h = openRaw();
  ASSERT_NE(h, sys::kInvalidHandle);
  ASSERT_TRUE(platform->SetCommMask(h, sys::kEvRxChar));
  StatusWait wait(*platform, h);
  EXPECT_FALSE(wait.start());
  pty.send("abc");
  ASSERT_TRUE(wait.finish());
  EXPECT_EQ(wait.mask(), sys::kEvRxChar);
  EXPECT_TRUE(eventually([&] { return inQueue(h) == 3; }));

  // One byte, where three were before the purge, between two waits.
  ASSERT_TRUE(platform->PurgeComm(h, sys::kPurgeRxClear));
  pty.send("d");
  EXPECT_TRUE(eventually([&] { return inQueue(h) == 1; }));
  wait.start();
  ASSERT_TRUE(wait.finish());
  EXPECT_EQ(wait.error(), 0u);
  EXPECT_EQ(wait.mask(), sys::kEvRxChar);
  platform->CloseHandle(h);
}

TEST_F(LinuxPlatformTest, SetCommMaskEndsAPendingWaitWithNoEvents) {
  const sys::Handle h = openRaw();
  ASSERT_NE(h, sys::kInvalidHandle);
  ASSERT_TRUE(platform->SetCommMask(h, sys::kEvRxChar));
  StatusWait first(*platform, h);
  StatusWait second(*platform, h);
  EXPECT_FALSE(first.start());
  EXPECT_FALSE(second.start());  // one at a time
  EXPECT_EQ(platform->GetLastError(), sys::kErrorInvalidParameter);

  ASSERT_TRUE(platform->SetCommMask(h, sys::kEvRxChar));
  ASSERT_TRUE(first.finish(500ms));
  EXPECT_EQ(first.error(), 0u);
  EXPECT_EQ(first.mask(), 0u);

  // The port goes on watching with the new mask.
  EXPECT_FALSE(second.start());
  pty.send("x");
  ASSERT_TRUE(second.finish());
  EXPECT_EQ(second.error(), 0u);
  EXPECT_EQ(second.mask(), sys::kEvRxChar);
  platform->CloseHandle(h);
}

TEST_F(LinuxPlatformTest, CloseEndsAPendingWaitAsAbortedAndReleasesThePort) {
  const sys::Handle h = openRaw();
  ASSERT_NE(h, sys::kInvalidHandle);
  ASSERT_TRUE(platform->SetCommMask(h, sys::kEvRxChar));
  StatusWait wait(*platform, h);
  EXPECT_FALSE(wait.start());
  EXPECT_TRUE(platform->CloseHandle(h));
  ASSERT_TRUE(wait.finish(0ms));
  EXPECT_EQ(wait.error(), sys::kErrorOperationAborted);
  EXPECT_EQ(wait.mask(), 0u);

  std::uint32_t written = 0;
  EXPECT_FALSE(platform->EscapeCommFunction(h, sys::kSetDtr));
  EXPECT_EQ(platform->GetLastError(), sys::kErrorInvalidHandle);
  EXPECT_FALSE(platform->WriteFile(h, "x", 1, &written, nullptr));
  EXPECT_FALSE(platform->CloseHandle(h));  // twice is refused
  EXPECT_EQ(openError("ttyPTY0"), 0u);
}

TEST_F(LinuxPlatformTest, AHangUpEndsTheWaitWithAnErrorAndEveryCallAfterIt) {
  const sys::Handle h = open();
  ASSERT_NE(h, sys::kInvalidHandle);
  platform->SetCommState(h, lineDcb(9600));
  ASSERT_TRUE(platform->SetCommMask(h, sys::kEvRxChar | sys::kEvErr));
  StatusWait wait(*platform, h);
  EXPECT_FALSE(wait.start());
  pty.hangUp();  // the slave now answers EIO, as an unplugged adapter does
  ASSERT_TRUE(wait.finish());
  EXPECT_EQ(wait.error(), sys::kErrorBadCommand);
  EXPECT_EQ(wait.mask(), 0u);

  std::uint32_t status = 0;
  std::uint32_t errors = 0;
  std::uint32_t written = 0;
  sys::ComStat stat{};
  EXPECT_FALSE(platform->EscapeCommFunction(h, sys::kClrDtr));
  EXPECT_EQ(platform->GetLastError(), sys::kErrorBadCommand);
  EXPECT_FALSE(platform->GetCommModemStatus(h, &status));
  EXPECT_FALSE(platform->ClearCommError(h, &errors, &stat));
  EXPECT_FALSE(platform->WriteFile(h, "x", 1, &written, nullptr));
  EXPECT_FALSE(platform->SetCommMask(h, sys::kEvRxChar));
  EXPECT_FALSE(wait.start());
  EXPECT_EQ(platform->GetLastError(), sys::kErrorBadCommand);
  EXPECT_TRUE(platform->CloseHandle(h));
}

TEST_F(LinuxPlatformTest, EventsAndWaits) {
  const sys::Handle manual = platform->CreateEventA(true, false);
  const sys::Handle automatic = platform->CreateEventA(false, true);
  ASSERT_NE(manual, 0u);
  ASSERT_NE(automatic, 0u);

  EXPECT_EQ(platform->WaitForSingleObject(manual, 0), sys::kWaitTimeout);
  EXPECT_TRUE(platform->SetEvent(manual));
  EXPECT_EQ(platform->WaitForSingleObject(manual, 0), sys::kWaitObject0);
  EXPECT_EQ(platform->WaitForSingleObject(manual, 0), sys::kWaitObject0);  // stays set

  const sys::Handle both[2] = {automatic, manual};
  // The first signalled object wins; an automatic event is reset by the wait
  // that sees it.
  EXPECT_EQ(platform->WaitForMultipleObjects(2, both, false, 0), sys::kWaitObject0);
  EXPECT_EQ(platform->WaitForMultipleObjects(2, both, false, 0), sys::kWaitObject0 + 1);
  EXPECT_TRUE(platform->ResetEvent(manual));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(platform->WaitForMultipleObjects(2, both, false, 30), sys::kWaitTimeout);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);

  // A set from another thread ends a wait without time limit.
  std::thread setter([&] {
    std::this_thread::sleep_for(20ms);
    platform->SetEvent(automatic);
  });
  EXPECT_EQ(platform->WaitForMultipleObjects(2, both, false, sys::kInfinite), sys::kWaitObject0);
  setter.join();

  EXPECT_TRUE(platform->CloseHandle(manual));
  EXPECT_TRUE(platform->CloseHandle(automatic));
  EXPECT_FALSE(platform->CloseHandle(manual));
  EXPECT_EQ(platform->WaitForSingleObject(manual, 0), sys::kWaitFailed);
  EXPECT_EQ(platform->GetLastError(), sys::kErrorInvalidHandle);
}

// ---------------------------------------------------------------- port list

TEST_F(LinuxPlatformTest, ListsTheTtysOfSerialDriversButNeverTheConsole) {
  struct stat null {};
  ASSERT_EQ(::stat("/dev/null", &null), 0);
  FakeSysfs sysfs(sysDir());
  sysfs.addTty("ttyUSB0", makedev(188, 0), "ftdi_sio");
  sysfs.addTty("ttyACM0", makedev(166, 0), "cdc_acm");
  sysfs.addTty("ttyS0", makedev(4, 64), "serial8250", "4");
  sysfs.addTty("ttyS1", makedev(4, 65), "serial8250", "4");
  sysfs.addTty("ttyS2", makedev(4, 66), "serial8250", "0");  // no UART behind the name
  sysfs.addTty("ttyAMA0", makedev(204, 64), "uart-pl011", "83");
  sysfs.addTty("tty0", makedev(4, 0), "");  // virtual terminals have no driver
  sysfs.addTty("ptmx", makedev(5, 2), "");
  sysfs.setConsole("ttyS0");

  std::vector<std::string> ports{"stale"};
  comport::ListSerialPorts(*platform, ports);
  EXPECT_THAT(ports, ElementsAre("ttyACM0", "ttyAMA0", "ttyS1", "ttyUSB0"));
}

TEST_F(LinuxPlatformTest, AnEmptyClassGivesAnEmptyListAndAMissingOneAnError) {
  std::vector<std::string> ports{"stale"};
  comport::ListSerialPorts(*platform, ports);
  EXPECT_TRUE(ports.empty());

  std::ofstream(temp.path("file")) << "not a directory";
  for (const std::string& root : {temp.path("missing"), temp.path("file")}) {
    SCOPED_TRACE(root);
    const auto own = sys::makeLinuxPlatform(devDir(), root, lockDir());
    std::vector<std::string> kept{"kept"};
    expectThrows([&] { comport::ListSerialPorts(*own, kept); }, comport::msg::kRegistry);
    EXPECT_THAT(kept, ElementsAre("kept"));
  }
}

// ---------------------------------------------------------------- this machine

// The kernel's console, the controlling terminal, a virtual console and the
// pty multiplexer of this machine are refused by their names alone. Each is
// first checked by name; only a refused name goes on to the backend, which
// must fail it as a missing port without a single open() (this program counts
// its own, tests/support/tty_model.c).
TEST(LinuxMachineTest, TheConsoleTtyVirtualConsolesAndPtmxAreRefusedWithoutAnOpen) {
  const auto platform = sys::makeLinuxPlatform();
  for (const std::string name : {"console", "tty", "tty0", "ptmx", "/dev/console", "../x"}) {
    SCOPED_TRACE(name);
    ASSERT_EQ(sys::serialDevicePath(name), "") << "would be opened";
    const unsigned long opens = ttyModelOpens();
    EXPECT_EQ(platform->CreateFileA("\\\\.\\" + name, sys::kGenericRead | sys::kGenericWrite, 0,
                                    sys::kOpenExisting, sys::kFileFlagOverlapped),
              sys::kInvalidHandle);
    EXPECT_EQ(platform->GetLastError(), sys::kErrorFileNotFound);
    EXPECT_EQ(ttyModelOpens(), opens);
  }
  // What the machine calls its console is never a port either.
  std::ifstream active("/sys/class/tty/console/active");
  for (std::string console; active >> console;) {
    SCOPED_TRACE(console);
    EXPECT_EQ(sys::serialDevicePath(console), "");
  }
}

// Files of our own under the machine's /dev, removed again at the end.
class DevEntry {
 public:
  explicit DevEntry(const std::string& kind) {
    path_ = "/dev/rilvet-test-" + kind + "-" + std::to_string(::getpid());
  }
  ~DevEntry() { ::unlink(path_.c_str()); }
  const std::string& path() const { return path_; }
  std::string name() const { return path_.substr(5); }

 private:
  std::string path_;
};

TEST(LinuxMachineTest, AFifoOrAFileUnderDevIsRefusedWithoutAnOpenAndALinkedPtyOpens) {
  if (::access("/dev", W_OK) != 0) GTEST_SKIP() << "/dev is not writable here";
  TempFolder locks;
  const auto platform = sys::makeLinuxPlatform("/dev", "/sys", locks.root());
  DevEntry fifo("fifo");
  DevEntry file("file");
  ASSERT_EQ(::mkfifo(fifo.path().c_str(), 0600), 0);
  std::ofstream(file.path()) << "not a port";
  for (const DevEntry* entry : {&fifo, &file}) {
    SCOPED_TRACE(entry->path());
    ASSERT_EQ(sys::serialDevicePath(entry->name()), "");
    const unsigned long opens = ttyModelOpens();
    EXPECT_EQ(platform->CreateFileA("\\\\.\\" + entry->name(), 0, 0, 0, 0), sys::kInvalidHandle);
    EXPECT_EQ(platform->GetLastError(), sys::kErrorFileNotFound);
    EXPECT_EQ(ttyModelOpens(), opens);
  }

  Pty pty;
  DevEntry link("pty");
  fs::create_symlink(pty.slave(), link.path());
  EXPECT_EQ(sys::serialDevicePath(link.name()), link.path());
  const unsigned long opens = ttyModelOpens();
  const sys::Handle h = platform->CreateFileA("\\\\.\\" + link.name(), 0, 0, 0, 0);
  ASSERT_NE(h, sys::kInvalidHandle);
  EXPECT_EQ(ttyModelOpens(), opens + 2);  // its lock file, then the device
  std::uint32_t written = 0;
  EXPECT_TRUE(platform->WriteFile(h, "\x01", 1, &written, nullptr));
  EXPECT_EQ(pty.receive(1), "\x01");
  EXPECT_TRUE(platform->CloseHandle(h));
}

}  // namespace
