// Fuzzes the table file loader: any bytes in the table file's place must load
// without an exception into a well-formed table, save back in the file's
// exact format and load again to the same on/off pattern.
//
// The file, its backup and the saver's temporary file live in a private
// folder made once per process and emptied before every input.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <set>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "storage/file_io.h"
#include "storage/table_file.h"
#include "support/temp_folder.h"
#include "table/cell_store.h"
#include "table/cp1251.h"
#include "table/interval.h"

namespace {

using fuzz_support::fail;
using Folder = testing_support::TempFolder;
using fuzz_support::readBytes;
using fuzz_support::writeBytes;

namespace fs = std::filesystem;

using storage::LoadResult;
using storage::TableLines;
using table::CellStore;

const Folder& folder() {
  static const Folder instance;
  return instance;
}

// The line rule written out plainly, to hold the loader's faster scan to:
// CR, LF or CR LF end a line, a NUL ends the text, an unended last line counts.
TableLines referenceLines(std::string_view bytes) {
  TableLines lines;
  std::string current;
  bool open = false;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const char c = bytes[i];
    if (c == '\0') break;
    if (c == '\r' || c == '\n') {
      lines.push_back(current);
      current.clear();
      open = false;
      if (c == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') ++i;
    } else {
      current += c;
      open = true;
    }
  }
  if (open) lines.push_back(current);
  return lines;
}

std::string crlfJoined(const TableLines& lines) {
  std::string bytes;
  for (const std::string& line : lines) bytes += line + "\r\n";
  return bytes;
}

bool referenceWellFormed(const TableLines& lines) {
  if (lines.size() < 48) return false;
  for (std::size_t i = 1; i < 48; ++i) {
    if (lines[i].size() != lines[0].size()) return false;
  }
  return true;
}

// "01й канал " … in Windows-1251.
std::string channelPrefix(int k) {
  char digits[3];
  std::snprintf(digits, sizeof digits, "%02d", k);
  return std::string(digits) + "\xE9 \xEA\xE0\xED\xE0\xEB ";
}

const std::string kSpeed = "\xD1\xEA\xEE\xF0\xEE\xF1\xF2\xFC ";  // "Скорость "

TableLines defaultLines() {
  TableLines lines;
  for (int k = 1; k <= 48; ++k) lines.push_back(channelPrefix(k));
  lines.push_back(kSpeed);
  return lines;
}

// The interval a saved line 49 carries: the decimal digits after the prefix,
// at least 1, no sign, no leading zero; -1 when the line is not so.
long long savedInterval(const std::string& line) {
  if (line.compare(0, kSpeed.size(), kSpeed) != 0) return -1;
  const std::string digits = line.substr(kSpeed.size());
  if (digits.empty() || digits.size() > 10 || digits[0] == '0') return -1;
  long long value = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value <= std::numeric_limits<std::int32_t>::max() ? value : -1;
}

bool cellIsOn(const TableLines& lines, int column, int k) {
  return lines[static_cast<std::size_t>(k - 1)][10 + static_cast<std::size_t>(column)] == '1';
}

LoadResult load(const std::string& name, storage::KeptLines& lines, CellStore& cells,
                std::string& edit1) {
  try {
    return storage::LoadTable(storage::systemSaveCalls(), name, lines, cells, edit1);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "LoadTable threw: %s\n", error.what());
    fail(__FILE__, "LoadTable does not throw in a healthy folder", __LINE__);
  }
}

