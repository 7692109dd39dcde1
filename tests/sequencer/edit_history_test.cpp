#include "sequencer/edit_history.h"

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "sequencer/patterns.h"

using sequencer::EditHistory;
using sequencer::makePattern;
using table::CellStore;
using table::ColumnBlock;

namespace {

// Every cell of columns 0 … n − 1, marker row included, as one string.
std::string snapshot(const CellStore& cells, int n) {
  std::string out;
  for (int c = 0; c < n; ++c) {
    for (int r = 0; r < CellStore::kRows; ++r) out += cells.text(c, r) + "|";
    out += "\n";
  }
  return out;
}

// A table of `columns` steps with ones on a diagonal, other text in row 48
// of column 1 and the marker in column 0.
CellStore sampleTable(int columns) {
  CellStore cells;
  for (int c = 0; c < columns; ++c) cells.setText(c, 1 + c % 48, "1");
  cells.setText(1, 48, "abc");
  cells.setText(0, 0, "v");
  return cells;
}

TEST(EditHistoryTest, CellChangesGoBackAndForthOneAtATime) {
  CellStore cells;
  EditHistory history;
  EXPECT_FALSE(history.canUndo());
  history.setCell(cells, 0, 5, "1");
  history.setCell(cells, 0, 6, "1");
  history.setCell(cells, 0, 5, "");
  history.setCell(cells, 2, 7, "текст");
  history.setCell(cells, 2, 7, "1");
  history.setCell(cells, 0, 6, "1");  // no change, no step
  EXPECT_EQ(history.steps(), 5u);

  EXPECT_EQ(history.undo(cells)->column, 2);
  EXPECT_EQ(cells.text(2, 7), "текст");
  history.undo(cells);
  EXPECT_EQ(cells.text(2, 7), "");
  history.undo(cells);
  EXPECT_EQ(cells.text(0, 5), "1");
  history.undo(cells);
  history.undo(cells);
  EXPECT_EQ(cells.text(0, 5), "");
  EXPECT_EQ(cells.text(0, 6), "");
  EXPECT_FALSE(history.undo(cells));

  history.redo(cells);
  history.redo(cells);
  history.redo(cells);
  history.redo(cells);
  EXPECT_EQ(cells.text(2, 7), "текст");
  EXPECT_EQ(cells.text(0, 5), "");
  EXPECT_EQ(cells.text(0, 6), "1");
  // A new change drops what could have been made again.
  history.setCell(cells, 9, 9, "0");
  EXPECT_FALSE(history.canRedo());
  EXPECT_EQ(history.steps(), 5u);
  history.undo(cells);
  EXPECT_EQ(cells.text(9, 9), "");
  EXPECT_EQ(cells.text(2, 7), "текст");
}

TEST(EditHistoryTest, OneEditingOfACellIsOneStep) {
  CellStore cells;
  cells.setText(3, 3, "1");
  EditHistory history;
  history.setCell(cells, 3, 4, "1");
  for (const char* typed : {"a", "ab", "abc", "ab"}) history.typeCell(cells, 3, 3, typed);
  EXPECT_EQ(cells.text(3, 3), "ab");
  EXPECT_EQ(history.steps(), 2u);
  history.endTyping();
  history.typeCell(cells, 3, 3, "x");  // a new editing of the same cell
  EXPECT_EQ(history.steps(), 3u);
  history.undo(cells);
  EXPECT_EQ(cells.text(3, 3), "ab");
  history.undo(cells);
  EXPECT_EQ(cells.text(3, 3), "1");
  EXPECT_EQ(cells.text(3, 4), "1");
  history.redo(cells);
  // An editing typed back to where it began leaves nothing to take back.
  history.redo(cells);
  history.typeCell(cells, 5, 5, "z");
  history.typeCell(cells, 5, 5, "");
  EXPECT_EQ(history.steps(), 3u);
  EXPECT_EQ(cells.text(5, 5), "");
  history.undo(cells);
  EXPECT_EQ(cells.text(3, 3), "ab");
}

TEST(EditHistoryTest, StepEditsComeBackExactlyAndLeaveTheMarkerRow) {
  CellStore cells = sampleTable(6);
  EditHistory history;
  history.insertColumns(cells, 1, cells.channels(4, 1));
  history.removeColumns(cells, 3, 2);
  history.clearChannels(cells, 0, 5);
  cells.moveColumn(0, 4);  // a drag takes the marker cell along …
  history.columnMoved(0, 4);
  // … and the marker moves on as the steps play, untouched by undo and redo.
  cells.setText(4, 0, "");
  cells.setText(3, 0, "v");

  const int inserted[] = {0, 0, 2, -1};
  for (int expected : inserted) EXPECT_EQ(history.undo(cells)->inserted, expected);
  CellStore before = sampleTable(6);
  before.setText(0, 0, "");
  before.setText(3, 0, "v");
  EXPECT_EQ(snapshot(cells, 10), snapshot(before, 10));

  for (int i = 0; i < 4; ++i) history.redo(cells);
  // The same edits made straight on the channel rows.
  CellStore after = sampleTable(6);
  after.insertColumns(1, 1);
  after.setChannels(1, sampleTable(6).channels(4, 1));
  after.removeColumns(3, 2);
  after.clearChannels(0, 5);
  after.moveChannels(0, 4);
  after.setText(0, 0, "");
  after.setText(3, 0, "v");
  EXPECT_EQ(snapshot(cells, 10), snapshot(after, 10));
  EXPECT_NE(snapshot(after, 10), snapshot(before, 10));
}

TEST(EditHistoryTest, AClearOfAnEmptyTableIsNoStep) {
  CellStore cells;
  cells.setText(2, 0, "v");
  EditHistory history;
  history.clearChannels(cells, 0, 9);
  EXPECT_FALSE(history.canUndo());
}

TEST(EditHistoryTest, TenThousandTogglesOnAHundredThousandColumnsCostBytesNotTables) {
  constexpr int kColumns = 100000;
  CellStore cells;
  for (int c = 0; c < kColumns; ++c) cells.setCode(c, 1 + c % 48, CellStore::kOne);
  EditHistory history;
  for (int i = 0; i < 10000; ++i) {
    const int col = (i * 7919) % kColumns;
    const int row = 1 + i % 48;
    history.setCell(cells, col, row, cells.isOne(col, row) ? "" : "1");
  }
  EXPECT_EQ(history.steps(), 10000u);
  // 24 bytes a toggle; the table itself is 4.9 MB.
  EXPECT_LE(history.memoryBytes(), 512u * 1024) << history.memoryBytes();
  std::printf("history after 10000 toggles: %zu bytes\n", history.memoryBytes());

  // Clearing the whole table is one step holding its cells, a byte each.
  history.clearChannels(cells, 0, kColumns - 1);
  EXPECT_EQ(history.steps(), 10001u);
  EXPECT_LE(history.memoryBytes(), 6u * 1024 * 1024) << history.memoryBytes();
  EXPECT_EQ(cells.dataColumns(), 0);
  history.undo(cells);
  EXPECT_EQ(cells.dataColumns(), kColumns);
}

TEST(EditHistoryTest, PastItsLimitTheOldestStepsAreForgottenButNeverTheNewest) {
  CellStore cells;
  for (int c = 0; c < 1000; ++c) cells.setText(c, 1, "1");
  EditHistory history(4096);
  for (int i = 0; i < 500; ++i) {
    const int row = 1 + i % 48;
    history.setCell(cells, 2000, row, cells.isOne(2000, row) ? "" : "1");
  }
  EXPECT_LE(history.memoryBytes(), 4096u);
  EXPECT_LT(history.steps(), 500u);
  EXPECT_GT(history.steps(), 100u);
  // One clear bigger than the whole limit is still kept, alone.
  history.clearChannels(cells, 0, 999);
  EXPECT_EQ(history.steps(), 1u);
  EXPECT_GT(history.memoryBytes(), 4096u);
  history.undo(cells);
  EXPECT_EQ(cells.text(999, 1), "1");
  EXPECT_FALSE(history.canUndo());
  EXPECT_TRUE(history.canRedo());
}

// ---------------------------------------------------------------- patterns

std::string stepText(const ColumnBlock& block, int step, int first = 1, int last = 48) {
  std::string out;
  for (int k = first; k <= last; ++k) {
    const auto code = block.codes[ColumnBlock::at(step, k)];
    out += code == CellStore::kOne ? '1' : code == CellStore::kZero ? '0' : '.';
  }
  return out;
}

TEST(PatternTest, ChaseAllOnAndAlternateOverTheChosenChannels) {
  using sequencer::Pattern;
  using sequencer::PatternKind;
  const ColumnBlock none;
  ColumnBlock chase = makePattern({PatternKind::Chase, 3, 6, 6}, none);
  ASSERT_EQ(chase.columns, 6);
  const char* expected[] = {"..1...", "...1..", "....1.", ".....1", "..1...", "...1.."};
  for (int s = 0; s < 6; ++s) EXPECT_EQ(stepText(chase, s, 1, 6), expected[s]) << s;
  EXPECT_EQ(stepText(chase, 0, 7, 48), std::string(42, '.'));

  ColumnBlock all = makePattern({PatternKind::AllOn, 1, 48, 2}, none);
  EXPECT_EQ(stepText(all, 1), std::string(48, '1'));

  // Channels given the wrong way round are the same range.
  ColumnBlock alternate = makePattern({PatternKind::Alternate, 5, 1, 2}, none);
  EXPECT_EQ(stepText(alternate, 0, 1, 6), "1.1.1.");
  EXPECT_EQ(stepText(alternate, 1, 1, 6), ".1.1..");

  // A single channel every other step: the off step is kept as a step of
  // "0" cells, which the table counts as data.
  ColumnBlock single = makePattern({PatternKind::Alternate, 9, 9, 3}, none);
  EXPECT_EQ(stepText(single, 0, 8, 10), ".1.");
  EXPECT_EQ(stepText(single, 1), std::string(48, '0'));
}

TEST(PatternTest, FillCopiesTheStepsChosenChannelsWithTheirTexts) {
  CellStore cells;
  cells.setText(0, 2, "1");
  cells.setText(0, 3, "0");
  cells.setText(0, 4, "abc");
  cells.setText(0, 40, "1");
  const ColumnBlock source = cells.channels(0, 1);
  ColumnBlock fill = makePattern({sequencer::PatternKind::Fill, 1, 10, 3}, source);
  ASSERT_EQ(fill.columns, 3);
  CellStore out;
  out.setChannels(0, fill);
  for (int s = 0; s < 3; ++s) {
    EXPECT_EQ(out.text(s, 2), "1");
    EXPECT_EQ(out.text(s, 3), "0");
    EXPECT_EQ(out.text(s, 4), "abc");
    EXPECT_EQ(out.text(s, 40), "");  // not a chosen channel
  }
  // Step counts are kept within bounds.
  EXPECT_EQ(makePattern({sequencer::PatternKind::AllOn, 1, 1, 0}, source).columns, 1);
  EXPECT_EQ(makePattern({sequencer::PatternKind::AllOn, 1, 1, 1 << 30}, source).columns,
            sequencer::Pattern::kMaxSteps);
}

}  // namespace
