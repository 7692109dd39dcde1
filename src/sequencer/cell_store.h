// The texts of the sequence table's cells, kept apart from the number of
// columns the table shows: a cell written beyond the shown columns keeps its
// text until the table grows over it.
//
// Nearly every cell holds "", "0", "1" (or "v" in the marker row), so a cell
// is one byte; any other text lives in a side table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace sequencer {

class CellStore {
 public:
  static constexpr int kRows = 49;  // row 0 the marker row, rows 1 … 48 the channels

  enum Code : std::uint8_t { kEmpty, kZero, kOne, kMarker, kOther };

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

  // Sets one cell to a plain code ("" "0" "1" "v") without looking at text.
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

  std::vector<std::uint8_t> codes_;
  std::unordered_map<std::uint64_t, std::string> others_;
};

}  // namespace sequencer
