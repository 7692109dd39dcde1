// The emulated FT232R's bit-bang modes as libftdi drives them: a step frame
// written as pin states reaches the same board model, with the same wire log
// and latched registers as through ftdi_sio; synchronous mode reads back each
// pin state before the next; closing gives the tty back to ftdi_sio.
#include <chrono>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <libftdi1/ftdi.h>
#include <sys/stat.h>

#include "hil/hil_fixture.h"

namespace hil {
namespace {

constexpr unsigned char kTxd = 0x01, kRts = 0x04, kDtr = 0x10;
constexpr unsigned char kOutputs = kTxd | kRts | kDtr;
// The inputs as the board sets them below: CTS# pulled low (active); RXD,
// DSR#, DCD# and RI# high.
constexpr unsigned char kInputsCtsActive = 0xFF & ~(kOutputs | 0x08);

struct Chip {
  int mode = -1;
  unsigned mask = 0, latency = 0, pins = 0;
  double baud = 0;
};

Chip chip() {
  std::istringstream in(link().chip());
  Chip c;
  in >> c.mode >> std::hex >> c.mask >> std::dec >> c.latency >> c.baud >> std::hex >> c.pins;
  return c;
}

// A step frame as pin states: per channel the data on RTS#, then DTR# low
// and high again (both active low); then the latch byte 0x01 on TXD as a
// 9600 8N1 frame, `perBit` pin states a bit.
std::vector<unsigned char> framePins(const std::vector<bool>& bits, int perBit) {
  std::vector<unsigned char> pins;
  unsigned char idle = kOutputs;
  for (bool bit : bits) {
    idle = static_cast<unsigned char>(bit ? kOutputs & ~kRts : kOutputs);
    pins.push_back(idle);
    pins.push_back(static_cast<unsigned char>(idle & ~kDtr));
    pins.push_back(idle);
  }
  const int latch[10] = {0, 1, 0, 0, 0, 0, 0, 0, 0, 1};  // start, 0x01 LSB first, stop
  for (int level : latch) {
    for (int i = 0; i < perBit; ++i) {
      pins.push_back(static_cast<unsigned char>(level ? idle : idle & ~kTxd));
    }
  }
  return pins;
}

class BitBangTest : public ::testing::TestWithParam<ftdi_mpsse_mode> {
 protected:
  void SetUp() override {
    link().reset(Board::Emulated);
    link().setInputs(Board::Emulated, true, false, false);
    ftdi = ftdi_new();
    ASSERT_NE(ftdi, nullptr);
    ftdi->module_detach_mode = AUTO_DETACH_REATACH_SIO_MODULE;
    // By its serial number: QEMU's adapter has the same VID and PID.
    ASSERT_EQ(ftdi_usb_open_desc(ftdi, 0x0403, 0x6001, nullptr, "RV48EMU1"), 0)
        << ftdi_get_error_string(ftdi);
  }

  void TearDown() override {
    close();
    link().setInputs(Board::Emulated, false, false, false);
  }

  // Releasing the interface hands the chip back to ftdi_sio.
  void close() {
    if (ftdi == nullptr) return;
    ftdi_usb_close(ftdi);
    ftdi_free(ftdi);
    ftdi = nullptr;
  }

  ftdi_context* ftdi = nullptr;
};

TEST_P(BitBangTest, FramePinsLatchTheChainAndReadBack) {
  ASSERT_EQ(ftdi_set_bitmode(ftdi, kOutputs, GetParam()), 0) << ftdi_get_error_string(ftdi);
  // libftdi asks for four times this in bit-bang mode, and the pins move at
  // 16 times the chip's rate: 16 pin states for each bit at 9600.
  ASSERT_EQ(ftdi_set_baudrate(ftdi, 2400), 0);
  ASSERT_EQ(ftdi_tciflush(ftdi), 0);
  const Chip before = chip();
  EXPECT_EQ(before.mode, GetParam());
  EXPECT_EQ(before.mask, kOutputs);
  ASSERT_EQ(before.baud, 9600);
  link().log(Board::Emulated);  // the mode switch's own edges

  unsigned latches = 0;
  for (const auto& bits :
       {bitsFor({1}), bitsFor({48}), bitsFor({1, 9, 17, 40, 48}), std::vector<bool>(48, false)}) {
    const std::vector<unsigned char> pins = framePins(bits, 16);
    const unsigned char first = static_cast<unsigned char>(chip().pins);
    ASSERT_EQ(ftdi_write_data(ftdi, pins.data(), static_cast<int>(pins.size())),
              static_cast<int>(pins.size()));
    if (GetParam() == BITMODE_SYNCBB) {
      std::vector<unsigned char> back(pins.size());
      std::size_t got = 0;
      ASSERT_TRUE(waitFor([&] {
        const int n = ftdi_read_data(ftdi, back.data() + got, static_cast<int>(back.size() - got));
        got += n > 0 ? static_cast<std::size_t>(n) : 0;
        return got == back.size();
      })) << got
          << " of " << back.size() << " pin states read back";
      // Each read is of the pins just before the next write.
      EXPECT_EQ(back[0], first);
      std::size_t wrong = 0;
      for (std::size_t i = 1; i < back.size(); ++i) {
        wrong += back[i] != ((pins[i - 1] & kOutputs) | kInputsCtsActive);
      }
      EXPECT_EQ(wrong, 0u) << "pin states read back wrong";
    }
    EXPECT_EQ(checkFrame(link().log(Board::Emulated), bits), "");
    const Latched out = link().outputs(Board::Emulated);
    EXPECT_EQ(out.registers, registersFor(bits));
    EXPECT_EQ(out.latches, ++latches);
    EXPECT_EQ(link().lines(Board::Emulated), std::make_pair(bool(bits[47]), false));
  }
  unsigned char pins = 0;
  ASSERT_EQ(ftdi_read_pins(ftdi, &pins), 0);
  EXPECT_EQ(pins, kOutputs | kInputsCtsActive) << "all-off frame: every output high";
  unsigned short status = 0;
  ASSERT_EQ(ftdi_poll_modem_status(ftdi, &status), 0);
  EXPECT_EQ(status & 0xF0, 0x10) << "CTS active, DSR, RI and DCD not";

  ASSERT_EQ(ftdi_set_bitmode(ftdi, 0, BITMODE_RESET), 0);
  EXPECT_EQ(chip().mode, 0);
  close();
  struct stat info {};
  EXPECT_TRUE(waitFor([&] { return ::stat("/dev/ttyUSB1", &info) == 0; }))
      << "ftdi_sio did not take the chip back";
}

INSTANTIATE_TEST_SUITE_P(Rig, BitBangTest, ::testing::Values(BITMODE_SYNCBB, BITMODE_BITBANG),
                         [](const auto& info) {
                           return info.param == BITMODE_SYNCBB ? "Sync" : "Async";
                         });

}  // namespace
}  // namespace hil
