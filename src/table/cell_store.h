// The texts of the sequence table's cells, kept apart from the number of
// columns the table shows: a cell written beyond the shown columns keeps its
// text until the table grows over it.
//
// A cell is one byte, whatever its text: a one-character text is the byte
// of that character in Windows-1251, the table file's code page, so a table
// loaded from a hand-edited file costs the same as one of "0" and "1"; only
// a longer text (typed by the user) lives in a side table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "table/channels.h"

namespace table {

// The channel cells (rows 1 … 48) of a run of columns, lifted out of the
// table: a copied step, the steps an edit removed or will insert.
struct ColumnBlock {
  int columns = 0;
  std::vector<std::uint8_t> codes;  // CellStore codes, column by column, channel 1 first
  // Texts of the kOther cells, by their index in `codes`, in ascending order.
  std::vector<std::pair<std::uint32_t, std::string>> others;

  explicit ColumnBlock(int columnCount = 0)
      : columns(columnCount), codes(static_cast<std::size_t>(columnCount) * kChannels, 0) {}
  static std::size_t at(int col, int channel) {
    return static_cast<std::size_t>(col) * kChannels + static_cast<std::size_t>(channel - 1);
  }
  std::size_t memoryBytes() const;
};

class CellStore {
 public:
  static constexpr int kRows = kChannels + 1;  // row 0 the marker row, rows 1 … 48 the channels

  // A cell's code is the Windows-1251 byte of its one-character text; "" is
  // 0, and a text that is no single character of the code page is kOther.
  // LF never stands in a line of the file, so its byte is free for that.
  enum Code : std::uint8_t { kEmpty = 0, kOther = '\n', kZero = '0', kOne = '1', kMarker = 'v' };
  // The code a text is stored under.
  static Code codeOf(std::string_view text);
  // The code of a column byte of the table file (any byte but NUL and LF,
  // which no line holds).
  static Code codeOfByte(char byte) { return static_cast<Code>(static_cast<std::uint8_t>(byte)); }

  // The text of a cell; "" for a cell never written.
  const std::string& text(int col, int row) const;
  void setText(int col, int row, std::string_view text);

  Code code(int col, int row) const {
    const std::size_t i = index(col, row);
    return i < codes_.size() ? static_cast<Code>(codes_[i]) : kEmpty;
  }
  bool isOne(int col, int row) const { return code(col, row) == kOne; }
  // "0" or "1": what makes a column a data column.
  bool isData(int col, int row) const {
    const Code c = code(col, row);
    return c == kZero || c == kOne;
  }
  bool isEmpty(int col, int row) const {
    const Code c = code(col, row);
    return c == kEmpty;
  }

  // Sets one cell to any code but kOther without looking at text.
  void setCode(int col, int row, Code c) {
    // Inline for a stored cell without other text: loading a table sets
    // millions of cells one by one.
    if (col >= 0 && row >= 0 && row < kRows) {
      const std::size_t i = index(col, row);
      if (i < codes_.size() && codes_[i] != kOther) {
        codes_[i] = c;
        return;
      }
    }
    setCodeSlow(col, row, c);
  }

  // Columns that have storage; every column from here on is empty.
  int storedColumns() const { return static_cast<int>(codes_.size() / kRows); }
  void reserveColumns(int columns);

  // Moves column `from` to position `to`, shifting the columns between, with
  // all their cells (a column dragged by its header).
  void moveColumn(int from, int to);

  // Empties rows 1 … 48 of columns first … last.
  void clearChannels(int first, int last);

  // The edits of whole steps work on rows 1 … 48 only: the marker row stays
  // where it is, since it marks the step being played, not a step's data.
  ColumnBlock channels(int first, int count) const;
  void setChannels(int first, const ColumnBlock& block);
  // Shifts the steps from `at` on right by `count`, leaving empty steps.
  void insertColumns(int at, int count);
  // Takes out `count` steps from `at` on; the later ones shift left.
  void removeColumns(int at, int count);
  // A step taken from `from` and put in at `to`, the steps between shifting.
  void moveChannels(int from, int to);
  // One past the last column holding "0" or "1" in rows 1 … 48.
  int dataColumns() const;

  std::size_t memoryBytes() const;

 private:
  static std::size_t index(int col, int row) {
    return static_cast<std::size_t>(col) * kRows + static_cast<std::size_t>(row);
  }
  static std::uint64_t key(int col, int row) {
    return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(col)) << 8) |
           static_cast<std::uint32_t>(row);
  }
  void ensureColumn(int col);
  void setCodeSlow(int col, int row, Code c);
  // std::rotate over the channel rows of columns first … last − 1: column
  // `middle` becomes column `first`.
  void rotateChannels(int first, int middle, int last);

  std::vector<std::uint8_t> codes_;
  std::unordered_map<std::uint64_t, std::string> others_;
};

}  // namespace table
