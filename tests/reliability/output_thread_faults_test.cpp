// The program with its frames on the output thread, as the windows run it:
// a board pulled out at any line operation, ticks that come due while a frame
// is on its way, stops and exits that meet a frame on its way. The wire and
// what the user is told are those of frames sent on the GUI thread; a frame
// is never cut by the program, and after the exit's all-off frame the board
// latches nothing.
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "rig.h"

namespace reliability {
namespace {

using comport::msg::kEscapeCommFunction;
using comport::msg::kWriteError;

constexpr int kFrameOperations = 145;

void startRunning(Rig& rig) {
  rig.start();
  ASSERT_TRUE(rig.player().SerialPort1().IsOpen());
  rig.tick(3);
  ASSERT_EQ(rig.board->outputBits(), rig.currentFrame());
  ASSERT_TRUE(rig.errors.messages.empty());
}

// Opens the gate a little later, from another thread, while this one waits.
class LateOpener {
 public:
  explicit LateOpener(testing_support::GatedPlatform& gate)
      : thread_([&gate] {
          std::this_thread::sleep_for(std::chrono::milliseconds(30));
          gate.open();
        }) {}
  ~LateOpener() { thread_.join(); }

 private:
  std::thread thread_;
};

TEST(OutputThreadFaults, AFrameCutAtAnyOperationLeavesTheLastWholeFrameAndTheNextReplacesIt) {
  for (int position = 1; position <= kFrameOperations; ++position) {
    SCOPED_TRACE("board gone at operation " + std::to_string(position) + " of the frame");
    Rig rig(true, true);
    startRunning(rig);
    const std::uint64_t before = rig.board->outputBits();
    const auto latched = rig.board->state().framesLatched;
    unplugAt(rig.platform, position);
    rig.tick(10);
    ASSERT_EQ(rig.errors.messages.size(), 1u);
    EXPECT_EQ(rig.errors.messages[0],
              position == kFrameOperations ? kWriteError : kEscapeCommFunction);
    EXPECT_EQ(rig.board->state().framesLatched, latched);
    EXPECT_EQ(rig.board->outputBits(), before);
    rig.platform.replug();
    for (int i = 0; i < 4; ++i) {
      rig.tick();
      ASSERT_EQ(rig.board->outputBits(), rig.currentFrame()) << "tick " << i << " after replug";
    }
    rig.stop();
    rig.expectStopped();
    EXPECT_EQ(rig.board->outputBits(), 0u);
    rig.editSomething();
    rig.program->FormClose();
    rig.expectNothingOpen();
    rig.expectFilesSaved();
    rig.expectOnlyWholeFramesLatched();
    if (HasFatalFailure() || HasNonfatalFailure()) return;
  }
}

TEST(OutputThreadFaults, TicksThatComeDueWhileAFrameIsOnItsWayGiveOneStepWhenItIsDone) {
  Rig rig(true, true);
  startRunning(rig);
  const auto latched = rig.board->state().framesLatched;
  const int column = rig.player().StepColumn();
  rig.gate.close();
  rig.program->Posilka();
  ASSERT_TRUE(rig.gate.waitHeld());
  for (int i = 0; i < 5; ++i) rig.program->Posilka();
  EXPECT_EQ(rig.gate.held(), 1) << "nothing queued behind the frame on its way";
  EXPECT_EQ(rig.player().StepColumn(), (column + 1) % 5);
  rig.gate.open();
  ASSERT_TRUE(rig.framesSent());
  // The frame, then one more step for all the ticks that came meanwhile.
  EXPECT_EQ(rig.board->state().framesLatched, latched + 2);
  EXPECT_EQ(rig.player().StepColumn(), (column + 2) % 5);
  EXPECT_EQ(rig.board->outputBits(), rig.currentFrame());
  // The marker and the indicators show the step the board latched.
  EXPECT_EQ(rig.table().cells().text(rig.player().StepColumn(), 0), "v");
  EXPECT_EQ(rig.form().statusText()[0], "Позиция " + std::to_string(rig.player().StepColumn() + 1));
  for (int k = 1; k <= 48; ++k) {
    EXPECT_EQ(rig.form().indicatorOn()[static_cast<std::size_t>(k - 1)],
              (rig.board->outputBits() >> (48 - k) & 1) != 0);
  }
  rig.stop();
  rig.expectStopped();
}

TEST(OutputThreadFaults, AStopShowsAtOnceAndSwitchesOffRightAfterTheFrameOnItsWay) {
  Rig rig(true, true);
  startRunning(rig);
  rig.gate.close();
  rig.program->Posilka();
  ASSERT_TRUE(rig.gate.waitHeld());
  const std::uint64_t onItsWay = rig.currentFrame();
  const auto latched = rig.board->state().framesLatched;

  rig.program->BitBtn2Click();
  EXPECT_FALSE(rig.form().timer1Enabled());
  EXPECT_EQ(rig.player().StepRunning(), 0);
  EXPECT_EQ(rig.form().fixedColor(), table::clSilver);
  EXPECT_TRUE(rig.player().SerialPort1().IsOpen()) << "closed once its all-off frame is out";
  EXPECT_TRUE(rig.program->stopping());
  // Start pressed meanwhile comes after the stop, as the user pressed it.
  rig.program->BitBtn1Click();
  EXPECT_EQ(rig.player().StepRunning(), 0);
  rig.program->Posilka();  // a tick already due: the timer is off now

  rig.gate.open();
  ASSERT_TRUE(rig.framesSent());
  const auto frames = rig.board->history();
  ASSERT_EQ(rig.board->state().framesLatched, latched + 2);
  EXPECT_EQ(frames[frames.size() - 2], onItsWay);
  EXPECT_EQ(frames.back(), 0u) << "the all-off frame right after";
  EXPECT_EQ(rig.board->state().openCount, 2) << "the start that waited opened the port again";
  EXPECT_TRUE(rig.player().SerialPort1().IsOpen());
  EXPECT_EQ(rig.player().StepRunning(), 1);
  EXPECT_EQ(rig.player().StepColumn(), -1);
  EXPECT_TRUE(rig.errors.messages.empty());
  rig.tick(2);
  EXPECT_EQ(rig.board->outputBits(), rig.currentFrame());
  rig.stop();
  rig.expectStopped();
}

TEST(OutputThreadFaults, AFrameOnItsWayWhenTheRunIsStoppedFailsAsPartOfThatRun) {
  Rig rig(true, true);
  startRunning(rig);
  unplug(rig.platform);
  rig.tick(5);
  ASSERT_EQ(rig.errors.messages, std::vector<std::string>{kEscapeCommFunction});
  rig.gate.close();
  rig.program->Posilka();
  ASSERT_TRUE(rig.gate.waitHeld());
  rig.program->BitBtn2Click();
  rig.gate.open();
  ASSERT_TRUE(rig.framesSent());
  // The run's failure once, then the stop's own.
  EXPECT_EQ(rig.errors.messages,
            (std::vector<std::string>{kEscapeCommFunction, kEscapeCommFunction}));
  EXPECT_TRUE(rig.player().SerialPort1().IsOpen());
  rig.platform.replug();
  rig.stop();
  rig.expectStopped();
  EXPECT_EQ(rig.board->outputBits(), 0u);
}

TEST(OutputThreadFaults, ExitWithAFrameOnItsWayAndASaveThatFailsEndsAllOffAndLatchesNothingAfter) {
  for (const bool exitButton : {false, true}) {
    SCOPED_TRACE(exitButton ? "the exit button" : "the window's close");
    Rig rig(true, true);
    startRunning(rig);
    rig.editSomething();
    rig.gate.close();
    rig.program->Posilka();
    ASSERT_TRUE(rig.gate.waitHeld());
    const std::uint64_t onItsWay = rig.currentFrame();
    failNextWrite(rig.disk, testing_support::WriteStep::kWrite);
    {
      LateOpener opener(rig.gate);
      if (exitButton) rig.program->BitBtn6Click();
      rig.program->FormClose();
    }
    const auto frames = rig.board->history();
    ASSERT_GE(frames.size(), 2u);
    EXPECT_EQ(frames[frames.size() - 2], onItsWay) << "the frame on its way went out whole";
    EXPECT_EQ(frames.back(), 0u) << "then the all-off frame";
    EXPECT_EQ(rig.board->outputBits(), 0u);
    ASSERT_EQ(rig.errors.messages.size(), 1u);
    EXPECT_NE(rig.errors.messages[0].find("Не удаётся записать файл"), std::string::npos);
    EXPECT_EQ(testing_support::readBytes(rig.settingsPath()), rig.expectedSettings());
    rig.expectNothingOpen();
    // Whatever the step timer still delivers, nothing goes out any more.
    const auto latched = rig.board->state().framesLatched;
    for (int i = 0; i < 5; ++i) {
      rig.program->Posilka();
      rig.program->BitBtn1Click();
    }
    EXPECT_EQ(rig.board->state().framesLatched, latched);
    EXPECT_FALSE(rig.player().SerialPort1().IsOpen());
  }
}

TEST(OutputThreadFaults, ExitWhileAStopWaitsForItsFrameSendsOneAllOffFrame) {
  Rig rig(true, true);
  startRunning(rig);
  rig.gate.close();
  rig.program->Posilka();
  ASSERT_TRUE(rig.gate.waitHeld());
  rig.program->BitBtn2Click();
  rig.program->BitBtn1Click();  // waits for the stop; the exit drops it
  const auto latched = rig.board->state().framesLatched;
  {
    LateOpener opener(rig.gate);
    rig.editSomething();
    rig.program->FormClose();
  }
  EXPECT_EQ(rig.board->state().framesLatched, latched + 2);
  EXPECT_EQ(rig.board->history().back(), 0u);
  EXPECT_EQ(rig.board->state().openCount, 1);
  rig.expectNothingOpen();
  rig.expectFilesSaved();
  EXPECT_TRUE(rig.errors.messages.empty());
}

}  // namespace
}  // namespace reliability
