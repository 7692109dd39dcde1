// The table file: 48 channel lines, each a prefix and one byte per step
// column, then the interval line; Windows-1251 text, CR LF after every line.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "storage/file_io.h"
#include "table/cell_store.h"
#include "table/channels.h"

namespace storage {

// The file's lines as raw Windows-1251 bytes, without line ends.
using TableLines = std::vector<std::string>;

// What the program keeps of the file's lines from loading to the save at
// exit. Lines 1 … 48 are not kept: once loaded their bytes are the cells,
// and a second copy would double the memory of a big table; the save builds
// them from the cells anyway. Only line 1's length stays, which tells the
// reveal how many columns were loaded.
struct KeptLines {
  std::size_t firstLineLength = 0;  // 10 + the loaded columns
  TableLines fromLine49;            // the interval line and those after it, as read
  bool operator==(const KeptLines&) const = default;
};

// The file's own name, opened in the current folder.
inline constexpr const char* kTableFileName = "Rilvet_код.txt";

inline constexpr int kChannelPrefixBytes = 10;
inline constexpr int kIntervalPrefixBytes = 9;

// A line ends at CR, LF or CR LF (LF CR is two ends); a last line without an
// end counts; a NUL ends the text; an empty text has no lines.
TableLines splitLines(std::string_view bytes);
// CR LF after every line, the last included.
std::string joinLines(const TableLines& lines);

// "01й канал " … "48й канал " in Windows-1251, for k = 1 … 48.
std::string ChannelLinePrefix(int k);
// "Скорость " in Windows-1251.
std::string IntervalLinePrefix();

// The 48 channel prefixes and the bare interval prefix: an empty table.
TableLines defaultTableLines();

// At least 48 lines, and lines 1 … 48 all of one length. Nothing else counts.
bool isWellFormed(const TableLines& lines);

struct LoadResult {
  int columns = 0;         // loaded step columns: length of line 1 minus 10, at least 0
  bool created = false;    // the file was missing and has been written with the default
  bool replaced = false;   // the file was malformed and has been replaced by the default
  std::string backupName;  // where the malformed file was kept; empty when none was made
};

// Loads the table file into `kept`, the cells of columns 0 … columns − 1
// (rows 1 … 48) and, when line 49 carries one, the interval text. A missing
// file is created with the default content; a malformed one is first kept as
// fileName + ".bak" (or ".bak1", ".bak2" … the first free or identical one)
// and then replaced by the default, both written through `saves`. The file is
// read in pieces, twice when it is well-formed (checked, then filled in), and
// never held whole. Throws FileError.
LoadResult LoadTable(SaveCalls& saves, const std::string& fileName, KeptLines& kept,
                     table::CellStore& cells, std::string& edit1Text);

// Saves the table as Sohr would, but beside the file instead of over it (the
// file could not be loaded, and may still hold a table): as fileName +
// ".edited", or the first of ".edited1", ".edited2" … that is free or already
// holds the same bytes. Returns the name written. Throws FileError.
std::string SaveBeside(SaveCalls& saves, const std::string& fileName, const table::CellStore& cells,
                       int columnsToSave, const std::string& edit1Text);

// Writes columns 0 … columnsToSave − 1 of the table ('1' for a cell that is
// exactly "1", '0' for any other) and the interval, keeping the file's lines
// after 49 as they are on the disk now. The file is replaced atomically; a
// failed save leaves it as it was and throws FileError; a save that
// succeeds leaves in `kept` what was written.
void Sohr(SaveCalls& saves, const std::string& fileName, KeptLines& kept,
          const table::CellStore& cells, int columnsToSave, const std::string& edit1Text);

}  // namespace storage
