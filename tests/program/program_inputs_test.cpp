// The three inputs through the program: the matching rule applied by the
// manual buttons and the line handlers, the state labels they repaint, and a
// line change on the virtual board travelling through the port's event thread
// into the next step frame.
#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "comport/sys/virtual_board.h"
#include "inputs/matching.h"
#include "program/program.h"
#include "storage/file_test_support.h"
#include "storage/table_file.h"
#include "support/gui_queue.h"
#include "support/sequencer_setup.h"

using testing_support::enableAllChannels;
using testing_support::putCell;
using testing_support::setChannelEnabled;

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

using Flags = std::array<std::int32_t, inputs::kOutputs>;

class RecordingErrors : public program::ErrorSink {
 public:
  void showError(const std::string& message) override { shown.push_back(message); }
  std::vector<std::string> shown;
};

// Box items.
constexpr std::int32_t kNone = 0;
constexpr std::int32_t kIn1 = 1;
constexpr std::int32_t kIn2 = 2;
constexpr std::int32_t kIn3 = 3;

class ProgramInputsTest : public ::testing::Test {
 protected:
  ProgramInputsTest()
      : program(*board, &queue, errors, folder.path(storage::kTableFileName),
                folder.path("Rilvet.dat")) {
    enableAllChannels(program.player());
  }

  // Output k's switch-on and switch-off boxes.
  void match(int output, std::int32_t on, std::int32_t off) {
    program.matching().setBox(2 * output - 1, on);
    program.matching().setBox(2 * output, off);
  }

  Flags flags() const {
    Flags out{};
    for (int k = 1; k <= inputs::kOutputs; ++k)
      out[k - 1] = program.player().ChannelEnabled()[k - 1];
    return out;
  }

  void setFlags(const Flags& values) {
    for (int k = 1; k <= inputs::kOutputs; ++k)
      setChannelEnabled(program.player(), k, values[k - 1]);
  }

  // The labels as "A" (активн on fuchsia), "P" (пассив on aqua) or "?" for
  // anything else, output 1 first.
  std::string labels() const {
    std::string out;
    for (int k = 1; k <= inputs::kOutputs; ++k) {
      const inputs::StateLabel& label = program.matching().label(k);
      if (label.text == "активн" && label.color == table::clFuchsia) {
        out += 'A';
      } else if (label.text == "пассив" && label.color == table::clAqua) {
        out += 'P';
      } else {
        out += '?';
      }
    }
    return out;
  }

  static std::string labelsFor(const Flags& values) {
    std::string out;
    for (std::int32_t v : values) out += v == 1 ? 'A' : 'P';
    return out;
  }

  comport::TSerialPort& port() { return program.player().SerialPort1(); }

  // The six input operations, each as it activates its input, and the three
  // line handlers with the line going inactive.
  std::vector<std::pair<std::string, std::function<void()>>> everyInputOperation() {
    return {
        {"BitBtn7", [this] { program.BitBtn7Click(); }},
        {"BitBtn8", [this] { program.BitBtn8Click(); }},
        {"BitBtn9", [this] { program.BitBtn9Click(); }},
        {"RLSD on", [this] { program.SerialPort1RLSDChange(port(), true); }},
        {"CTS on", [this] { program.SerialPort1CTSChange(port(), true); }},
        {"DSR on", [this] { program.SerialPort1DSRChange(port(), true); }},
        {"RLSD off", [this] { program.SerialPort1RLSDChange(port(), false); }},
        {"CTS off", [this] { program.SerialPort1CTSChange(port(), false); }},
        {"DSR off", [this] { program.SerialPort1DSRChange(port(), false); }},
    };
  }

  // The GUI thread's loop, with a deadline.
  bool pumpUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    for (;;) {
      queue.checkSynchronize();
      if (done()) return true;
      if (std::chrono::steady_clock::now() > deadline) return false;
      queue.waitForWork(5);
    }
  }

  std::vector<int> channelsOn() const {
    std::vector<int> on;
    for (int k = 1; k <= table::kChannels; ++k) {
      if (board->channelOutput(k)) on.push_back(k);
    }
    return on;
  }

  testing_support::TempFolder folder;
  std::shared_ptr<sys::VirtualBoard> board = std::make_shared<sys::VirtualBoard>();
  testing_support::GuiQueue queue;
  RecordingErrors errors;
  program::Program program;  // last: its port closes while the above still exist
};

