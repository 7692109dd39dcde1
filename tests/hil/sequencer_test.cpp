// The step and all-off frames and a whole run, from the sequencer through the
// Linux backend and the guest's drivers to the board on the host.
#include "sequencer/sequencer.h"

#include <filesystem>
#include <fstream>
#include <future>

#include <glob.h>
#include <gmock/gmock.h>
#include <sys/stat.h>

#include "hil/hil_fixture.h"
#include "hil/linux_port.h"
#include "program/program.h"
#include "support/sequencer_access.h"
#include "support/temp_folder.h"

using testing_support::enableAllChannels;
using testing_support::setColCount;
using testing_support::stepTickMessage;
using testing_support::tableCells;

namespace hil {
namespace {

class FramesTest : public BoardTest {
 protected:
  FramesTest() : seq(linuxPlatform(), nullptr) {
    seq.setComboText(port());
    enableAllChannels(seq);
  }

  void setColumn(int col, const std::vector<bool>& bits) {
    for (int k = 1; k <= 48; ++k) tableCells(seq).setText(col, k, bits[k - 1] ? "1" : "0");
  }

  void start() {
    seq.startOrPause();
    ASSERT_TRUE(seq.SerialPort1().IsOpen());
    link().reset(board());
  }

  // One tick; the frame it sent must be exactly `bits`, latched as such.
  void expectTick(const std::vector<bool>& bits, unsigned latches) {
    seq.stepTick();
    EXPECT_EQ(checkFrame(link().log(board()), bits), "");
    const Latched out = link().outputs(board());
    EXPECT_EQ(out.registers, registersFor(bits));
    EXPECT_EQ(out.latches, latches);
  }

