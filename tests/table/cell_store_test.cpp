#include "table/cell_store.h"

#include <gtest/gtest.h>

#include "table/cp1251.h"

using table::CellStore;

namespace {

TEST(CellStoreTest, CellsBeyondTheStoredColumnsAreEmptyAndKeepWhatIsWritten) {
  CellStore cells;
  EXPECT_EQ(cells.text(5000, 3), "");
  EXPECT_EQ(cells.storedColumns(), 0);
  cells.setText(5000, 3, "1");
  EXPECT_EQ(cells.text(5000, 3), "1");
  EXPECT_TRUE(cells.isOne(5000, 3));
  EXPECT_EQ(cells.storedColumns(), 5001);
  cells.setText(9000, 4, "");  // writing empty text stores nothing
  EXPECT_EQ(cells.storedColumns(), 5001);
}

TEST(CellStoreTest, OtherTextsAreKeptExactly) {
  CellStore cells;
  cells.setText(2, 48, "привет");
  cells.setText(2, 47, " 1");
  EXPECT_EQ(cells.text(2, 48), "привет");
  EXPECT_EQ(cells.code(2, 48), CellStore::kOther);
  EXPECT_FALSE(cells.isData(2, 47));
  EXPECT_FALSE(cells.isEmpty(2, 47));
  cells.setText(2, 48, "0");
  EXPECT_EQ(cells.text(2, 48), "0");
  EXPECT_TRUE(cells.isData(2, 48));
}

TEST(CellStoreTest, ClearingEmptiesOnlyTheChannelRowsOfTheRange) {
  CellStore cells;
  for (int c = 0; c < 4; ++c) {
    cells.setText(c, 0, "v");
    cells.setText(c, 1, "1");
    cells.setText(c, 48, "xyz");
  }
  cells.clearChannels(0, 2);
  for (int c = 0; c < 3; ++c) {
    EXPECT_EQ(cells.text(c, 0), "v");
    EXPECT_EQ(cells.text(c, 1), "");
    EXPECT_EQ(cells.text(c, 48), "");
  }
  EXPECT_EQ(cells.text(3, 1), "1");
  EXPECT_EQ(cells.text(3, 48), "xyz");
}

TEST(CellStoreTest, MovingAColumnShiftsTheOnesBetween) {
  CellStore cells;
  for (int c = 0; c < 5; ++c) cells.setText(c, 1, std::string(1, static_cast<char>('a' + c)));
  cells.moveColumn(1, 3);
  std::string order;
  for (int c = 0; c < 5; ++c) order += cells.text(c, 1);
  EXPECT_EQ(order, "acdbe");
  cells.moveColumn(4, 0);
  order.clear();
  for (int c = 0; c < 5; ++c) order += cells.text(c, 1);
  EXPECT_EQ(order, "eacdb");
}

// Row 1 of columns 0 … n − 1 as one string ("." for an empty cell).
std::string rowText(const CellStore& cells, int row, int n) {
  std::string out;
  for (int c = 0; c < n; ++c) out += cells.text(c, row).empty() ? "." : cells.text(c, row);
  return out;
}

TEST(CellStoreTest, StepEditsShiftTheChannelRowsAndLeaveTheMarkerRow) {
  CellStore cells;
  for (int c = 0; c < 5; ++c) cells.setText(c, 1, std::string(1, static_cast<char>('a' + c)));
  cells.setText(2, 48, "1");
  cells.setText(1, 0, "v");
  cells.insertColumns(1, 2);
  EXPECT_EQ(rowText(cells, 1, 8), "a..bcde.");
  EXPECT_EQ(cells.text(4, 48), "1");
  EXPECT_EQ(rowText(cells, 0, 8), ".v......");
  cells.removeColumns(0, 3);
  EXPECT_EQ(rowText(cells, 1, 8), "bcde....");
  EXPECT_EQ(cells.text(1, 48), "1");
  EXPECT_EQ(rowText(cells, 0, 8), ".v......");
  cells.moveChannels(0, 3);
  EXPECT_EQ(rowText(cells, 1, 8), "cdeb....");
  cells.moveChannels(3, 0);
  EXPECT_EQ(rowText(cells, 1, 8), "bcde....");
  EXPECT_EQ(rowText(cells, 0, 8), ".v......");
  // Past the stored columns there is nothing to shift.
  cells.insertColumns(100, 3);
  cells.removeColumns(100, 3);
  EXPECT_EQ(cells.storedColumns(), 7);
  EXPECT_EQ(rowText(cells, 1, 8), "bcde....");
}

TEST(CellStoreTest, ABlockOfStepsComesBackExactly) {
  CellStore cells;
  cells.setText(3, 1, "1");
  cells.setText(3, 2, "0");
  cells.setText(4, 47, "привет");
  cells.setText(4, 0, "v");
  const table::ColumnBlock block = cells.channels(3, 2);
  EXPECT_EQ(block.columns, 2);
  ASSERT_EQ(block.others.size(), 1u);
  EXPECT_EQ(block.others[0].second, "привет");
  CellStore other;
  other.setText(10, 47, "x");
  other.setText(11, 5, "1");
  other.setChannels(10, block);
  EXPECT_EQ(other.text(10, 1), "1");
  EXPECT_EQ(other.text(10, 2), "0");
  EXPECT_EQ(other.text(11, 47), "привет");
  EXPECT_EQ(other.text(10, 47), "");
  EXPECT_EQ(other.text(11, 5), "");
  EXPECT_EQ(other.text(11, 0), "");  // the marker row is not part of a block
  EXPECT_EQ(other.dataColumns(), 11);
  other.setText(10, 1, "abc");
  other.setText(10, 2, "");
  EXPECT_EQ(other.dataColumns(), 0);
}

TEST(CellStoreTest, EveryOneCharacterTextIsItsWindows1251Byte) {
  CellStore cells;
  for (int b = 1; b < 256; ++b) {
    if (b == '\n') continue;
    const char byte = static_cast<char>(b);
    const std::string text = table::cp1251ToUtf8(std::string_view(&byte, 1));
    cells.setText(b, 1, text);
    EXPECT_EQ(cells.text(b, 1), text) << "byte " << b;
    EXPECT_EQ(cells.code(b, 1), CellStore::codeOfByte(byte)) << "byte " << b;
    cells.setCode(b, 2, CellStore::codeOfByte(byte));
    EXPECT_EQ(cells.text(b, 2), text) << "byte " << b;
  }
  // Texts that are no single character of the code page keep their text.
  for (const std::string text : {"\n", "ab", "€1", "\xC3", "😀", " 1"}) {
    cells.setText(300, 3, text);
    EXPECT_EQ(cells.code(300, 3), CellStore::kOther) << text;
    EXPECT_EQ(cells.text(300, 3), text);
  }
}

TEST(CellStoreTest, ACellCostsAboutAByteWhateverItsText) {
  constexpr int kColumns = 20000;
  for (const bool other : {false, true}) {
    CellStore cells;
    for (int c = 0; c < kColumns; ++c) {
      for (int r = 1; r <= 48; ++r) {
        if (other) {
          cells.setText(c, r, (c + r) % 2 ? "ж" : "x");
        } else {
          cells.setCode(c, r, (c + r) % 3 ? CellStore::kEmpty : CellStore::kOne);
        }
      }
    }
    // The storage grows by doubling: at most two bytes a cell.
    EXPECT_LE(cells.memoryBytes(), 2u * kColumns * CellStore::kRows)
        << (other ? "other texts" : "0/1");
  }
}

}  // namespace