// ---------------------------------------------------------------- the rule

TEST_F(ProgramInputsTest, WithEveryBoxAtNoInputNothingChangesButTheLabelsArePainted) {
  const Flags pattern = {0, 1, 0, 1, 1, 0, 0, 1};
  const auto& enabled = program.player().ChannelEnabled();
  for (const auto& [name, operation] : everyInputOperation()) {
    SCOPED_TRACE(name);
    setFlags(pattern);
    for (int k = 9; k <= table::kChannels; ++k) {
      setChannelEnabled(program.player(), k, k % 3 == 0 ? 0 : 1);
    }
    const auto before = enabled;
    program.matching().showNoLink();
    operation();
    EXPECT_EQ(enabled, before);
    EXPECT_EQ(labels(), labelsFor(pattern));
  }
}

TEST_F(ProgramInputsTest, TheSameInputInBothBoxesTogglesTheOutputAtEveryPress) {
  match(1, kIn2, kIn2);
  std::vector<std::int32_t> seen;
  std::vector<std::string> painted;
  for (int press = 0; press < 4; ++press) {
    program.BitBtn8Click();
    seen.push_back(flags()[0]);
    painted.push_back(labels().substr(0, 1));
  }
  EXPECT_THAT(seen, ElementsAre(0, 1, 0, 1));
  EXPECT_THAT(painted, ElementsAre("P", "A", "P", "A"));
  // The other inputs leave it alone; its line does the same as its button.
  program.BitBtn7Click();
  program.BitBtn9Click();
  EXPECT_EQ(flags()[0], 1);
  program.SerialPort1CTSChange(port(), true);
  EXPECT_EQ(flags()[0], 0);
  program.SerialPort1CTSChange(port(), true);
  EXPECT_EQ(flags()[0], 1);
  EXPECT_EQ(flags(), (Flags{1, 1, 1, 1, 1, 1, 1, 1}));
}

TEST_F(ProgramInputsTest, OneInputSwitchesSeveralOutputsOnAndOffInOneActivation) {
  match(1, kNone, kIn3);  // off
  match(2, kIn3, kNone);  // on
  match(3, kIn3, kIn3);   // toggled
  match(4, kIn1, kIn2);   // other inputs only
  match(5, kNone, kIn3);  // off, and already off
  match(6, kIn3, kIn1);   // on
  match(7, kIn2, kIn3);   // off
  match(8, kIn3, kNone);  // on, and already on
  const Flags start = {1, 0, 1, 1, 0, 0, 1, 1};
  const Flags after = {0, 1, 0, 1, 0, 1, 0, 1};

  setFlags(start);
  program.BitBtn9Click();
  EXPECT_EQ(flags(), after);
  EXPECT_EQ(labels(), labelsFor(after));

  setFlags(start);
  program.SerialPort1DSRChange(port(), true);
  EXPECT_EQ(flags(), after);
  EXPECT_EQ(labels(), labelsFor(after));
}

TEST_F(ProgramInputsTest, ALineGoingInactiveSwitchesNothing) {
  match(1, kIn1, kNone);
  match(2, kNone, kIn2);
  match(3, kIn3, kIn3);
  const Flags start = {0, 1, 1, 1, 1, 1, 1, 1};
  setFlags(start);
  program.matching().showNoLink();
  program.SerialPort1RLSDChange(port(), false);
  program.SerialPort1CTSChange(port(), false);
  program.SerialPort1DSRChange(port(), false);
  EXPECT_EQ(flags(), start);
  EXPECT_EQ(labels(), labelsFor(start));
  // The same lines going active do switch.
  program.SerialPort1RLSDChange(port(), true);
  program.SerialPort1CTSChange(port(), true);
  program.SerialPort1DSRChange(port(), true);
  EXPECT_EQ(flags(), (Flags{1, 0, 0, 1, 1, 1, 1, 1}));
}

