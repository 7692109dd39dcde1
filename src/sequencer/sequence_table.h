// The sequence table: its cells, the column count the window shows, the
// current cell, the user's edits with their undo history, and what the table
// file keeps of its lines. The table file fills it and saves it; the player
// reads a step from it and moves the step marker in its row 0.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "sequencer/change.h"
#include "sequencer/edit_history.h"
#include "sequencer/patterns.h"
#include "storage/table_file.h"
#include "table/cell_store.h"

namespace sequencer {

class SequenceTable {
 public:
  void setObserver(Observer* observer) { observer_ = observer; }

  const table::CellStore& cells() const { return cells_; }
  int colCount() const { return colCount_; }
  int currentCol() const { return currentCol_; }
  int currentRow() const { return currentRow_; }
  // What is kept of the table file's lines as loaded (or last saved): line
  // 1's length and the lines from 49 on, not the channel lines' bytes.
  const storage::KeptLines& TableLines() const { return tableLines_; }

  // The column count the window shows; a table that loses columns takes the
  // current cell back with it.
  void setColCount(int count);
  // Moves the current cell (row 1 … 48, column 0 … colCount() − 1).
  void setCurrentCell(int col, int row);
  // Keeps the table one empty column longer than its data: drops an empty
  // last step, and adds a column when the last one has data (true then). A
  // loaded table is revealed this way, a column at a time.
  bool fitToData();
  // The step marker's cell of column `col` (row 0).
  void setMarker(int col, table::CellStore::Code code);

  // The table file's side, which fills and writes what the file holds: its
  // lines and the cells, not an edit. `load` returns the number of loaded
  // steps, which fitToData() then reveals; `save` may bring the lines up to
  // date. What either has done before it throws stays.
  using Load = std::function<int(storage::KeptLines& lines, table::CellStore& cells)>;
  using Save = std::function<void(storage::KeptLines& lines, const table::CellStore& cells,
                                  int columnsToSave)>;
  void load(const Load& fill);
  void save(const Save& write);
  // Columns the table file must keep: all shown data columns, while a
  // loaded table is still being revealed every loaded column, and every
  // column with data that is not shown yet (steps put in by an edit).
  int columnsToSave() const;

  // Editing. Every change to the channel cells is one step of the history;
  // none touches the marker row or the files. The shown column count stays
  // fitToData()'s to change.
  const EditHistory& history() const { return history_; }
  void setCell(int col, int row, const std::string& text);
  // A click's toggle of the current cell: "" and "0" become "1", anything
  // else "".
  void toggleCurrentCell();
  // The in-place editor's text, as it is typed; endTyping() when it closes.
  void typeCell(int col, int row, const std::string& text);
  void endTyping();
  void moveColumn(int from, int to);  // a column dragged by its header
  // Edits of the step in column `col`. Paste, the empty step and the
  // patterns go in before it; cut and delete shift the later steps left.
  void copyColumn(int col);
  void cutColumn(int col);
  void pasteColumn(int col);
  void duplicateColumn(int col);
  void insertEmptyColumn(int col);
  void deleteColumn(int col);
  void insertPattern(int col, const Pattern& pattern);
  // The channel cells of columns 0 … `lastColumn` emptied, as one step.
  void clearChannels(int lastColumn);
  bool hasCopiedColumn() const { return copied_.columns > 0; }
  // The column the step changed, for the view to show; nothing when there
  // was nothing to undo or redo.
  std::optional<int> undo();
  std::optional<int> redo();

 private:
  void notify(Change what, int index = 0);
  bool columnEmpty(int col) const;
  bool columnHasData(int col) const;
  // After an edit that put in or took out `count` columns at `at`.
  void columnsShifted(int at, int count);
  void insertColumns(int at, table::ColumnBlock block);

  table::CellStore cells_;
  int colCount_ = 1;
  int currentCol_ = 0;
  int currentRow_ = 1;
  storage::KeptLines tableLines_;
  int loadedColumns_ = 0;
  bool revealPending_ = false;
  EditHistory history_;
  table::ColumnBlock copied_;
  Observer* observer_ = nullptr;
};

}  // namespace sequencer
