// The FTDI fast path on the emulated FT232R: the program's own backend
// drives the chip through libftdi in bit-bang mode, and the board behind its
// pins must see what it sees through ftdi_sio.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <sstream>
#include <thread>

#include <glob.h>
#include <gmock/gmock.h>
#include <sys/stat.h>

#include "comport/serial_port.h"
#include "comport/sys/linux_ftdi_platform.h"
#include "hil/hil_fixture.h"
#include "hil/linux_port.h"
#include "program/program.h"
#include "sequencer/main_form_state.h"
#include "sequencer/player.h"
#include "sequencer/sequence_table.h"
#include "support/sequencer_setup.h"
#include "support/temp_folder.h"

using testing_support::enableAllChannels;
using testing_support::putCell;
using testing_support::stepTickMessage;

namespace hil {
namespace {

using comport::TSerialPort;
constexpr Board kChip = Board::Emulated;

sys::Backends fastBackends() {
  return sys::Backends(linuxPlatform(), nullptr, &sys::ftdiPlatform());
}

// The emulated chip's tty (known by its serial number), or "" while it has
// none: after an unplug it comes back on the lowest free ttyUSB.
std::string chipTty() {
  glob_t found{};
  std::string tty;
  if (::glob("/sys/bus/usb/devices/*/serial", 0, nullptr, &found) == 0) {
    for (std::size_t i = 0; i < found.gl_pathc && tty.empty(); ++i) {
      std::ifstream serial(found.gl_pathv[i]);
      std::string text;
      std::getline(serial, text);
      if (text != "RV48EMU1") continue;
      const std::string device = std::filesystem::path(found.gl_pathv[i]).parent_path().string();
      glob_t ttys{};
      if (::glob((device + "/*:1.0/ttyUSB*").c_str(), 0, nullptr, &ttys) == 0) {
        tty = std::filesystem::path(ttys.gl_pathv[0]).filename().string();
      }
      globfree(&ttys);
    }
  }
  globfree(&found);
  return tty;
}

std::string fastPort() {
  std::string tty;
  waitFor([&] { return !(tty = chipTty()).empty(); }, std::chrono::seconds(20));
  return sys::ftdiPortName(tty);
}

class FastPathFramesTest : public ::testing::Test {
 protected:
  FastPathFramesTest() : tty(chipTty()), player(fastBackends(), nullptr, table, form) {
    link().reset(kChip);
    form.setComboText(sys::ftdiPortName(tty));
    enableAllChannels(player);
  }

  void setColumn(int col, const std::vector<bool>& bits) {
    for (int k = 1; k <= 48; ++k) putCell(table, col, k, bits[k - 1] ? "1" : "0");
  }

