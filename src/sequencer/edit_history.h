// The table's undo history. Every change to the channel cells goes through
// here, is made to the cell store and kept as one step that can be taken
// back and made again. A step keeps only what it changed: a toggled cell
// costs a few bytes, an edit of whole steps the cells of those steps, so a
// long history on a very long table stays small; past a limit the oldest
// steps are forgotten. The marker row is never part of a step.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "table/cell_store.h"

namespace sequencer {

class EditHistory {
 public:
  static constexpr std::size_t kDefaultLimitBytes = std::size_t{32} << 20;

  // Where an undo or redo changed the table: the first column it touched,
  // and the columns it put in (negative: took out) at that column.
  struct Effect {
    int column = 0;
    int inserted = 0;
  };

  explicit EditHistory(std::size_t limitBytes = kDefaultLimitBytes) : limitBytes_(limitBytes) {}

  // Each of these changes the cells and records the change as one step.
  // A cell set to the text it holds changes nothing and records nothing.
  void setCell(table::CellStore& cells, int col, int row, std::string_view text);
  // The text being typed into one cell: one editing of a cell is one step,
  // however many keys it took. endTyping() ends that editing.
  void typeCell(table::CellStore& cells, int col, int row, std::string_view text);
  void endTyping();
  void insertColumns(table::CellStore& cells, int at, table::ColumnBlock block);
  void removeColumns(table::CellStore& cells, int at, int count);
  void clearChannels(table::CellStore& cells, int first, int last);
  // A column dragged by its header has moved already, marker cell and all;
  // undo and redo move its channel cells only.
  void columnMoved(int from, int to);

  bool canUndo() const { return done_ > 0; }
  bool canRedo() const { return done_ < entries_.size(); }
  std::optional<Effect> undo(table::CellStore& cells);
  std::optional<Effect> redo(table::CellStore& cells);

  // What the history holds, by its own count: the steps and what they keep.
  std::size_t memoryBytes() const { return bytes_; }
  std::size_t steps() const { return entries_.size(); }

 private:
  struct Payload {
    std::string before;  // a Cell's texts when they are not "", "0", "1" or "v"
    std::string after;
    table::ColumnBlock block;  // the columns an Insert puts in, a Remove or a Clear took out
  };
  struct Entry {
    enum Kind : std::uint8_t { Cell, Move, Insert, Remove, Clear };
    Kind kind = Cell;
    std::uint8_t row = 0;     // Cell
    std::uint8_t before = 0;  // Cell: codes of the old and the new text
    std::uint8_t after = 0;
    bool typing = false;  // Cell: still being typed into
    std::int32_t col = 0;
    std::int32_t to = 0;               // Move: where the column went
    std::unique_ptr<Payload> payload;  // only where codes are not enough
  };

  static void apply(table::CellStore& cells, const Entry& entry, bool forward);
  static Effect effectOf(const Entry& entry, bool forward);
  static std::size_t bytesOf(const Entry& entry);
  static Entry cellEntry(const table::CellStore& cells, int col, int row, std::string_view text);
  // Makes the change, then records it.
  void push(table::CellStore& cells, Entry entry);
  void record(Entry entry);
  void dropFront();

  std::deque<Entry> entries_;
  std::size_t done_ = 0;  // entries_[0 … done_ − 1] are in effect
  std::size_t bytes_ = 0;
  std::size_t limitBytes_;
};

}  // namespace sequencer