TEST_F(ProgramInputsTest, FlagsThatAreNeitherZeroNorOneAreLeftAlone) {
  match(1, kIn1, kIn1);
  match(2, kIn2, kNone);
  match(3, kNone, kIn2);
  match(4, kIn3, kIn3);
  const Flags start = {2, -1, 7, -5, 1, 1, 1, 1};
  setFlags(start);
  for (const auto& [name, operation] : everyInputOperation()) {
    SCOPED_TRACE(name);
    operation();
    EXPECT_EQ(flags(), start);
  }
  // Painted as not enabled: only 1 counts as enabled.
  EXPECT_EQ(labels(), "PPPPAAAA");
}

TEST_F(ProgramInputsTest, OutputsAfterTheEighthAreNeverTouched) {
  for (int k = 1; k <= inputs::kOutputs; ++k) match(k, kIn1, kIn1);
  const auto& enabled = program.player().ChannelEnabled();
  program.player().setChannelEnabled({});
  program.BitBtn7Click();
  for (int k = 1; k <= table::kChannels; ++k) EXPECT_EQ(enabled[k - 1], k <= 8 ? 1 : 0) << k;
  program.SerialPort1RLSDChange(port(), true);
  for (int k = 1; k <= table::kChannels; ++k) EXPECT_EQ(enabled[k - 1], 0) << k;
}

// ---------------------------------------------------------------- end to end

TEST_F(ProgramInputsTest, ACtsInputHoldsItsOutputOffInTheNextFrames) {
  program.form().setComboText(sys::kVirtualPort);
  putCell(program.table(), 0, 1, "1");
  putCell(program.table(), 0, 3, "1");
  program.table().setColCount(2);
  match(3, kNone, kIn2);
  program.player().startOrPause();
  ASSERT_TRUE(program.player().SerialPort1().IsOpen());
  testing_support::stepTick(program.player());
  EXPECT_THAT(channelsOn(), ElementsAre(1, 3));

  board->setCts(true);
  ASSERT_TRUE(pumpUntil([&] { return program.player().ChannelEnabled()[2] == 0; }));
  EXPECT_EQ(flags(), (Flags{1, 1, 0, 1, 1, 1, 1, 1}));
  EXPECT_EQ(labels(), "AAPAAAAA");

  testing_support::stepTick(program.player());
  EXPECT_TRUE(program.table().cells().isOne(program.player().StepColumn(), 3));
  EXPECT_THAT(channelsOn(), ElementsAre(1));
  EXPECT_FALSE(program.form().indicatorOn()[2]);

  // Paused, the same column is sent again, still without output 3.
  program.player().startOrPause();
  ASSERT_EQ(program.player().StepRunning(), 0);
  testing_support::stepTick(program.player());
  EXPECT_EQ(program.player().StepColumn(), 0);
  EXPECT_THAT(channelsOn(), ElementsAre(1));

  testing_support::stop(program.player());
  EXPECT_FALSE(program.player().SerialPort1().IsOpen());
  EXPECT_THAT(errors.shown, IsEmpty());
}

TEST_F(ProgramInputsTest, EachPortLineIsItsOwnInput) {
  program.form().setComboText(sys::kVirtualPort);
  match(1, kNone, kIn1);
  match(2, kNone, kIn2);
  match(3, kNone, kIn3);
  match(4, kIn1, kIn3);
  program.player().startOrPause();
  ASSERT_TRUE(program.player().SerialPort1().IsOpen());

  board->setRlsd(true);
  ASSERT_TRUE(pumpUntil([&] { return flags()[0] == 0; }));
  EXPECT_EQ(flags(), (Flags{0, 1, 1, 1, 1, 1, 1, 1}));
  board->setCts(true);
  ASSERT_TRUE(pumpUntil([&] { return flags()[1] == 0; }));
  EXPECT_EQ(flags(), (Flags{0, 0, 1, 1, 1, 1, 1, 1}));
  board->setDsr(true);
  ASSERT_TRUE(pumpUntil([&] { return flags()[2] == 0; }));
  EXPECT_EQ(flags(), (Flags{0, 0, 0, 0, 1, 1, 1, 1}));
  // RLSD again: a fall and a rise switch output 4 on and leave output 1 off.
  board->setRlsd(false);
  board->setRlsd(true);
  ASSERT_TRUE(pumpUntil([&] { return flags()[3] == 1; }));
  EXPECT_EQ(flags(), (Flags{0, 0, 0, 1, 1, 1, 1, 1}));

  testing_support::stop(program.player());
  EXPECT_THAT(errors.shown, IsEmpty());
}

}  // namespace
