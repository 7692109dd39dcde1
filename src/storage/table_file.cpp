#include "storage/table_file.h"

#include <algorithm>
#include <cstdint>

#include "storage/file_io.h"
#include "table/cp1251.h"
#include "table/interval.h"

namespace storage {

namespace {

using table::CellStore;
using table::cp1251ToUtf8;
using table::kChannels;

// Keeps bytes beside the file: in fileName + suffix, or the first of
// suffix + "1", suffix + "2" … that is free or already holds the same bytes,
// so that nothing kept earlier is overwritten. A link found at a free name is
// replaced, not followed: these names are ours, and a link there was not put
// by the user.
std::string keepBeside(const std::string& fileName, const std::string& suffix,
                       const std::string& bytes) {
  for (int n = 0;; ++n) {
    std::string name = fileName + suffix + (n == 0 ? std::string() : std::to_string(n));
    if (!fileExists(name)) {
      writeFileAtomically(name, bytes, LinkAtName::kReplace);
      return name;
    }
    try {
      if (readFile(name) == bytes) return name;
    } catch (const FileError&) {
      // Something unreadable holds this name; try the next one.
    }
  }
}

void writeDefault(const std::string& fileName, TableLines& lines) {
  lines = defaultTableLines();
  writeFileAtomically(fileName, joinLines(lines));
}

int loadedColumns(const TableLines& lines) {
  const std::size_t length = lines.empty() ? 0 : lines[0].size();
  return length > kChannelPrefixBytes ? static_cast<int>(length - kChannelPrefixBytes) : 0;
}

void fillCells(const TableLines& lines, int columns, CellStore& cells) {
  cells.reserveColumns(columns);
  for (int c = 0; c < columns; ++c) {
    const std::size_t p = kChannelPrefixBytes + static_cast<std::size_t>(c);
    bool allZero = true;
    for (int k = 1; k <= kChannels; ++k) {
      const char byte = lines[static_cast<std::size_t>(k - 1)][p];
      if (byte == '1') {
        cells.setCode(c, k, CellStore::kOne);
        allZero = false;
      } else if (byte == '0') {
        cells.setCode(c, k, CellStore::kEmpty);
      } else {
        cells.setCode(c, k, CellStore::codeOfByte(byte));
        allZero = false;
      }
    }
    // An all-off step must stay a data column, or the table would end there.
    if (allZero) {
      for (int k = 1; k <= kChannels; ++k) cells.setCode(c, k, CellStore::kZero);
    }
  }
}

}  // namespace

TableLines splitLines(std::string_view bytes) {
  const std::size_t nul = bytes.find('\0');
  if (nul != std::string_view::npos) bytes = bytes.substr(0, nul);
  TableLines lines;
  std::size_t start = 0;
  while (start < bytes.size()) {
    // A plain scan: find_first_of looks every byte up in "\r\n" with a call,
    // which made this most of a big table's load time.
    std::size_t end = start;
    while (end < bytes.size() && bytes[end] != '\r' && bytes[end] != '\n') ++end;
    if (end == bytes.size()) {
      lines.emplace_back(bytes.substr(start));
      break;
    }
    lines.emplace_back(bytes.substr(start, end - start));
    start = end + 1;
    if (bytes[end] == '\r' && start < bytes.size() && bytes[start] == '\n') ++start;
  }
  return lines;
}

std::string joinLines(const TableLines& lines) {
  std::size_t size = 0;
  for (const std::string& line : lines) size += line.size() + 2;
  std::string bytes;
  bytes.reserve(size);
  for (const std::string& line : lines) {
    bytes += line;
    bytes += "\r\n";
  }
  return bytes;
}

std::string ChannelLinePrefix(int k) {
  std::string prefix = "00\xE9 \xEA\xE0\xED\xE0\xEB ";  // "й канал "
  prefix[0] = static_cast<char>('0' + k / 10);
  prefix[1] = static_cast<char>('0' + k % 10);
  return prefix;
}

std::string IntervalLinePrefix() {
  return "\xD1\xEA\xEE\xF0\xEE\xF1\xF2\xFC ";  // "Скорость "
}

TableLines defaultTableLines() {
  TableLines lines;
  lines.reserve(kChannels + 1);
  for (int k = 1; k <= kChannels; ++k) lines.push_back(ChannelLinePrefix(k));
  lines.push_back(IntervalLinePrefix());
  return lines;
}

bool isWellFormed(const TableLines& lines) {
  if (lines.size() < kChannels) return false;
  for (std::size_t i = 0; i + 1 < kChannels; ++i) {
    if (lines[i].size() != lines[i + 1].size()) return false;
  }
  return true;
}

LoadResult LoadTable(const std::string& fileName, TableLines& lines, CellStore& cells,
                     std::string& edit1Text) {
  LoadResult result;
  if (!fileExists(fileName)) {
    writeDefault(fileName, lines);
    result.created = true;
  }
  std::string bytes = readFile(fileName);
  lines = splitLines(bytes);
  if (!isWellFormed(lines)) {
    // The replacement would lose the user's sequence without a trace; keep
    // the old bytes first (an empty file holds nothing worth keeping).
    if (!bytes.empty()) result.backupName = keepBeside(fileName, ".bak", bytes);
    writeDefault(fileName, lines);
    result.replaced = true;
  }
  // The lines hold it all now: the bytes must not stay beside the cells.
  std::string().swap(bytes);
  // A table without its interval line is still a table: supply the line, so
  // the cells are kept and the next save has a line 49 to write.
  if (lines.size() == kChannels) lines.push_back(IntervalLinePrefix());

  result.columns = loadedColumns(lines);
  fillCells(lines, result.columns, cells);

  const std::string& interval = lines[kChannels];
  if (interval.size() > kIntervalPrefixBytes) {
    edit1Text = cp1251ToUtf8(std::string_view(interval).substr(kIntervalPrefixBytes));
  }
  return result;
}

namespace {

// Lines 1 … 49 as a save writes them.
TableLines savedLines(const CellStore& cells, int columnsToSave, const std::string& edit1Text) {
  const int columns = std::max(columnsToSave, 0);
  TableLines lines;
  lines.reserve(kChannels + 1);
  for (int k = 1; k <= kChannels; ++k) {
    lines.push_back(ChannelLinePrefix(k));
    lines.back().reserve(kChannelPrefixBytes + static_cast<std::size_t>(columns));
  }
  for (int c = 0; c < columns; ++c) {
    for (int k = 1; k <= kChannels; ++k) {
      lines[static_cast<std::size_t>(k - 1)] += cells.isOne(c, k) ? '1' : '0';
    }
  }
  const std::int32_t interval = table::intervalValue(edit1Text);
  lines.push_back(IntervalLinePrefix() + std::to_string(std::max(interval, std::int32_t{1})));
  return lines;
}

}  // namespace

void Sohr(const std::string& fileName, TableLines& lines, const CellStore& cells, int columnsToSave,
          const std::string& edit1Text) {
  TableLines table = savedLines(cells, columnsToSave, edit1Text);
  // The lines after 49 are the file's as it is now. A file deleted or cut
  // short since start-up gives fewer; the table is saved all the same.
  TableLines saved = fileExists(fileName) ? splitLines(readFile(fileName)) : TableLines();
  if (saved.size() < kChannels + 1) saved.resize(kChannels + 1);
  std::move(table.begin(), table.end(), saved.begin());

  lines = std::move(saved);
  writeFileAtomically(fileName, joinLines(lines));
}

std::string SaveBeside(const std::string& fileName, const CellStore& cells, int columnsToSave,
                       const std::string& edit1Text) {
  return keepBeside(fileName, ".edited", joinLines(savedLines(cells, columnsToSave, edit1Text)));
}

}  // namespace storage
