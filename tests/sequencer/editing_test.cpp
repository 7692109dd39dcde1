#include <functional>

#include "fixture.h"

using namespace sequencer;
using testing_support::putCell;
using testing_support::setChannelEnabled;

namespace {

class EditingTest : public testing_support::SequencerTest {};

TEST_F(EditingTest, ZeroBecomesOneAndAnyOtherTextBecomesEmpty) {
  const std::pair<const char*, const char*> cases[] = {
      {"", "1"}, {"0", "1"}, {"1", ""}, {"abc", ""}, {"00", ""}, {" 0", ""}, {"0 ", ""}};
  for (const auto& [before, after] : cases) {
    putCell(table, 0, 1, before);
    table.toggleCurrentCell();
    EXPECT_EQ(table.cells().text(0, 1), after) << "'" << before << "'";
  }
}

TEST_F(EditingTest, LostColumnsMoveTheCurrentCellWithoutToggling) {
  table.setColCount(5);
  table.setCurrentCell(4, 2);
  putCell(table, 0, 1, "1");
  player.housekeepingTick();  // column 3 is empty: shrink
  EXPECT_EQ(table.colCount(), 4);
  EXPECT_EQ(table.currentCol(), 3);
  EXPECT_EQ(table.cells().text(3, 2), "");
  EXPECT_EQ(form.statusText()[0], "");
}

TEST_F(EditingTest, ADraggedColumnTakesAllItsCells) {
  table.setColCount(4);
  putCell(table, 0, 1, "1");
  putCell(table, 0, 0, "v");
  putCell(table, 1, 2, "abc");
  putCell(table, 2, 3, "0");
  table.moveColumn(0, 2);
  EXPECT_EQ(table.cells().text(0, 2), "abc");
  EXPECT_EQ(table.cells().text(1, 3), "0");
  EXPECT_EQ(table.cells().text(2, 1), "1");
  EXPECT_EQ(table.cells().text(2, 0), "v");
  table.moveColumn(2, 0);
  EXPECT_EQ(table.cells().text(0, 1), "1");
  EXPECT_EQ(table.cells().text(1, 2), "abc");
  EXPECT_EQ(table.cells().text(2, 3), "0");
}

// Row `row` of columns 0 … n − 1 ("." for an empty cell).
std::string rowOf(const SequenceTable& table, int row, int n) {
  std::string out;
  for (int c = 0; c < n; ++c)
    out += table.cells().text(c, row).empty() ? "." : table.cells().text(c, row);
  return out;
}

TEST_F(EditingTest, StepEditsEachAreOneUndoStep) {
  for (int c = 0; c < 4; ++c) putCell(table, c, 1, std::string(1, static_cast<char>('a' + c)));
  putCell(table, 2, 2, "1");
  table.setColCount(5);
  struct Case {
    const char* name;
    std::function<void()> edit;
    const char* row1;
  };
  const Case cases[] = {
      {"copy then paste before column 1",
       [&] {
         table.copyColumn(2);
         table.pasteColumn(1);
       },
       "acbcd"},
      {"cut", [&] { table.cutColumn(1); }, "acd.."},
      {"paste of the cut step", [&] { table.pasteColumn(0); }, "babcd"},
      {"duplicate", [&] { table.duplicateColumn(3); }, "abcdd"},
      {"empty step", [&] { table.insertEmptyColumn(0); }, ".abcd"},
      {"delete", [&] { table.deleteColumn(0); }, "bcd.."},
  };
  const std::string start = rowOf(table, 1, 5);
  for (const Case& c : cases) {
    c.edit();
    EXPECT_EQ(rowOf(table, 1, 5), c.row1) << c.name;
    ASSERT_TRUE(table.undo()) << c.name;
    EXPECT_FALSE(table.history().canUndo()) << c.name;  // the whole edit was one step
    EXPECT_EQ(rowOf(table, 1, 5), start) << c.name;
    EXPECT_EQ(table.cells().text(2, 2), "1") << c.name;
    ASSERT_TRUE(table.redo()) << c.name;
    EXPECT_EQ(rowOf(table, 1, 5), c.row1) << c.name;
    table.undo();
  }
  // The shown column count stays the housekeeping tick's; the current cell
  // stays where it was.
  EXPECT_EQ(table.colCount(), 5);
  EXPECT_EQ(table.currentCol(), 0);
}

TEST_F(EditingTest, UndoTouchesNeitherTheMarkerNorTheRunStateAndTheNextStepPlaysIt) {
  setColumn(0, {1});
  setColumn(1, {2});
  table.setColCount(3);
  start();
  testing_support::stepTick(player);
  player.startOrPause();  // paused on column 0
  setChannelEnabled(player, 3, 0);
  table.setCell(0, 5, "1");
  testing_support::stepTick(player);
  EXPECT_THAT(channelsOn(), ::testing::ElementsAre(1, 5));
  table.deleteColumn(0);
  testing_support::stepTick(player);
  EXPECT_THAT(channelsOn(), ::testing::ElementsAre(2));
  EXPECT_EQ(markerRow(), "v...");
  ASSERT_TRUE(table.undo());
  ASSERT_TRUE(table.undo());
  EXPECT_EQ(markerRow(), "v...");
  EXPECT_EQ(player.StepRunning(), 0);
  EXPECT_EQ(player.StepColumn(), 0);
  EXPECT_EQ(player.ChannelEnabled()[2], 0);
  platform.clearCalls();
  testing_support::stepTick(player);
  EXPECT_EQ(wire(), testing_support::frameWire(testing_support::bitsFor({1})));
  testing_support::stop(player);
}

TEST_F(EditingTest, TheClearIsOneUndoStepAndTheTableGrowsBackOverIt) {
  for (int c = 0; c < 5; ++c) setColumn(c, {1 + c});
  table.setColCount(6);
  player.housekeepingTick();
  table.clearChannels(player.LastColumn());
  player.rewind();
  for (int i = 0; i < 6; ++i) player.housekeepingTick();
  EXPECT_EQ(table.colCount(), 1);
  // Brought back, the steps come into view as a loaded table does; the file
  // keeps them even before they are shown.
  ASSERT_TRUE(table.undo());
  EXPECT_EQ(table.columnsToSave(), 5);
  for (int i = 0; i < 5; ++i) player.housekeepingTick();
  EXPECT_EQ(table.colCount(), 6);
  EXPECT_EQ(table.cells().text(4, 5), "1");
  ASSERT_TRUE(table.redo());
  for (int i = 0; i < 6; ++i) player.housekeepingTick();
  EXPECT_EQ(table.colCount(), 1);
  EXPECT_EQ(table.columnsToSave(), 0);
}

TEST_F(EditingTest, NewStepsReachTheFileBeforeTheyAreShown) {
  setColumn(0, {1});
  table.setColCount(2);
  table.insertPattern(1, {PatternKind::Chase, 1, 4, 8});
  EXPECT_EQ(table.colCount(), 2);
  EXPECT_EQ(table.columnsToSave(), 9);
  EXPECT_EQ(table.cells().text(8, 4), "1");
  ASSERT_TRUE(table.undo());
  EXPECT_EQ(table.columnsToSave(), 1);
}

TEST_F(EditingTest, StepEditsDuringTheRevealMoveTheLoadedColumnsAlong) {
  for (int c = 0; c < 6; ++c) setColumn(c, {1});
  putCell(table, 5, 1, "");  // the last loaded step is all off but for a text
  putCell(table, 5, 2, "x");
  table.load([](auto& lines, auto&) {
    lines.firstLineLength = 10 + 6;
    return 6;
  });
  player.housekeepingTick();
  table.deleteColumn(0);
  EXPECT_EQ(table.columnsToSave(), 5);
  table.insertEmptyColumn(0);
  table.insertEmptyColumn(0);
  EXPECT_EQ(table.columnsToSave(), 7);
  table.undo();
  EXPECT_EQ(table.columnsToSave(), 6);
}

}  // namespace
