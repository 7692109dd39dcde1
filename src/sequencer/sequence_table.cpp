#include "sequencer/sequence_table.h"

#include <algorithm>
#include <utility>

#include "table/channels.h"

using table::CellStore;
using table::ColumnBlock;
using table::kChannels;

namespace sequencer {

void SequenceTable::notify(Change what, int index) {
  if (observer_) observer_->changed(what, index);
}

void SequenceTable::setColCount(int count) {
  colCount_ = count;
  // A table that lost columns takes the current cell back with it, without
  // choosing a cell.
  if (currentCol_ > colCount_ - 1) {
    currentCol_ = colCount_ - 1;
    notify(Change::CurrentCell);
  }
  notify(Change::Columns);
}

void SequenceTable::setCurrentCell(int col, int row) {
  col = std::clamp(col, 0, colCount_ - 1);
  row = std::clamp(row, 1, kChannels);
  if (col == currentCol_ && row == currentRow_) return;
  currentCol_ = col;
  currentRow_ = row;
  notify(Change::CurrentCell);
}

bool SequenceTable::columnEmpty(int col) const {
  for (int row = 1; row <= kChannels; ++row) {
    if (!cells_.isEmpty(col, row)) return false;
  }
  return true;
}

bool SequenceTable::columnHasData(int col) const {
  for (int row = 1; row <= kChannels; ++row) {
    if (cells_.isData(col, row)) return true;
  }
  return false;
}

bool SequenceTable::fitToData() {
  if (colCount_ >= 2 && columnEmpty(colCount_ - 2)) setColCount(colCount_ - 1);
  if (!columnHasData(colCount_ - 1)) return false;
  setColCount(colCount_ + 1);
  if (revealPending_ && colCount_ - 1 >= loadedColumns_) revealPending_ = false;
  return true;
}

void SequenceTable::setMarker(int col, CellStore::Code code) {
  // Only the marker cell is announced, so that a view redraws two or three
  // cells a step, not the whole table.
  cells_.setCode(col, 0, code);
  notify(Change::Marker, col);
}

void SequenceTable::load(const Load& fill) {
  const int columns = fill(tableLines_, cells_);
  notify(Change::Cells, -1);
  loadedColumns_ = columns;
  revealPending_ = columns > colCount_ - 1;
}

void SequenceTable::save(const Save& write) {
  write(tableLines_, cells_, columnsToSave());
}

int SequenceTable::columnsToSave() const {
  const int shown = colCount_ - 1;
  return std::max({shown, revealPending_ ? loadedColumns_ : 0, cells_.dataColumns()});
}

// ---------------------------------------------------------------- editing

void SequenceTable::setCell(int col, int row, const std::string& text) {
  if (cells_.text(col, row) == text) return;
  history_.setCell(cells_, col, row, text);
  notify(Change::Cells, col);
}

void SequenceTable::toggleCurrentCell() {
  const std::string& t = cells_.text(currentCol_, currentRow_);
  setCell(currentCol_, currentRow_, (t.empty() || t == "0") ? "1" : "");
}

void SequenceTable::typeCell(int col, int row, const std::string& text) {
  if (cells_.text(col, row) == text) return;
  history_.typeCell(cells_, col, row, text);
  notify(Change::Cells, col);
}

void SequenceTable::endTyping() {
  history_.endTyping();
}

void SequenceTable::moveColumn(int from, int to) {
  if (from == to) return;
  cells_.moveColumn(from, to);
  history_.columnMoved(from, to);
  notify(Change::Cells, -1);
}

void SequenceTable::columnsShifted(int at, int count) {
  // Loaded columns not shown yet move with the edit.
  if (revealPending_ && at < loadedColumns_) loadedColumns_ = std::max(at, loadedColumns_ + count);
  notify(Change::Cells, -1);
}

void SequenceTable::insertColumns(int at, ColumnBlock block) {
  const int count = block.columns;
  history_.insertColumns(cells_, at, std::move(block));
  columnsShifted(at, count);
}

void SequenceTable::copyColumn(int col) {
  copied_ = cells_.channels(col, 1);
}

void SequenceTable::cutColumn(int col) {
  copyColumn(col);
  deleteColumn(col);
}

void SequenceTable::pasteColumn(int col) {
  if (hasCopiedColumn()) insertColumns(col, copied_);
}

void SequenceTable::duplicateColumn(int col) {
  insertColumns(col, cells_.channels(col, 1));
}

void SequenceTable::insertEmptyColumn(int col) {
  insertColumns(col, ColumnBlock(1));
}

void SequenceTable::deleteColumn(int col) {
  history_.removeColumns(cells_, col, 1);
  columnsShifted(col, -1);
}

void SequenceTable::insertPattern(int col, const Pattern& pattern) {
  insertColumns(col, makePattern(pattern, cells_.channels(col, 1)));
}

void SequenceTable::clearChannels(int lastColumn) {
  history_.clearChannels(cells_, 0, lastColumn);
  notify(Change::Cells, -1);
}

std::optional<int> SequenceTable::undo() {
  const auto effect = history_.undo(cells_);
  if (!effect) return std::nullopt;
  columnsShifted(effect->column, effect->inserted);
  return effect->column;
}

std::optional<int> SequenceTable::redo() {
  const auto effect = history_.redo(cells_);
  if (!effect) return std::nullopt;
  columnsShifted(effect->column, effect->inserted);
  return effect->column;
}

}  // namespace sequencer