  std::string tty;
  sequencer::SequenceTable table;
  sequencer::MainFormState form;
  sequencer::Player player;
};

// The same frames, pin by pin, as FramesTest sends through ftdi_sio; stop
// sends the all-off frame and gives the adapter back to ftdi_sio.
TEST_F(FastPathFramesTest, FramesLatchTheirColumnsAndCloseGivesTheTtyBack) {
  ASSERT_FALSE(tty.empty()) << "no emulated FT232R";
  const std::vector<std::vector<bool>> columns = {
      bitsFor({1}),
      bitsFor({48}),
      bitsFor({1, 8, 9, 16, 17, 24, 25, 32, 33, 40, 41, 48}),
      std::vector<bool>(48, true),
      std::vector<bool>(48, false),
  };
  for (std::size_t c = 0; c < columns.size(); ++c) setColumn(static_cast<int>(c), columns[c]);
  table.setColCount(static_cast<int>(columns.size()) + 1);
  player.startOrPause();
  ASSERT_TRUE(player.SerialPort1().IsOpen());
  struct stat info {};
  EXPECT_NE(::stat(("/dev/" + tty).c_str(), &info), 0) << "ftdi_sio still holds the chip";
  // The lines lowered after the open go out on their own, before any frame.
  ASSERT_TRUE(waitFor([] { return link().lines(kChip) == std::make_pair(false, false); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  link().reset(kChip);
  unsigned latches = 0;
  for (std::size_t c = 0; c < columns.size(); ++c) {
    SCOPED_TRACE("column " + std::to_string(c));
    testing_support::stepTick(player);
    // The chip has taken the frame; it plays it after what it holds.
    EXPECT_TRUE(waitFor([&] { return link().outputs(kChip).latches == latches + 1; }));
    EXPECT_EQ(checkFrame(link().log(kChip), columns[c]), "");
    const Latched out = link().outputs(kChip);
    EXPECT_EQ(out.registers, registersFor(columns[c]));
    EXPECT_EQ(out.latches, ++latches);
  }
  EXPECT_EQ(link().lines(kChip), std::make_pair(false, false));
  setColumn(player.StepColumn(), bitsFor({48}));
  player.startOrPause();  // paused: the same column again, RTS left high
  testing_support::stepTick(player);
  EXPECT_EQ(checkFrame(link().log(kChip), bitsFor({48})), "");
  EXPECT_EQ(link().lines(kChip), std::make_pair(true, false));
  testing_support::stop(player);
  EXPECT_EQ(checkFrame(link().log(kChip), std::vector<bool>(48, false)), "") << "all-off frame";
  const Latched out = link().outputs(kChip);
  EXPECT_EQ(out.registers, (std::array<std::uint8_t, 6>{}));
  EXPECT_EQ(out.latches, latches + 2);
  EXPECT_EQ(link().lines(kChip), std::make_pair(false, false));
  EXPECT_FALSE(player.SerialPort1().IsOpen());
  EXPECT_TRUE(waitFor([&] { return ::stat(("/dev/" + tty).c_str(), &info) == 0; }))
      << "ftdi_sio did not take the chip back";
  std::istringstream chip(link().chip());
  int mode = -1;
  chip >> mode;
  EXPECT_EQ(mode, 0) << "the chip left in bit-bang mode";
}

class FastPathInputsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    link().reset(kChip);
    link().setInputs(kChip, false, false, false);
    port.setPort(fastPort());
    port.OnCTSChange = [this](TSerialPort&, bool state) { record('C', state); };
    port.OnDSRChange = [this](TSerialPort&, bool state) { record('D', state); };
    port.OnRLSDChange = [this](TSerialPort&, bool state) { record('R', state); };
    port.OpenPort();
  }
  void TearDown() override {
    port.ClosePort();
    link().setInputs(kChip, false, false, false);
  }

  void record(char line, bool state) {
    std::lock_guard<std::mutex> hold(mutex);
    events.emplace_back(line, state);
    changed.notify_all();
  }
  bool seen(char line, int state = -1) {
    std::unique_lock<std::mutex> hold(mutex);
    return changed.wait_for(hold, std::chrono::seconds(5), [&] {
      return std::any_of(events.begin(), events.end(), [&](const auto& e) {
        return e.first == line && (state < 0 || e.second == (state == 1));
      });
    });
  }
  void forget() {
    std::lock_guard<std::mutex> hold(mutex);
    events.clear();
  }

  TSerialPort port{fastBackends()};
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::pair<char, bool>> events;
};

TEST_F(FastPathInputsTest, EachInputReachesItsHandlerWithItsLevel) {
  const struct {
    char line;
    bool cts, dsr, dcd;
  } kInputs[] = {{'C', true, false, false}, {'D', false, true, false}, {'R', false, false, true}};
  for (const auto& input : kInputs) {
    SCOPED_TRACE(input.line);
    forget();
    link().setInputs(kChip, input.cts, input.dsr, input.dcd);
    EXPECT_TRUE(seen(input.line, 1));
    link().setInputs(kChip, false, false, false);
    EXPECT_TRUE(seen(input.line, 0));
  }
}

// Pulses of 2 ms, between frames and while frames go out back to back: the
// chip samples the pins with every byte it drives, and never stops driving.
// Under QEMU's TCG the guest now and then stalls for longer than the chip
// holds, and its pins run dry (DRY): a pulse that falls there is the rig's,
// counted and printed; any other pulse lost fails.
constexpr int kPulseMs = 2;

TEST_F(FastPathInputsTest, ShortPulsesAreNotLost) {
  for (const bool playing : {false, true}) {
    SCOPED_TRACE(playing ? "playing" : "paused");
    std::atomic<bool> stop{false};
    std::string failure;
    std::thread frames([&] {
      try {
        while (playing && !stop) {
          for (int k = 1; k <= 48; ++k) {
            port.SetRTS(k % 3 == 0);
            port.SetDTR(true);
            port.SetDTR(false);
          }
          port.WriteText("\x01");
        }
      } catch (const comport::EComPort& e) {
        failure = e.what();
      }
    });
    int lostToDryPins = 0;
    for (const char* line : {"CTS", "DSR", "DCD", "CTS", "DSR", "DCD"}) {
      link().dry();
      forget();
      link().pulse(kChip, line, kPulseMs);
      const bool pulseSeen = seen(line[0] == 'D' && line[1] == 'C' ? 'R' : line[0]);
      std::istringstream dry(link().dry());  // "OK times longest_ms"
      std::string ok;
      unsigned times = 0;
      dry >> ok >> times;
      if (!pulseSeen && times > 0) ++lostToDryPins;
      EXPECT_TRUE(pulseSeen || times > 0) << line << " lost, the chip fed all the while";
    }
    std::printf("2 ms pulses %s lost where the emulated chip's pins ran dry: %d of 6\n",
                playing ? "playing" : "paused", lostToDryPins);
    stop = true;
    frames.join();
    EXPECT_EQ(failure, "");
  }
}

// One step frame through ftdi_sio and the same frame through the fast path:
// the board behind the chip sees the same levels in the same order.
TEST(FastPathWireTest, AStepFrameGivesTheSameWireLogOnBothPaths) {
  std::vector<bool> bits(48, false);
  for (int k = 0; k < 48; k += 5) bits[static_cast<std::size_t>(k)] = true;
  const auto frameLog = [&bits](sys::Backends backends, const std::string& name) {
    TSerialPort port(backends);
    port.setPort(name);
    port.OpenPort();
    port.SetRTS(false);
    port.SetDTR(false);
    // The lines the open raised and lowered go out on their own, a little later.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(waitFor([] { return link().lines(kChip) == std::make_pair(false, false); }));
    link().reset(kChip);
    for (const bool bit : bits) {
      port.SetRTS(bit);
      port.SetDTR(true);
      port.SetDTR(false);
    }
    port.WriteText("\x01");
    EXPECT_TRUE(waitFor([] { return link().outputs(kChip).latches == 1; }));
    const std::vector<std::string> log = link().log(kChip);
    port.ClosePort();
    return log;
  };
  const std::vector<std::string> tty = frameLog(linuxPlatform(), chipTty());
  const std::vector<std::string> fast = frameLog(fastBackends(), fastPort());
  EXPECT_EQ(checkFrame(tty, bits), "");
  EXPECT_EQ(fast, tty);
  std::string shown;
  for (const std::string& token : tty) shown += " " + token;
  std::printf("one frame, %zu tokens on both paths:%s\n", tty.size(), shown.c_str());
}

// Pulled out during a run, as AdapterUnplugTest on the ftdi_sio path; it
// runs in that group, last, and plugs the chip in again.
TEST(FastPathAdapterUnplugTest, RunFailsWithPortErrorsAndCloseStillEnds) {
  struct Errors : program::ErrorSink {
    void showError(const std::string& message) override { messages.push_back(message); }
    std::vector<std::string> messages;
  } errors;
  const testing_support::TempFolder folder;
  program::Program program(fastBackends(), nullptr, errors, folder.path("unplug_table.txt"),
                           folder.path("unplug.dat"));
  sequencer::SequenceTable& table = program.table();
  sequencer::Player& player = program.player();
  program.form().setComboText(fastPort());
  enableAllChannels(player);
  putCell(table, 0, 1, "1");
  putCell(table, 1, 2, "1");
  table.setColCount(3);
  link().reset(kChip);
  player.startOrPause();
  ASSERT_TRUE(player.SerialPort1().IsOpen());
  EXPECT_EQ(stepTickMessage(player), std::nullopt);
  EXPECT_EQ(stepTickMessage(player), std::nullopt);
  EXPECT_EQ(link().outputs(kChip).latches, 2u);

  link().unplug(kChip);
  auto run = std::async(std::launch::async, [&] {
    // The pins read between frames find it gone within milliseconds.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto message = stepTickMessage(player);
    program.FormClose();
    return message;
  });
  ASSERT_EQ(run.wait_for(std::chrono::seconds(60)), std::future_status::ready)
      << "a tick and the close sequence on an unplugged adapter did not end";
  const auto message = run.get();
  ASSERT_TRUE(message.has_value());
  EXPECT_EQ(*message, comport::msg::kEscapeCommFunction);
  EXPECT_FALSE(player.SerialPort1().IsOpen());
  for (const auto& m : errors.messages) {
    EXPECT_TRUE(m == comport::msg::kEscapeCommFunction || m == comport::msg::kWriteError) << m;
  }
  EXPECT_EQ(link().outputs(kChip).latches, 2u) << "nothing latched after the unplug";
  link().plug(kChip);
  EXPECT_TRUE(waitFor([] { return !chipTty().empty(); }, std::chrono::seconds(20)))
      << "the emulated adapter did not come back";
}

}  // namespace
}  // namespace hil