void fuzzOne(std::string_view input) {
  const Folder& dir = folder();
  dir.clear();
  const std::string name = dir.path(storage::kTableFileName);
  const std::string backup = name + ".bak";
  const std::string fileEntry = fs::path(name).filename().string();
  const std::string backupEntry = fs::path(backup).filename().string();
  writeBytes(name, input);

  const TableLines original = referenceLines(input);
  CHECK(storage::splitLines(input) == original);
  const bool malformed = !referenceWellFormed(original);
  CHECK(storage::isWellFormed(original) == !malformed);

  storage::KeptLines kept;
  CellStore cells;
  std::string edit1;
  const LoadResult result = load(name, kept, cells, edit1);
  // What the file held as the loader read it; the loader keeps of it only
  // line 1's length and the lines from 49 on.
  TableLines lines = malformed ? defaultLines() : original;
  if (lines.size() == 48) lines.push_back(kSpeed);
  CHECK(kept.firstLineLength == lines[0].size());
  CHECK(kept.fromLine49 == TableLines(lines.begin() + 48, lines.end()));

  // What the loader must have done to the disk.
  CHECK(!result.created);
  CHECK(result.replaced == malformed);
  if (malformed) {
    CHECK(readBytes(name) == crlfJoined(defaultLines()));
    if (input.empty()) {
      CHECK(result.backupName.empty());
      CHECK(dir.entries() == std::set<std::string>{fileEntry});
    } else {
      CHECK(result.backupName == backup);
      CHECK(readBytes(backup) == input);
      CHECK((dir.entries() == std::set<std::string>{fileEntry, backupEntry}));
    }
  } else {
    CHECK(result.backupName.empty());
    CHECK(readBytes(name) == input);
    CHECK(dir.entries() == std::set<std::string>{fileEntry});
  }
  const std::size_t lineLength = lines[0].size();
  const int columns = lineLength > 10 ? static_cast<int>(lineLength - 10) : 0;
  CHECK(result.columns == columns);

  // The cells: on exactly where the byte is '1'; an all-'0' step stays data.
  CHECK(cells.storedColumns() <= columns);
  for (int c = 0; c < columns; ++c) {
    bool allZero = true;
    for (int k = 1; k <= 48; ++k) {
      CHECK(cells.isOne(c, k) == cellIsOn(lines, c, k));
      if (lines[static_cast<std::size_t>(k - 1)][10 + static_cast<std::size_t>(c)] != '0') {
        allZero = false;
      }
    }
    if (allZero) {
      for (int k = 1; k <= 48; ++k) CHECK(cells.isData(c, k));
    }
  }
  for (int k = 0; k < CellStore::kRows; ++k) CHECK(cells.isEmpty(columns, k));

  const std::string& intervalLine = lines[48];
  if (intervalLine.size() > 9) {
    CHECK(edit1 == table::cp1251ToUtf8(std::string_view(intervalLine).substr(9)));
  } else {
    CHECK(edit1.empty());
  }

  // Save the loaded table back.
  const TableLines loaded = lines;
  try {
    storage::Sohr(storage::systemSaveCalls(), name, kept, cells, result.columns, edit1);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "Sohr threw: %s\n", error.what());
    fail(__FILE__, "Sohr does not throw in a healthy folder", __LINE__);
  }
  const std::string written = readBytes(name);
  const TableLines saved = referenceLines(written);
  CHECK(written == crlfJoined(saved));  // no NUL, CR LF after every line
  CHECK(storage::splitLines(written) == saved);
  CHECK(storage::isWellFormed(saved));
  CHECK(kept.firstLineLength == saved[0].size());
  CHECK(kept.fromLine49 == TableLines(saved.begin() + 48, saved.end()));
  CHECK(saved.size() == loaded.size());
  for (int k = 1; k <= 48; ++k) {
    std::string expected = channelPrefix(k);
    for (int c = 0; c < columns; ++c) expected += cellIsOn(loaded, c, k) ? '1' : '0';
    CHECK(saved[static_cast<std::size_t>(k - 1)] == expected);
  }
  const long long interval = savedInterval(saved[48]);
  CHECK(interval >= 1);
  const std::int32_t typed = table::intervalValue(edit1);
  CHECK(interval == (typed < 1 ? 1 : typed));
  for (std::size_t i = 49; i < loaded.size(); ++i) CHECK(saved[i] == loaded[i]);
  const std::set<std::string> afterSave = dir.entries();
  CHECK(afterSave.count(fileEntry) == 1);
  CHECK(afterSave.size() == (result.backupName.empty() ? 1u : 2u));  // no temporary file left

  // And load what was saved.
  storage::KeptLines again;
  CellStore cellsAgain;
  std::string edit1Again;
  const LoadResult reloaded = load(name, again, cellsAgain, edit1Again);
  CHECK(!reloaded.created);
  CHECK(!reloaded.replaced);
  CHECK(reloaded.backupName.empty());
  CHECK(reloaded.columns == columns);
  CHECK(again == kept);
  CHECK(edit1Again == std::to_string(interval));
  CHECK(readBytes(name) == written);
  for (int c = 0; c < columns; ++c) {
    for (int k = 1; k <= 48; ++k) CHECK(cellsAgain.isOne(c, k) == cells.isOne(c, k));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzOne(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
