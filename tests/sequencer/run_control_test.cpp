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
using testing_support::setColCount;
using testing_support::setComboEnabled;
using testing_support::setIndicators;
using testing_support::setStepColumn;

namespace {

class RunControlTest : public testing_support::SequencerTest {
 protected:
  void expectStopped() {
    EXPECT_FALSE(seq.SerialPort1().IsOpen());
    EXPECT_FALSE(seq.timer1Enabled());
    EXPECT_EQ(seq.StepRunning(), 0);
    EXPECT_EQ(seq.StepColumn(), -1);
    EXPECT_TRUE(seq.comboEnabled());
    for (bool on : seq.indicatorOn()) EXPECT_FALSE(on);
  }
};

TEST_F(RunControlTest, StartOpensAt9600LowersRtsThenDtrAndRuns) {
  seq.SerialPort1().setBaudRate(comport::br300);
  seq.startOrPause();
  EXPECT_TRUE(seq.SerialPort1().IsOpen());
  EXPECT_EQ(seq.SerialPort1().Port(), "COM2");
  EXPECT_EQ(board->state().dcb.BaudRate, 9600u);
  EXPECT_THAT(wire(), ElementsAre(testing_support::clrRts(), testing_support::clrDtr()));
  EXPECT_FALSE(board->state().dtr);
  EXPECT_FALSE(board->state().rts);
  EXPECT_TRUE(seq.timer1Enabled());
  EXPECT_FALSE(seq.comboEnabled());
  EXPECT_EQ(seq.StepRunning(), 1);
  EXPECT_EQ(board->state().framesLatched, 0u);  // nothing latched before the first tick
}

TEST_F(RunControlTest, StartPauseStartContinuesAfterThePausedColumn) {
  for (int c = 0; c < 4; ++c) setColumn(c, {c + 1});
  setColCount(seq, 5);
  start();
  seq.stepTick();
  seq.stepTick();
  seq.startOrPause();
  EXPECT_EQ(seq.StepRunning(), 0);
  EXPECT_TRUE(seq.SerialPort1().IsOpen());
  seq.stepTick();
  EXPECT_THAT(channelsOn(), ElementsAre(2));
  seq.startOrPause();
  EXPECT_EQ(seq.StepRunning(), 1);
  seq.stepTick();
  EXPECT_THAT(channelsOn(), ElementsAre(3));
  EXPECT_EQ(board->state().openCount, 1);
}

TEST_F(RunControlTest, StartStopStartBeginsAgainAtColumnZero) {
  for (int c = 0; c < 4; ++c) setColumn(c, {c + 1});
  setColCount(seq, 5);
  start();
  seq.stepTick();
  seq.stepTick();
  seq.stepTick();
  seq.stop();
  expectStopped();
  start();
  seq.stepTick();
  EXPECT_EQ(seq.StepColumn(), 0);
  EXPECT_THAT(channelsOn(), ElementsAre(1));
}

TEST_F(RunControlTest, StopSendsTheAllOffFrameRemovesTheMarkerAndCloses) {
  setColumn(0, {1, 2});
  setColumn(1, {3});
  setColCount(seq, 3);
  start();
  seq.stepTick();
  seq.stepTick();
  ASSERT_EQ(seq.cells().text(1, 0), "v");
  platform.clearCalls();
  seq.stop();
  std::vector<testing_support::Call> expected = testing_support::allOffWire();
  // ClosePort lowers DTR then RTS itself.
  expected.push_back(testing_support::clrDtr());
  expected.push_back(testing_support::clrRts());
  EXPECT_THAT(wire(), ElementsAreArray(expected));
  EXPECT_THAT(channelsOn(), IsEmpty());
  EXPECT_EQ(seq.cells().text(1, 0), "");
  EXPECT_EQ(seq.fixedColor(), clSilver);
  expectStopped();
}

TEST_F(RunControlTest, AllOffFrameClearsWhateverTheBoardShowed) {
  for (int k = 1; k <= 48; ++k) setColumn(0, {k});
  setColCount(seq, 2);
  start();
  seq.stepTick();
  ASSERT_EQ(channelsOn().size(), 48u);
  platform.clearCalls();
  seq.sendAllOffFrame();
  EXPECT_EQ(wire().size(), 99u);
  EXPECT_THAT(channelsOn(), IsEmpty());
}

TEST_F(RunControlTest, StopWithThePortClosedSendsNothingAndResets) {
  setStepColumn(seq, 4);
  setComboEnabled(seq, false);
  setIndicators(seq, true);
  seq.stop();
  EXPECT_THAT(platform.calls(), IsEmpty());
  expectStopped();
}

TEST_F(RunControlTest, OpenFailuresLeaveEverythingAsItWas) {
  seq.setComboText("COM9");
  testing_support::expectThrows([&] { seq.startOrPause(); },
                                "Попытка открыть несуществующий COM-порт");
  EXPECT_FALSE(seq.SerialPort1().IsOpen());
  EXPECT_FALSE(seq.timer1Enabled());
  EXPECT_TRUE(seq.comboEnabled());
  EXPECT_EQ(seq.StepRunning(), 0);

  seq.setComboText("COM2");
  platform.failCall(Op::CreateFile, 1, sys::kErrorAccessDenied);  // another program has it
  EXPECT_THROW(seq.startOrPause(), comport::EComPort);
  EXPECT_FALSE(seq.timer1Enabled());
  EXPECT_TRUE(seq.comboEnabled());
  EXPECT_EQ(seq.StepRunning(), 0);
}

TEST_F(RunControlTest, ALineErrorRightAfterOpeningLeavesThePortOpenAndTimerOff) {
  platform.failCall(Op::EscapeCommFunction, 1, sys::kErrorBadCommand);
  EXPECT_THROW(seq.startOrPause(), comport::EComPort);
  EXPECT_TRUE(seq.SerialPort1().IsOpen());
  EXPECT_FALSE(seq.timer1Enabled());
  EXPECT_TRUE(seq.comboEnabled());
  EXPECT_EQ(seq.StepRunning(), 0);
  // A later start finds the port open and only toggles the run flag.
  seq.startOrPause();
  EXPECT_EQ(seq.StepRunning(), 1);
  EXPECT_FALSE(seq.timer1Enabled());
  EXPECT_EQ(board->state().openCount, 1);
  seq.stop();
  expectStopped();
}

TEST_F(RunControlTest, AStopThatFailsStaysOpenAndTheNextStopTriesAgain) {
  setColCount(seq, 2);
  start();
  seq.stepTick();
  platform.failCall(Op::EscapeCommFunction, 10, sys::kErrorBadCommand);
  EXPECT_THROW(seq.stop(), comport::EComPort);
  EXPECT_TRUE(seq.SerialPort1().IsOpen());
  EXPECT_FALSE(seq.timer1Enabled());
  EXPECT_EQ(seq.StepRunning(), 0);
  EXPECT_FALSE(seq.comboEnabled());
  // The port answers again: the whole stop runs.
  platform.clearCalls();
  seq.stop();
  EXPECT_EQ(wire().size(), 101u);
  expectStopped();
  EXPECT_THAT(channelsOn(), IsEmpty());
}

TEST_F(RunControlTest, APortThatNoLongerAnswersIsReleasedByTheSecondStop) {
  setColCount(seq, 2);
  setColumn(0, {5});
  start();
  seq.stepTick();
  platform.unplug();
  EXPECT_THROW(seq.stop(), comport::EComPort);
  EXPECT_TRUE(seq.SerialPort1().IsOpen());
  // The second stop lets the port go, and says that the outputs may be on.
  testing_support::expectThrows([&] { seq.stop(); }, text::kReleased);
  expectStopped();
  EXPECT_THAT(channelsOn(), ElementsAre(5)) << "the board keeps what it had";
  EXPECT_EQ(platform.openDevices(), 0);
  EXPECT_EQ(platform.openEvents(), 0);
  // Once the adapter is back, the program starts again normally.
  platform.replug();
  start();
  seq.stepTick();
  EXPECT_THAT(channelsOn(), ElementsAre(5));
}

TEST_F(RunControlTest, HeaderColourFollowsTheRunState) {
  setColCount(seq, 2);
  start();
  EXPECT_EQ(seq.fixedColor(), clSilver);  // set by the next tick, not by the button
  seq.stepTick();
  EXPECT_EQ(seq.fixedColor(), clRed);
  seq.startOrPause();
  seq.stepTick();
  EXPECT_EQ(seq.fixedColor(), clYellow);
  seq.stop();
  EXPECT_EQ(seq.fixedColor(), clSilver);
}

}  // namespace
