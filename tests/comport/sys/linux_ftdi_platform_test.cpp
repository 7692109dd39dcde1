// The FTDI fast path on a fake chip and a fake sysfs: the bytes driven on
// the pins for each line sequence, the inputs read back, the open failures.
#include "comport/sys/linux_ftdi_platform.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "comport/list_serial_ports.h"
#include "comport/serial_port.h"
#include "comport/sys/linux_platform.h"
#include "posix_test_support.h"
#include "support/expect_com_port.h"
#include "support/fake_ftdi_chip.h"
#include "support/temp_folder.h"

namespace {

namespace fs = std::filesystem;
using comport::TSerialPort;
using posix_testing::eventually;
using testing_support::expectThrows;
using testing_support::FakeFtdiChip;
using testing_support::TempFolder;
using Runs = std::vector<std::pair<int, int>>;  // pins, bytes

const std::string kFast = "ttyUSB0 (FTDI, быстрый)";

// Pins of the bit-bang byte: TXD 0x01, RTS# 0x04, DTR# 0x10, all active low.
constexpr int kIdle = 0x15;     // TXD high, RTS and DTR off
constexpr int kClock = 0x05;    // DTR on
constexpr int kData = 0x11;     // RTS on
constexpr int kDataClk = 0x01;  // both on

void write(const fs::path& file, const std::string& text) {
  fs::create_directories(file.parent_path());
  std::ofstream(file) << text << "\n";
}

// One USB serial adapter as sysfs shows it: the tty's device is the port
// under the USB interface, whose parent is the USB device.
void addAdapter(const fs::path& sys, const std::string& tty, const std::string& vendor,
                const std::string& driver, int devnum) {
  const fs::path usb = sys / "devices/usb1" / ("1-" + std::to_string(devnum));
  const fs::path port = usb / "1-0:1.0" / tty;
  write(usb / "idVendor", vendor);
  write(usb / "busnum", "1");
  write(usb / "devnum", std::to_string(devnum));
  write(usb / "1-0:1.0/bInterfaceNumber", "00");
  fs::create_directories(sys / "bus/usb-serial/drivers" / driver);
  fs::create_directories(port);
  fs::create_symlink(sys / "bus/usb-serial/drivers" / driver, port / "driver");
  fs::create_directories(sys / "class/tty" / tty);
  fs::create_directory_symlink(port, sys / "class/tty" / tty / "device");
}

Runs runsOf(const std::vector<std::uint8_t>& bytes) {
  Runs runs;
  for (const std::uint8_t b : bytes) {
    if (!runs.empty() && runs.back().first == b) {
      ++runs.back().second;
    } else {
      runs.push_back({b, 1});
    }
  }
  return runs;
}

// While nothing else comes the chip drives the last state again and again,
// and line states with no byte after them go out on their own: the runs of
// `got` match `want` once a leading run of the state `before` is left out,
// with a line state (1 sample in `want`) and the last run held any longer.
bool sameFrames(Runs got, const Runs& want, int before) {
  if (!got.empty() && got.front().first == before) got.erase(got.begin());
  if (got.size() != want.size() || got.empty()) return false;
  for (std::size_t i = 0; i < got.size(); ++i) {
    const bool held = want[i].second == 1 || i + 1 == got.size();
    if (got[i].first != want[i].first || got[i].second < want[i].second ||
        (!held && got[i].second != want[i].second)) {
      return false;
    }
  }
  return true;
}

// A line state lasts 1 sample, a bit time of the latch byte 8 (9600 bit/s
// at 76800 samples/s).
void state(Runs& r, int pins) {
  r.push_back({pins, 1});
}
void pulse(Runs& r, int rts) {
  state(r, rts & ~0x10);
  state(r, rts);
}
void latch(Runs& r, int rts) {
  // 0x01: start (low), bit 0 (high), bits 1 to 7 (low), stop (high).
  r.insert(r.end(), {{rts & ~1, 8}, {rts, 8}, {rts & ~1, 56}, {rts, 8}});
}

class FtdiPath : public ::testing::Test {
 protected:
  FtdiPath()
      : wire(std::make_shared<FakeFtdiChip::Wire>()),
        platform(std::make_unique<FakeFtdiChip>(wire), folder.path("sys")) {
    addAdapter(folder.path("sys"), "ttyUSB0", "0403", "ftdi_sio", 5);
    addAdapter(folder.path("sys"), "ttyUSB1", "067b", "pl2303", 6);
  }