  sequencer::Sequencer seq;
};

TEST_P(FramesTest, StepFramesLatchExactlyTheirColumns) {
  const std::vector<std::vector<bool>> columns = {
      bitsFor({1}),
      bitsFor({48}),
      bitsFor({1, 8, 9, 16, 17, 24, 25, 32, 33, 40, 41, 48}),
      std::vector<bool>(48, true),
      std::vector<bool>(48, false),
  };
  for (std::size_t c = 0; c < columns.size(); ++c) setColumn(static_cast<int>(c), columns[c]);
  setColCount(seq, static_cast<int>(columns.size()) + 1);
  start();
  for (std::size_t c = 0; c < columns.size(); ++c) {
    SCOPED_TRACE("column " + std::to_string(c));
    expectTick(columns[c], static_cast<unsigned>(c + 1));
    EXPECT_EQ(seq.StepColumn(), static_cast<int>(c));
  }
  // Between frames DTR rests low and RTS holds the last bit.
  EXPECT_EQ(link().lines(board()), std::make_pair(false, false));
  seq.stop();
  EXPECT_FALSE(seq.SerialPort1().IsOpen());
}

TEST_P(FramesTest, RunPlaysTheColumnsInOrderAndStopSwitchesEverythingOff) {
  const std::vector<std::vector<bool>> columns = {bitsFor({1, 2}), bitsFor({3}), bitsFor({47, 48})};
  for (std::size_t c = 0; c < columns.size(); ++c) setColumn(static_cast<int>(c), columns[c]);
  setColCount(seq, 4);
  start();
  unsigned latches = 0;
  for (int tick = 0; tick < 7; ++tick) {
    SCOPED_TRACE("tick " + std::to_string(tick));
    expectTick(columns[tick % 3], ++latches);
  }
  // Paused: the same column again.
  seq.startOrPause();
  EXPECT_EQ(seq.StepRunning(), 0);
  expectTick(columns[0], ++latches);

  seq.stop();
  EXPECT_EQ(checkFrame(link().log(board()), std::vector<bool>(48, false)), "") << "all-off frame";
  const Latched out = link().outputs(board());
  EXPECT_EQ(out.registers, (std::array<std::uint8_t, 6>{}));
  EXPECT_EQ(out.latches, latches + 1);
  EXPECT_FALSE(seq.SerialPort1().IsOpen());
  EXPECT_EQ(link().lines(board()), std::make_pair(false, false));
}

INSTANTIATE_TEST_SUITE_P(Rig, FramesTest,
                         ::testing::Values(Board::Uart, Board::Adapter, Board::Emulated),
                         boardName);

class RecordedErrors : public program::ErrorSink {
 public:
  void showError(const std::string& message) override { messages.push_back(message); }
  std::vector<std::string> messages;
};

bool isPortMessage(const std::string& text) {
  return text == "Ошибка функции EscapeCommFunction" || text == "Ошибка записи в порт" ||
         text == "Ошибка функции PurgeComm";
}

// Whether the emulated FT232R (known by its serial number) has a tty.
bool emulatedAdapterTty() {
  glob_t found{};
  bool present = false;
  if (::glob("/sys/bus/usb/devices/*/serial", 0, nullptr, &found) == 0) {
    for (std::size_t i = 0; i < found.gl_pathc && !present; ++i) {
      std::ifstream serial(found.gl_pathv[i]);
      std::string text;
      std::getline(serial, text);
      if (text != "RV48EMU1") continue;
      const std::string device = std::filesystem::path(found.gl_pathv[i]).parent_path().string();
      glob_t tty{};
      present = ::glob((device + "/*:1.0/ttyUSB*").c_str(), 0, nullptr, &tty) == 0;
      globfree(&tty);
    }
  }
  globfree(&found);
  return present;
}

// Pulling an adapter out while a run plays. It runs last: QEMU's adapter
// does not come back (the emulated one is plugged in again at the end).
class AdapterUnplugTest : public BoardTest {};

TEST_P(AdapterUnplugTest, RunFailsWithPortErrorsAndCloseStillEnds) {
  RecordedErrors errors;
  const testing_support::TempFolder folder;
  program::Program program(linuxPlatform(), nullptr, errors, folder.path("unplug_table.txt"),
                           folder.path("unplug.dat"));
  sequencer::Sequencer& seq = program.sequencer();
  seq.setComboText(port());
  enableAllChannels(seq);
  tableCells(seq).setText(0, 1, "1");
  tableCells(seq).setText(1, 2, "1");
  setColCount(seq, 3);
  seq.startOrPause();
  ASSERT_TRUE(seq.SerialPort1().IsOpen());
  EXPECT_EQ(stepTickMessage(seq), std::nullopt);
  EXPECT_EQ(stepTickMessage(seq), std::nullopt);
  EXPECT_EQ(link().outputs(board()).latches, 2u);

  link().unplug(board());
  struct stat info {};
  const std::string path = std::string("/dev/") + port();
  ASSERT_TRUE(waitFor([&] { return ::stat(path.c_str(), &info) != 0; }, std::chrono::seconds(20)))
      << "the adapter's tty did not go away";

  // Whatever the failing calls do, none of it may hang.
  auto run = std::async(std::launch::async, [&] {
    const auto message = stepTickMessage(seq);
    program.FormClose();
    return message;
  });
  ASSERT_EQ(run.wait_for(std::chrono::seconds(60)), std::future_status::ready)
      << "a tick and the close sequence on an unplugged adapter did not end";
  const auto message = run.get();
  ASSERT_TRUE(message.has_value());
  EXPECT_TRUE(isPortMessage(*message)) << *message;
  EXPECT_FALSE(seq.SerialPort1().IsOpen());
  for (const auto& m : errors.messages) {
    EXPECT_TRUE(isPortMessage(m)) << "close sequence message: " << m;
  }
  EXPECT_EQ(link().outputs(board()).latches, 2u) << "nothing latched after the unplug";
  if (board() == Board::Emulated) {
    // Plugged in again it gets the lowest free ttyUSB, whichever that is.
    link().plug(board());
    EXPECT_TRUE(waitFor([] { return emulatedAdapterTty(); }, std::chrono::seconds(20)))
        << "the emulated adapter did not come back";
  }
}

INSTANTIATE_TEST_SUITE_P(Rig, AdapterUnplugTest, ::testing::Values(Board::Adapter, Board::Emulated),
                         boardName);

}  // namespace
}  // namespace hil
