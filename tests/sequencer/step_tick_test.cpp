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

namespace {

class StepTickTest : public testing_support::SequencerTest {};

TEST_F(StepTickTest, ClosedPortTickDoesNothingAtAll) {
  seq.Edit1Text = "abc";
  setColumn(0, {1});
  seq.ColCount = 2;
  seq.Posilka();
  EXPECT_THAT(platform.calls(), IsEmpty());
  EXPECT_EQ(seq.StepColumn, -1);
  EXPECT_EQ(seq.Timer1Interval, 100);
  EXPECT_EQ(seq.FixedColor, clSilver);
  EXPECT_EQ(seq.Cells.text(0, 0), "");
  EXPECT_EQ(seq.StatusText[0], "");
}

TEST_F(StepTickTest, OneTickIsExactlyTheFrameOfTheCurrentColumn) {
  setColumn(0, {1, 5, 48});
  seq.ColCount = 2;
  start();
  platform.clearCalls();
  seq.Posilka();
  EXPECT_THAT(wire(), ElementsAreArray(frameWire(bitsFor({1, 5, 48}))));
  EXPECT_THAT(channelsOn(), ElementsAre(1, 5, 48));
  EXPECT_EQ(seq.StepColumn, 0);
  EXPECT_EQ(seq.StatusText[0], "Позиция 1");
  EXPECT_EQ(seq.StatusText[1], "Обмен данными с драйвером");
  EXPECT_EQ(seq.FixedColor, clRed);
  for (int k = 1; k <= 48; ++k) EXPECT_EQ(seq.IndicatorOn[k - 1], k == 1 || k == 5 || k == 48);
  // Line states between frames: DTR low, RTS at the last bit sent.
  EXPECT_FALSE(board->state().dtr);
  EXPECT_TRUE(board->state().rts);
}

TEST_F(StepTickTest, SingleChannelFramesLandOnTheirOutputs) {
  seq.ColCount = 4;
  setColumn(0, {1});
  setColumn(1, {48});
  start();
  seq.Posilka();
  // Channel 1 is shifted first: the last output of the sixth register.
  EXPECT_TRUE(board->outputOf(6, 7));
  EXPECT_EQ(board->outputBits(), std::uint64_t{1} << 47);
  platform.clearCalls();
  seq.Posilka();
  // Channel 48 is shifted last: Q0 of the first register, RTS raised only
  // before the 48th clock and left raised.
  EXPECT_TRUE(board->outputOf(1, 0));
  EXPECT_EQ(board->outputBits(), 1u);
  const auto calls = wire();
  ASSERT_EQ(calls.size(), 145u);
  EXPECT_EQ(calls[141], testing_support::setRts());
  for (int i = 0; i < 141; i += 3) EXPECT_EQ(calls[i], testing_support::clrRts());
  EXPECT_TRUE(board->state().rts);
  // An empty column: all outputs off.
  seq.Posilka();
  EXPECT_EQ(board->outputBits(), 0u);
}

TEST_F(StepTickTest, PlaysColumnsInOrderAndWrapsWithoutSendingTheTrailingColumn) {
  // Data in columns 0 … 2; column 3 is the trailing column and holds a "1"
  // that must never be played.
  setColumn(0, {1});
  setColumn(1, {2});
  setColumn(2, {3});
  setColumn(3, {4});
  seq.ColCount = 4;
  start();
  std::vector<std::vector<int>> played;
  std::vector<std::string> positions;
  std::vector<std::string> markers;
  for (int i = 0; i < 7; ++i) {
    seq.Posilka();
    played.push_back(channelsOn());
    positions.push_back(seq.StatusText[0]);
    markers.push_back(markerRow());
  }
  EXPECT_THAT(played, ElementsAre(ElementsAre(1), ElementsAre(2), ElementsAre(3), ElementsAre(1),
                                  ElementsAre(2), ElementsAre(3), ElementsAre(1)));
  EXPECT_THAT(positions, ElementsAre("Позиция 1", "Позиция 2", "Позиция 3", "Позиция 1",
                                     "Позиция 2", "Позиция 3", "Позиция 1"));
  EXPECT_THAT(markers, ElementsAre("v....", ".v...", "..v..", "v....", ".v...", "..v..", "v...."));
}

TEST_F(StepTickTest, EmptyTableKeepsTheMarkerInColumnZero) {
  start();
  for (int i = 0; i < 3; ++i) {
    platform.clearCalls();
    seq.Posilka();
    EXPECT_EQ(seq.StepColumn, 0);
    EXPECT_EQ(seq.StatusText[0], "Позиция 1");
    EXPECT_THAT(wire(), ElementsAreArray(frameWire(bitsFor({}))));
  }
  EXPECT_EQ(markerRow(), "v.");
}

TEST_F(StepTickTest, PausedTicksResendTheSameColumn) {
  setColumn(0, {1});
  setColumn(1, {2, 3});
  seq.ColCount = 3;
  start();
  seq.Posilka();
  seq.Posilka();
  seq.BitBtn1Click();  // pause
  ASSERT_EQ(seq.StepRunning, 0);
  for (int i = 0; i < 3; ++i) {
    platform.clearCalls();
    seq.Posilka();
    EXPECT_THAT(wire(), ElementsAreArray(frameWire(bitsFor({2, 3}))));
    EXPECT_EQ(seq.StepColumn, 1);
    EXPECT_EQ(markerRow(), ".v..");
    EXPECT_EQ(seq.StatusText[0], "Позиция 2");
    EXPECT_EQ(seq.StatusText[1], "Наблюдение за состоянием драйвера");
    EXPECT_EQ(seq.FixedColor, clYellow);
  }
  // A flag change while paused reaches the outputs at the next tick.
  seq.ChannelEnabled[2] = 0;
  seq.Posilka();
  EXPECT_THAT(channelsOn(), ElementsAre(2));
}

TEST_F(StepTickTest, OnlyAnExactOneWithItsFlagSetIsOn) {
  seq.Cells.setText(0, 1, "1");
  seq.Cells.setText(0, 2, "0");
  seq.Cells.setText(0, 3, "");
  seq.Cells.setText(0, 4, " 1");
  seq.Cells.setText(0, 5, "11");
  seq.Cells.setText(0, 6, "1 ");
  seq.Cells.setText(0, 7, "1");
  seq.Cells.setText(0, 8, "l");
  seq.ChannelEnabled[6] = 0;  // channel 7 held off
  seq.ColCount = 2;
  start();
  platform.clearCalls();
  seq.Posilka();
  EXPECT_THAT(wire(), ElementsAreArray(frameWire(bitsFor({1}))));
  EXPECT_THAT(channelsOn(), ElementsAre(1));
  EXPECT_FALSE(seq.IndicatorOn[6]);
  EXPECT_TRUE(seq.IndicatorOn[0]);
}

TEST_F(StepTickTest, IntervalTextsThatAreNotAPositiveNumberGiveOneMillisecond) {
  start();
  for (const char* text : {"abc", "", "0", "-5", "2147483648", "12a", "0x10", "1.5"}) {
    seq.Timer1Interval = 100;
    seq.Edit1Text = text;
    seq.Posilka();
    EXPECT_EQ(seq.Timer1Interval, 1) << text;
    EXPECT_EQ(seq.Edit1Text, text);
  }
  seq.Edit1Text = "250";
  seq.Posilka();
  EXPECT_EQ(seq.Timer1Interval, 250);
  seq.Edit1Text = "2147483647";
  seq.Posilka();
  EXPECT_EQ(seq.Timer1Interval, 2147483647);
  seq.Edit1Text = " 42";
  seq.Posilka();
  EXPECT_EQ(seq.Timer1Interval, 42);
}

TEST_F(StepTickTest, ALineErrorMidFrameSendsNoLatchAndTheNextTickSendsAWholeFrame) {
  setColumn(0, {1, 2, 40});
  setColumn(1, {47, 48});
  seq.ColCount = 3;
  start();
  seq.Posilka();
  ASSERT_THAT(channelsOn(), ElementsAre(1, 2, 40));
  const auto latched = board->state().framesLatched;
  // The 31st line operation of the next frame fails.
  platform.failCall(Op::EscapeCommFunction, 31, sys::kErrorBadCommand);
  platform.clearCalls();
  testing_support::expectThrows([&] { seq.Posilka(); }, "Ошибка функции EscapeCommFunction");
  EXPECT_EQ(wire().size(), 31u);
  EXPECT_EQ(board->state().framesLatched, latched);
  EXPECT_THAT(channelsOn(), ElementsAre(1, 2, 40));  // the board keeps the previous step
  // Column and texts already moved on; the channels sent before the failure
  // are painted, the ones after it are not.
  EXPECT_EQ(seq.StepColumn, 1);
  EXPECT_EQ(seq.StatusText[0], "Позиция 2");
  EXPECT_FALSE(seq.IndicatorOn[0]);
  EXPECT_FALSE(seq.IndicatorOn[1]);
  EXPECT_TRUE(seq.IndicatorOn[39]);
  seq.Posilka();
  EXPECT_THAT(channelsOn(), ElementsAre(1, 2, 40));
  seq.StepColumn = 0;
  seq.Posilka();
  EXPECT_THAT(channelsOn(), ElementsAre(47, 48));
}

TEST_F(StepTickTest, AFailedLatchWriteIsAWriteError) {
  seq.ColCount = 2;
  setColumn(0, {9});
  start();
  platform.failCall(Op::WriteFile, 1, sys::kErrorBadCommand);
  EXPECT_THROW(seq.Posilka(), comport::EComPort);
  EXPECT_THAT(channelsOn(), IsEmpty());
  platform.failCall(Op::WriteFile, 1, sys::kErrorBadCommand);
  testing_support::expectThrows([&] { seq.Posilka(); }, "Ошибка записи в порт");
}

TEST_F(StepTickTest, ATableThatShrankUnderTheStepBringsTheMarkerBack) {
  for (int c = 0; c < 5; ++c) setColumn(c, {c + 1});
  seq.ColCount = 6;
  start();
  for (int i = 0; i < 4; ++i) seq.Posilka();
  ASSERT_EQ(seq.StepColumn, 3);
  seq.ColCount = 2;
  seq.Posilka();
  EXPECT_EQ(seq.StepColumn, 0);
  EXPECT_THAT(channelsOn(), ElementsAre(1));
  // Paused too.
  seq.ColCount = 6;
  seq.Posilka();
  seq.Posilka();
  seq.BitBtn1Click();
  seq.ColCount = 2;
  seq.Posilka();
  EXPECT_EQ(seq.StepColumn, 0);
}

TEST_F(StepTickTest, EveryFailingTickGivesItsMessageAndAGoodOneNone) {
  // Whether the user is told again is the program's choice, not the tick's.
  seq.ColCount = 2;
  start();
  platform.unplug();
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(seq.Timer1Tick(), std::optional<std::string>("Ошибка функции EscapeCommFunction"));
  }
  platform.replug();
  EXPECT_EQ(seq.Timer1Tick(), std::nullopt);
  platform.failCall(Op::WriteFile, 1, sys::kErrorBadCommand);
  EXPECT_EQ(seq.Timer1Tick(), std::optional<std::string>("Ошибка записи в порт"));
}

}  // namespace
