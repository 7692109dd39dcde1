#include <functional>

#include "fixture.h"

using namespace sequencer;
using testing_support::setChannelEnabled;
using testing_support::setColCount;
using testing_support::tableCells;

namespace {

class EditingTest : public testing_support::SequencerTest {};

TEST_F(EditingTest, ChoosingACellTogglesItAndShowsItsColumn) {
  setColCount(seq, 12);
  seq.setCurrentCell(0, 5);
  seq.gridClick();
  EXPECT_EQ(seq.cells().text(0, 5), "1");
  EXPECT_EQ(seq.statusText()[0], "Позиция 1");
  seq.gridClick();
  EXPECT_EQ(seq.cells().text(0, 5), "");
  seq.setCurrentCell(9, 5);
  seq.gridClick();
  EXPECT_EQ(seq.statusText()[0], "Позиция 10");
}

TEST_F(EditingTest, ZeroBecomesOneAndAnyOtherTextBecomesEmpty) {
  const std::pair<const char*, const char*> cases[] = {
      {"", "1"}, {"0", "1"}, {"1", ""}, {"abc", ""}, {"00", ""}, {" 0", ""}, {"0 ", ""}};
  for (const auto& [before, after] : cases) {
    tableCells(seq).setText(0, 1, before);
    seq.gridClick();
    EXPECT_EQ(seq.cells().text(0, 1), after) << "'" << before << "'";
  }
}

TEST_F(EditingTest, EnterWalksRightToggingAndStopsAtTheLastColumn) {
  setColCount(seq, 4);
  seq.setCurrentCell(0, 7);
  std::vector<bool> moved;
  for (int i = 0; i < 5; ++i) moved.push_back(seq.gridKeyPress('\r'));
  EXPECT_THAT(moved, ::testing::ElementsAre(true, true, true, false, false));
  EXPECT_EQ(seq.currentCol(), 3);
  EXPECT_EQ(seq.cells().text(0, 7), "");
  EXPECT_EQ(seq.cells().text(1, 7), "1");
  EXPECT_EQ(seq.cells().text(2, 7), "1");
  EXPECT_EQ(seq.cells().text(3, 7), "1");
  EXPECT_EQ(seq.statusText()[0], "Позиция 4");
  // Other keys do nothing.
  EXPECT_FALSE(seq.gridKeyPress('a'));
  EXPECT_FALSE(seq.gridKeyPress('\n'));
}

TEST_F(EditingTest, LostColumnsMoveTheCurrentCellWithoutToggling) {
  setColCount(seq, 5);
  seq.setCurrentCell(4, 2);
  tableCells(seq).setText(0, 1, "1");
  seq.housekeepingTick();  // column 3 is empty: shrink
  EXPECT_EQ(seq.colCount(), 4);
  EXPECT_EQ(seq.currentCol(), 3);
  EXPECT_EQ(seq.cells().text(3, 2), "");
  EXPECT_EQ(seq.statusText()[0], "");
}

TEST_F(EditingTest, ADraggedColumnTakesAllItsCells) {
  setColCount(seq, 4);
  tableCells(seq).setText(0, 1, "1");
  tableCells(seq).setText(0, 0, "v");
  tableCells(seq).setText(1, 2, "abc");
  tableCells(seq).setText(2, 3, "0");
  seq.moveColumn(0, 2);
  EXPECT_EQ(seq.cells().text(0, 2), "abc");
  EXPECT_EQ(seq.cells().text(1, 3), "0");
  EXPECT_EQ(seq.cells().text(2, 1), "1");
  EXPECT_EQ(seq.cells().text(2, 0), "v");
  seq.moveColumn(2, 0);
  EXPECT_EQ(seq.cells().text(0, 1), "1");
  EXPECT_EQ(seq.cells().text(1, 2), "abc");
  EXPECT_EQ(seq.cells().text(2, 3), "0");
}

// Row `row` of columns 0 … n − 1 ("." for an empty cell).
std::string rowOf(const Sequencer& seq, int row, int n) {
  std::string out;
  for (int c = 0; c < n; ++c)
    out += seq.cells().text(c, row).empty() ? "." : seq.cells().text(c, row);
  return out;
}

TEST_F(EditingTest, StepEditsEachAreOneUndoStep) {
  for (int c = 0; c < 4; ++c)
    tableCells(seq).setText(c, 1, std::string(1, static_cast<char>('a' + c)));
  tableCells(seq).setText(2, 2, "1");
  setColCount(seq, 5);
  struct Case {
    const char* name;
    std::function<void()> edit;
    const char* row1;
  };
  const Case cases[] = {
      {"copy then paste before column 1",
       [&] {
         seq.copyColumn(2);
         seq.pasteColumn(1);
       },
       "acbcd"},
      {"cut", [&] { seq.cutColumn(1); }, "acd.."},
      {"paste of the cut step", [&] { seq.pasteColumn(0); }, "babcd"},
      {"duplicate", [&] { seq.duplicateColumn(3); }, "abcdd"},
      {"empty step", [&] { seq.insertEmptyColumn(0); }, ".abcd"},
      {"delete", [&] { seq.deleteColumn(0); }, "bcd.."},
  };
  const std::string start = rowOf(seq, 1, 5);
  for (const Case& c : cases) {
    c.edit();
    EXPECT_EQ(rowOf(seq, 1, 5), c.row1) << c.name;
    ASSERT_TRUE(seq.undo()) << c.name;
    EXPECT_FALSE(seq.history().canUndo()) << c.name;  // the whole edit was one step
    EXPECT_EQ(rowOf(seq, 1, 5), start) << c.name;
    EXPECT_EQ(seq.cells().text(2, 2), "1") << c.name;
    ASSERT_TRUE(seq.redo()) << c.name;
    EXPECT_EQ(rowOf(seq, 1, 5), c.row1) << c.name;
    seq.undo();
  }
  // The shown column count stays the housekeeping tick's; the current cell
  // stays where it was.
  EXPECT_EQ(seq.colCount(), 5);
  EXPECT_EQ(seq.currentCol(), 0);
}

TEST_F(EditingTest, UndoTouchesNeitherTheMarkerNorTheRunStateAndTheNextStepPlaysIt) {
  setColumn(0, {1});
  setColumn(1, {2});
  setColCount(seq, 3);
  start();
  seq.stepTick();
  seq.startOrPause();  // paused on column 0
  setChannelEnabled(seq, 3, 0);
  seq.setCell(0, 5, "1");
  seq.stepTick();
  EXPECT_THAT(channelsOn(), ::testing::ElementsAre(1, 5));
  seq.deleteColumn(0);
  seq.stepTick();
  EXPECT_THAT(channelsOn(), ::testing::ElementsAre(2));
  EXPECT_EQ(markerRow(), "v...");
  ASSERT_TRUE(seq.undo());
  ASSERT_TRUE(seq.undo());
  EXPECT_EQ(markerRow(), "v...");
  EXPECT_EQ(seq.StepRunning(), 0);
  EXPECT_EQ(seq.StepColumn(), 0);
  EXPECT_EQ(seq.ChannelEnabled()[2], 0);
  platform.clearCalls();
  seq.stepTick();
  EXPECT_EQ(wire(), testing_support::frameWire(testing_support::bitsFor({1})));
  seq.stop();
}

TEST_F(EditingTest, TheClearIsOneUndoStepAndTheTableGrowsBackOverIt) {
  for (int c = 0; c < 5; ++c) setColumn(c, {1 + c});
  setColCount(seq, 6);
  seq.housekeepingTick();
  seq.clearTable();
  for (int i = 0; i < 6; ++i) seq.housekeepingTick();
  EXPECT_EQ(seq.colCount(), 1);
  // Brought back, the steps come into view as a loaded table does; the file
  // keeps them even before they are shown.
  ASSERT_TRUE(seq.undo());
  EXPECT_EQ(seq.columnsToSave(), 5);
  for (int i = 0; i < 5; ++i) seq.housekeepingTick();
  EXPECT_EQ(seq.colCount(), 6);
  EXPECT_EQ(seq.cells().text(4, 5), "1");
  ASSERT_TRUE(seq.redo());
  for (int i = 0; i < 6; ++i) seq.housekeepingTick();
  EXPECT_EQ(seq.colCount(), 1);
  EXPECT_EQ(seq.columnsToSave(), 0);
}

TEST_F(EditingTest, NewStepsReachTheFileBeforeTheyAreShown) {
  setColumn(0, {1});
  setColCount(seq, 2);
  seq.insertPattern(1, {PatternKind::Chase, 1, 4, 8});
  EXPECT_EQ(seq.colCount(), 2);
  EXPECT_EQ(seq.columnsToSave(), 9);
  EXPECT_EQ(seq.cells().text(8, 4), "1");
  ASSERT_TRUE(seq.undo());
  EXPECT_EQ(seq.columnsToSave(), 1);
}

TEST_F(EditingTest, StepEditsDuringTheRevealMoveTheLoadedColumnsAlong) {
  seq.loadTable([](auto& lines, auto&, auto&) {
    lines.firstLineLength = 10 + 6;
    return 6;
  });
  for (int c = 0; c < 6; ++c) setColumn(c, {1});
  tableCells(seq).setText(5, 1, "");  // the last loaded step is all off but for a text
  tableCells(seq).setText(5, 2, "x");
  seq.housekeepingTick();
  seq.deleteColumn(0);
  EXPECT_EQ(seq.columnsToSave(), 5);
  seq.insertEmptyColumn(0);
  seq.insertEmptyColumn(0);
  EXPECT_EQ(seq.columnsToSave(), 7);
  seq.undo();
  EXPECT_EQ(seq.columnsToSave(), 6);
}

}  // namespace