  void startClick(TSerialPort& port) {
    port.setPort(kFast);
    port.OpenPort();
    port.SetRTS(false);
    port.SetDTR(false);
  }

  TempFolder folder;
  std::shared_ptr<FakeFtdiChip::Wire> wire;
  sys::FtdiPlatform platform;
};

TEST_F(FtdiPath, ListsEachFtdiAdapterASecondTimeBesideItsTty) {
  const auto machine = sys::makeLinuxPlatform(folder.path("dev"), folder.path("sys"));
  std::vector<std::string> ports;
  comport::ListSerialPorts(sys::Backends(*machine, nullptr, &platform), ports);
  EXPECT_THAT(ports, ::testing::ElementsAre("ttyUSB0", kFast, "ttyUSB1"));
  const auto adapters = sys::findFtdiAdapters(folder.path("sys"));
  ASSERT_EQ(adapters.size(), 1u);
  EXPECT_EQ(adapters[0].bus, 1);
  EXPECT_EQ(adapters[0].address, 5);
  EXPECT_EQ(adapters[0].interface, 0);
}

// Each sequence exactly as the UART path switches the lines, pin by pin.
TEST_F(FtdiPath, DrivesEachLineSequenceByteForByte) {
  TSerialPort port(platform);
  startClick(port);
  const auto step = [&port](int on) {
    for (int k = 1; k <= 48; ++k) {
      port.SetRTS(k == on);
      port.SetDTR(true);
      port.SetDTR(false);
    }
    port.WriteText("\x01");
  };
  const auto allOff = [&port] {
    port.SetRTS(false);
    port.SetDTR(false);
    for (int k = 1; k <= 48; ++k) {
      port.SetDTR(true);
      port.SetDTR(false);
    }
    port.WriteText("\x01");
  };
  Runs openRuns;
  state(openRuns, kDataClk);  // the line set-up raises both
  state(openRuns, kClock);    // RTS lowered first
  state(openRuns, kIdle);
  Runs none, first, last, off;
  for (int k = 1; k <= 48; ++k) pulse(none, kIdle);
  latch(none, kIdle);
  state(first, kData);
  pulse(first, kData);
  state(first, kIdle);
  for (int k = 2; k <= 48; ++k) pulse(first, kIdle);
  latch(first, kIdle);
  for (int k = 1; k <= 47; ++k) pulse(last, kIdle);
  state(last, kData);
  pulse(last, kData);
  latch(last, kData);  // RTS stays on up to the next frame
  state(off, kIdle);
  for (int k = 1; k <= 48; ++k) pulse(off, kIdle);
  latch(off, kIdle);
  const struct {
    const char* name;
    std::function<void()> send;
    Runs runs;
  } kCases[] = {{"open", [] {}, openRuns},
                {"every channel off", [&] { step(0); }, none},
                {"channel 1 only", [&] { step(1); }, first},
                {"channel 48 only", [&] { step(48); }, last},
                {"all-off frame", allOff, off}};
  std::size_t from = 0;
  int before = kIdle;
  for (const auto& c : kCases) {
    c.send();
    // Line states with no byte after them go out a little later.
    EXPECT_TRUE(eventually([&] {
      const auto bytes = wire->wire();
      return sameFrames(runsOf({bytes.begin() + static_cast<long>(from), bytes.end()}), c.runs,
                        before);
    })) << c.name;
    from = wire->wire().size();
    before = c.runs.back().first;
  }
  EXPECT_EQ(wire->bitMode, 0x15);
  EXPECT_THAT(wire->rates, ::testing::Each(9600 * 8));
  port.ClosePort();
  const auto bytes = wire->wire();
  // Both lines were off already: only the held state came after.
  EXPECT_TRUE(std::all_of(bytes.begin() + static_cast<long>(from), bytes.end(),
                          [](int b) { return b == kIdle; }));
  EXPECT_EQ(wire->open, 0);
}

TEST_F(FtdiPath, TheLinesLoweredByTheCloseReachTheBoardBeforeTheAdapterGoesBack) {
  TSerialPort port(platform);
  startClick(port);
  port.SetRTS(true);
  port.SetDTR(true);
  port.ClosePort();
  Runs runs = runsOf(wire->wire());
  ASSERT_GE(runs.size(), 4u);
  EXPECT_TRUE(sameFrames({runs.end() - 4, runs.end()},
                         {{kData, 1}, {kDataClk, 1}, {kData, 1}, {kIdle, 1}}, kIdle));
  EXPECT_EQ(wire->open, 0);
  EXPECT_FALSE(port.IsOpen());
}

TEST_F(FtdiPath, DeliversEveryInputEdgeOnce) {
  TSerialPort port(platform);
  std::mutex mutex;
  std::vector<std::string> journal;
  const auto note = [&](const char* line) {
    return [&, line](TSerialPort&, bool on) {
      std::lock_guard lock(mutex);
      journal.push_back(std::string(line) + (on ? " on" : " off"));
    };
  };
  port.OnCTSChange = note("CTS");
  port.OnDSRChange = note("DSR");
  port.OnRLSDChange = note("DCD");
  startClick(port);
  const auto seen = [&](std::size_t n) {
    return eventually([&] {
      std::lock_guard lock(mutex);
      return journal.size() >= n;
    });
  };
  // Sampled with each byte the chip drives.
  std::size_t edges = 0;
  for (const int pin : {0x08, 0x20, 0x40}) {
    wire->set(static_cast<std::uint8_t>(0xFF & ~pin));
    ASSERT_TRUE(seen(++edges));
    wire->set(0xFF);
    ASSERT_TRUE(seen(++edges));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(30));  // nothing more comes
  std::lock_guard lock(mutex);
  EXPECT_THAT(journal, ::testing::ElementsAre("CTS on", "CTS off", "DSR on", "DSR off", "DCD on",
                                              "DCD off"));
}

TEST_F(FtdiPath, OpenFailuresSayWhatIsWrong) {
  const struct {
    std::string port;
    sys::ftdi::OpenResult result;
    const char* message;
  } kCases[] = {
      {kFast, sys::ftdi::OpenResult::Missing, comport::msg::kNoSuchPort},
      {kFast, sys::ftdi::OpenResult::Busy, comport::msg::kPortBusy},
      {kFast, sys::ftdi::OpenResult::NoAccess, comport::msg::kNoUsbAccess},
      {kFast, sys::ftdi::OpenResult::Failed, comport::msg::kSetupComm},
      // Not an FTDI adapter, and no adapter at all.
      {"ttyUSB1 (FTDI, быстрый)", sys::ftdi::OpenResult::Ok, comport::msg::kNoSuchPort},
      {"ttyUSB7 (FTDI, быстрый)", sys::ftdi::OpenResult::Ok, comport::msg::kNoSuchPort},
  };
  for (const auto& c : kCases) {
    wire->openResult = c.result;
    TSerialPort port(platform);
    port.setPort(c.port);
    expectThrows([&] { port.OpenPort(); }, c.message);
    EXPECT_FALSE(port.IsOpen()) << c.port;
    EXPECT_EQ(wire->open, 0) << c.port;
  }
  wire->openResult = sys::ftdi::OpenResult::Ok;
  TSerialPort holder(platform);
  startClick(holder);
  TSerialPort second(platform);
  second.setPort(kFast);
  expectThrows([&] { second.OpenPort(); }, comport::msg::kPortBusy);
  EXPECT_EQ(wire->opened.size(), 1u);
}

TEST_F(FtdiPath, AnUnpluggedAdapterFailsTheNextLineSwitchAndWrite) {
  TSerialPort port(platform);
  startClick(port);
  {
    std::lock_guard lock(wire->mutex);
    wire->gone = true;
  }
  // The pins read between frames find it gone.
  ASSERT_TRUE(eventually([&] {
    try {
      port.SetRTS(true);
      return false;
    } catch (const comport::EComPort& e) {
      return std::string(e.what()) == comport::msg::kEscapeCommFunction;
    }
  }));
  expectThrows([&] { port.WriteText("\x01"); }, comport::msg::kWriteError);
}

}  // namespace
