#include "fixture.h"

using namespace sequencer;
using table::clRed;
using table::clSilver;
using table::clYellow;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using testing_support::bitsFor;
using testing_support::frameWire;
using testing_support::Op;
using testing_support::setIndicators;

namespace {

class RunControlTest : public testing_support::SequencerTest {
 protected:
  void expectStopped() {
    EXPECT_FALSE(player.SerialPort1().IsOpen());
    EXPECT_FALSE(form.timer1Enabled());
    EXPECT_EQ(player.StepRunning(), 0);
    EXPECT_EQ(player.StepColumn(), -1);
    EXPECT_TRUE(form.comboEnabled());
    for (bool on : form.indicatorOn()) EXPECT_FALSE(on);
  }
};

TEST_F(RunControlTest, StartOpensAt9600LowersRtsThenDtrAndRuns) {
  player.SerialPort1().setBaudRate(comport::br300);
  player.startOrPause();
  EXPECT_TRUE(player.SerialPort1().IsOpen());
  EXPECT_EQ(player.SerialPort1().Port(), "COM2");
  EXPECT_EQ(board->state().dcb.BaudRate, 9600u);
  EXPECT_THAT(wire(), ElementsAre(testing_support::clrRts(), testing_support::clrDtr()));
  EXPECT_FALSE(board->state().dtr);
  EXPECT_FALSE(board->state().rts);
  EXPECT_TRUE(form.timer1Enabled());
  EXPECT_FALSE(form.comboEnabled());
  EXPECT_EQ(player.StepRunning(), 1);
  EXPECT_EQ(board->state().framesLatched, 0u);  // nothing latched before the first tick
}

TEST_F(RunControlTest, StartPauseStartContinuesAfterThePausedColumn) {
  for (int c = 0; c < 4; ++c) setColumn(c, {c + 1});
  table.setColCount(5);
  start();
  testing_support::stepTick(player);
  testing_support::stepTick(player);
  player.startOrPause();
  EXPECT_EQ(player.StepRunning(), 0);
  EXPECT_TRUE(player.SerialPort1().IsOpen());
  testing_support::stepTick(player);
  EXPECT_THAT(channelsOn(), ElementsAre(2));
  player.startOrPause();
  EXPECT_EQ(player.StepRunning(), 1);
  testing_support::stepTick(player);
  EXPECT_THAT(channelsOn(), ElementsAre(3));
  EXPECT_EQ(board->state().openCount, 1);
}

TEST_F(RunControlTest, StartStopStartBeginsAgainAtColumnZero) {
  for (int c = 0; c < 4; ++c) setColumn(c, {c + 1});
  table.setColCount(5);
  start();
  testing_support::stepTick(player);
  testing_support::stepTick(player);
  testing_support::stepTick(player);
  testing_support::stop(player);
  expectStopped();
  start();
  testing_support::stepTick(player);
  EXPECT_EQ(player.StepColumn(), 0);
  EXPECT_THAT(channelsOn(), ElementsAre(1));
}

TEST_F(RunControlTest, StopSendsTheAllOffFrameRemovesTheMarkerAndCloses) {
  setColumn(0, {1, 2});
  setColumn(1, {3});
  table.setColCount(3);
  start();
  testing_support::stepTick(player);
  testing_support::stepTick(player);
  ASSERT_EQ(table.cells().text(1, 0), "v");
  platform.clearCalls();
  testing_support::stop(player);
  std::vector<testing_support::Call> expected = testing_support::allOffWire();
  // ClosePort lowers DTR then RTS itself.
  expected.push_back(testing_support::clrDtr());
  expected.push_back(testing_support::clrRts());
  EXPECT_THAT(wire(), ElementsAreArray(expected));
  EXPECT_THAT(channelsOn(), IsEmpty());
  EXPECT_EQ(table.cells().text(1, 0), "");
  EXPECT_EQ(form.fixedColor(), clSilver);
  expectStopped();
}

TEST_F(RunControlTest, AllOffFrameClearsWhateverTheBoardShowed) {
  for (int k = 1; k <= 48; ++k) setColumn(0, {k});
  table.setColCount(2);
  start();
  testing_support::stepTick(player);
  ASSERT_EQ(channelsOn().size(), 48u);
  platform.clearCalls();
  testing_support::sendAllOff(player);
  EXPECT_EQ(wire().size(), 99u);
  EXPECT_THAT(channelsOn(), IsEmpty());
}

TEST_F(RunControlTest, StopWithThePortClosedSendsNothingAndResets) {
  player.rewind();  // a step column to reset
  form.setComboEnabled(false);
  setIndicators(form, true);
  testing_support::stop(player);
  EXPECT_THAT(platform.calls(), IsEmpty());
  expectStopped();
}

TEST_F(RunControlTest, OpenFailuresLeaveEverythingAsItWas) {
  form.setComboText("COM9");
  testing_support::expectThrows([&] { player.startOrPause(); },
                                "Попытка открыть несуществующий COM-порт");
  EXPECT_FALSE(player.SerialPort1().IsOpen());
  EXPECT_FALSE(form.timer1Enabled());
  EXPECT_TRUE(form.comboEnabled());
  EXPECT_EQ(player.StepRunning(), 0);

  form.setComboText("COM2");
  platform.failCall(Op::CreateFile, 1, sys::kErrorAccessDenied);  // another program has it
  EXPECT_THROW(player.startOrPause(), comport::EComPort);
  EXPECT_FALSE(form.timer1Enabled());
  EXPECT_TRUE(form.comboEnabled());
  EXPECT_EQ(player.StepRunning(), 0);
}

TEST_F(RunControlTest, ALineErrorRightAfterOpeningLeavesThePortOpenAndTimerOff) {
  platform.failCall(Op::EscapeCommFunction, 1, sys::kErrorBadCommand);
  EXPECT_THROW(player.startOrPause(), comport::EComPort);
  EXPECT_TRUE(player.SerialPort1().IsOpen());
  EXPECT_FALSE(form.timer1Enabled());
  EXPECT_TRUE(form.comboEnabled());
  EXPECT_EQ(player.StepRunning(), 0);
  // A later start finds the port open and only toggles the run flag.
  player.startOrPause();
  EXPECT_EQ(player.StepRunning(), 1);
  EXPECT_FALSE(form.timer1Enabled());
  EXPECT_EQ(board->state().openCount, 1);
  testing_support::stop(player);
  expectStopped();
}

TEST_F(RunControlTest, AStopThatFailsStaysOpenAndTheNextStopTriesAgain) {
  table.setColCount(2);
  start();
  testing_support::stepTick(player);
  platform.failCall(Op::EscapeCommFunction, 10, sys::kErrorBadCommand);
  EXPECT_THROW(testing_support::stop(player), comport::EComPort);
  EXPECT_TRUE(player.SerialPort1().IsOpen());
  EXPECT_FALSE(form.timer1Enabled());
  EXPECT_EQ(player.StepRunning(), 0);
  EXPECT_FALSE(form.comboEnabled());
  // The port answers again: the whole stop runs.
  platform.clearCalls();
  testing_support::stop(player);
  EXPECT_EQ(wire().size(), 101u);
  expectStopped();
  EXPECT_THAT(channelsOn(), IsEmpty());
}

TEST_F(RunControlTest, APortThatNoLongerAnswersIsReleasedByTheSecondStop) {
  table.setColCount(2);
  setColumn(0, {5});
  start();
  testing_support::stepTick(player);
  platform.unplug();
  EXPECT_THROW(testing_support::stop(player), comport::EComPort);
  EXPECT_TRUE(player.SerialPort1().IsOpen());
  // The second stop lets the port go, and says that the outputs may be on.
  testing_support::expectThrows([&] { testing_support::stop(player); }, text::kReleased);
  expectStopped();
  EXPECT_THAT(channelsOn(), ElementsAre(5)) << "the board keeps what it had";
  EXPECT_EQ(platform.openDevices(), 0);
  EXPECT_EQ(platform.openEvents(), 0);
  // Once the adapter is back, the program starts again normally.
  platform.replug();
  start();
  testing_support::stepTick(player);
  EXPECT_THAT(channelsOn(), ElementsAre(5));
}

TEST_F(RunControlTest, HeaderColourFollowsTheRunState) {
  table.setColCount(2);
  start();
  EXPECT_EQ(form.fixedColor(), clSilver);  // set by the next tick, not by the button
  testing_support::stepTick(player);
  EXPECT_EQ(form.fixedColor(), clRed);
  player.startOrPause();
  testing_support::stepTick(player);
  EXPECT_EQ(form.fixedColor(), clYellow);
  testing_support::stop(player);
  EXPECT_EQ(form.fixedColor(), clSilver);
}

}  // namespace
