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
using testing_support::putCell;
using testing_support::setChannelEnabled;
using testing_support::stepTickMessage;

namespace {

class StepTickTest : public testing_support::SequencerTest {};

TEST_F(StepTickTest, ClosedPortTickDoesNothingAtAll) {
  form.setEdit1Text("abc");
  setColumn(0, {1});
  table.setColCount(2);
  testing_support::stepTick(player);
  EXPECT_THAT(platform.calls(), IsEmpty());
  EXPECT_EQ(player.StepColumn(), -1);
  EXPECT_EQ(form.timer1Interval(), 100);
  EXPECT_EQ(form.fixedColor(), clSilver);
  EXPECT_EQ(table.cells().text(0, 0), "");
  EXPECT_EQ(form.statusText()[0], "");
}

TEST_F(StepTickTest, OneTickIsExactlyTheFrameOfTheCurrentColumn) {
  setColumn(0, {1, 5, 48});
  table.setColCount(2);
  start();
  platform.clearCalls();
  testing_support::stepTick(player);
  EXPECT_THAT(wire(), ElementsAreArray(frameWire(bitsFor({1, 5, 48}))));
  EXPECT_THAT(channelsOn(), ElementsAre(1, 5, 48));
  EXPECT_EQ(player.StepColumn(), 0);
  EXPECT_EQ(form.statusText()[0], "Позиция 1");
  EXPECT_EQ(form.statusText()[1], "Обмен данными с драйвером");
  EXPECT_EQ(form.fixedColor(), clRed);
  for (int k = 1; k <= 48; ++k) EXPECT_EQ(form.indicatorOn()[k - 1], k == 1 || k == 5 || k == 48);
  // Line states between frames: DTR low, RTS at the last bit sent.
  EXPECT_FALSE(board->state().dtr);
  EXPECT_TRUE(board->state().rts);
}

TEST_F(StepTickTest, SingleChannelFramesLandOnTheirOutputs) {
  table.setColCount(4);
  setColumn(0, {1});
  setColumn(1, {48});
  start();
  testing_support::stepTick(player);
  // Channel 1 is shifted first: the last output of the sixth register.
  EXPECT_TRUE(board->outputOf(6, 7));
  EXPECT_EQ(board->outputBits(), std::uint64_t{1} << 47);
  platform.clearCalls();
  testing_support::stepTick(player);
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
  testing_support::stepTick(player);
  EXPECT_EQ(board->outputBits(), 0u);
}

TEST_F(StepTickTest, PlaysColumnsInOrderAndWrapsWithoutSendingTheTrailingColumn) {
  // Data in columns 0 … 2; column 3 is the trailing column and holds a "1"
  // that must never be played.
  setColumn(0, {1});
  setColumn(1, {2});
  setColumn(2, {3});
  setColumn(3, {4});
  table.setColCount(4);
  start();
  std::vector<std::vector<int>> played;
  std::vector<std::string> positions;
  std::vector<std::string> markers;
  for (int i = 0; i < 7; ++i) {
    testing_support::stepTick(player);
    played.push_back(channelsOn());
    positions.push_back(form.statusText()[0]);
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
    testing_support::stepTick(player);
    EXPECT_EQ(player.StepColumn(), 0);
    EXPECT_EQ(form.statusText()[0], "Позиция 1");
    EXPECT_THAT(wire(), ElementsAreArray(frameWire(bitsFor({}))));
  }
  EXPECT_EQ(markerRow(), "v.");
}

TEST_F(StepTickTest, PausedTicksResendTheSameColumn) {
  setColumn(0, {1});
  setColumn(1, {2, 3});
  table.setColCount(3);
  start();
  testing_support::stepTick(player);
  testing_support::stepTick(player);
  player.startOrPause();  // pause
  ASSERT_EQ(player.StepRunning(), 0);
  for (int i = 0; i < 3; ++i) {
    platform.clearCalls();
    testing_support::stepTick(player);
    EXPECT_THAT(wire(), ElementsAreArray(frameWire(bitsFor({2, 3}))));
    EXPECT_EQ(player.StepColumn(), 1);
    EXPECT_EQ(markerRow(), ".v..");
    EXPECT_EQ(form.statusText()[0], "Позиция 2");
    EXPECT_EQ(form.statusText()[1], "Наблюдение за состоянием драйвера");
    EXPECT_EQ(form.fixedColor(), clYellow);
  }
  // A flag change while paused reaches the outputs at the next tick.
  setChannelEnabled(player, 3, 0);
  testing_support::stepTick(player);
  EXPECT_THAT(channelsOn(), ElementsAre(2));
}

TEST_F(StepTickTest, OnlyAnExactOneWithItsFlagSetIsOn) {
  putCell(table, 0, 1, "1");
  putCell(table, 0, 2, "0");
  putCell(table, 0, 3, "");
  putCell(table, 0, 4, " 1");
  putCell(table, 0, 5, "11");
  putCell(table, 0, 6, "1 ");
  putCell(table, 0, 7, "1");
  putCell(table, 0, 8, "l");
  setChannelEnabled(player, 7, 0);  // channel 7 held off
  table.setColCount(2);
  start();
  platform.clearCalls();
  testing_support::stepTick(player);
  EXPECT_THAT(wire(), ElementsAreArray(frameWire(bitsFor({1}))));
  EXPECT_THAT(channelsOn(), ElementsAre(1));
  EXPECT_FALSE(form.indicatorOn()[6]);
  EXPECT_TRUE(form.indicatorOn()[0]);
}

TEST_F(StepTickTest, IntervalTextsThatAreNotAPositiveNumberGiveOneMillisecond) {
  start();
  for (const char* text : {"abc", "", "0", "-5", "2147483648", "12a", "0x10", "1.5"}) {
    form.setEdit1Text("100");
    testing_support::stepTick(player);
    ASSERT_EQ(form.timer1Interval(), 100);
    form.setEdit1Text(text);
    testing_support::stepTick(player);
    EXPECT_EQ(form.timer1Interval(), 1) << text;
    EXPECT_EQ(form.edit1Text(), text);
  }
  form.setEdit1Text("250");
  testing_support::stepTick(player);
  EXPECT_EQ(form.timer1Interval(), 250);
  form.setEdit1Text("2147483647");
  testing_support::stepTick(player);
  EXPECT_EQ(form.timer1Interval(), 2147483647);
  form.setEdit1Text(" 42");
  testing_support::stepTick(player);
  EXPECT_EQ(form.timer1Interval(), 42);
}

TEST_F(StepTickTest, ALineErrorMidFrameSendsNoLatchAndTheNextTickSendsAWholeFrame) {
  setColumn(0, {1, 2, 40});
  setColumn(1, {47, 48});
  table.setColCount(3);
  start();
  testing_support::stepTick(player);
  ASSERT_THAT(channelsOn(), ElementsAre(1, 2, 40));
  const auto latched = board->state().framesLatched;
  // The 31st line operation of the next frame fails.
  platform.failCall(Op::EscapeCommFunction, 31, sys::kErrorBadCommand);
  platform.clearCalls();
  testing_support::expectThrows([&] { testing_support::stepTick(player); },
                                "Ошибка функции EscapeCommFunction");
  EXPECT_EQ(wire().size(), 31u);
  EXPECT_EQ(board->state().framesLatched, latched);
  EXPECT_THAT(channelsOn(), ElementsAre(1, 2, 40));  // the board keeps the previous step
  // Column and texts already moved on; the channels sent before the failure
  // are painted, the ones after it are not.
  EXPECT_EQ(player.StepColumn(), 1);
  EXPECT_EQ(form.statusText()[0], "Позиция 2");
  EXPECT_FALSE(form.indicatorOn()[0]);
  EXPECT_FALSE(form.indicatorOn()[1]);
  EXPECT_TRUE(form.indicatorOn()[39]);
  testing_support::stepTick(player);
  EXPECT_THAT(channelsOn(), ElementsAre(1, 2, 40));
  player.rewind();
  testing_support::stepTick(player);
  EXPECT_THAT(channelsOn(), ElementsAre(47, 48));
}

TEST_F(StepTickTest, AFailedLatchWriteIsAWriteError) {
  table.setColCount(2);
  setColumn(0, {9});
  start();
  platform.failCall(Op::WriteFile, 1, sys::kErrorBadCommand);
  EXPECT_THROW(testing_support::stepTick(player), comport::EComPort);
  EXPECT_THAT(channelsOn(), IsEmpty());
  platform.failCall(Op::WriteFile, 1, sys::kErrorBadCommand);
  testing_support::expectThrows([&] { testing_support::stepTick(player); }, "Ошибка записи в порт");
}

TEST_F(StepTickTest, ATableThatShrankUnderTheStepBringsTheMarkerBack) {
  for (int c = 0; c < 5; ++c) setColumn(c, {c + 1});
  table.setColCount(6);
  start();
  for (int i = 0; i < 4; ++i) testing_support::stepTick(player);
  ASSERT_EQ(player.StepColumn(), 3);
  table.setColCount(2);
  testing_support::stepTick(player);
  EXPECT_EQ(player.StepColumn(), 0);
  EXPECT_THAT(channelsOn(), ElementsAre(1));
  // Paused too.
  table.setColCount(6);
  testing_support::stepTick(player);
  testing_support::stepTick(player);
  player.startOrPause();
  table.setColCount(2);
  testing_support::stepTick(player);
  EXPECT_EQ(player.StepColumn(), 0);
}

TEST_F(StepTickTest, EveryFailingTickGivesItsMessageAndAGoodOneNone) {
  // Whether the user is told again is the program's choice, not the tick's.
  table.setColCount(2);
  start();
  platform.unplug();
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(stepTickMessage(player),
              std::optional<std::string>("Ошибка функции EscapeCommFunction"));
  }
  platform.replug();
  EXPECT_EQ(stepTickMessage(player), std::nullopt);
  platform.failCall(Op::WriteFile, 1, sys::kErrorBadCommand);
  EXPECT_EQ(stepTickMessage(player), std::optional<std::string>("Ошибка записи в порт"));
}

}  // namespace
