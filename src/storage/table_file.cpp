#include "storage/table_file.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

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
std::string keepBeside(SaveCalls& saves, const std::string& fileName, const std::string& suffix,
                       const std::string& bytes) {
  for (int n = 0;; ++n) {
    std::string name = fileName + suffix + (n == 0 ? std::string() : std::to_string(n));
    if (!fileExists(name)) {
      writeFileAtomically(saves, name, bytes, LinkAtName::kReplace);
      return name;
    }
    try {
      if (readFile(name) == bytes) return name;
    } catch (const FileError&) {
      // Something unreadable holds this name; try the next one.
    }
  }
}

// Cuts a text handed over in pieces into lines: a line ends at CR, LF or
// CR LF (LF CR is two ends, and a CR LF may be split between two pieces); a
// last line without an end counts; a NUL ends the text. The sink gets each
// line's bytes as runs (`bytes`) and its end (`end`).
template <class Sink>
class LineSplitter {
 public:
  explicit LineSplitter(Sink& sink) : sink_(sink) {}

  void feed(std::string_view piece) {
    if (stopped_) return;
    const std::size_t nul = piece.find('\0');
    if (nul != std::string_view::npos) {
      piece = piece.substr(0, nul);
      stopped_ = true;
    }
    std::size_t start = 0;
    if (afterCr_ && !piece.empty()) {
      afterCr_ = false;
      if (piece[0] == '\n') start = 1;
    }
    while (start < piece.size()) {
      // A plain scan: find_first_of looks every byte up in "\r\n" with a
      // call, which made this most of a big table's load time.
      std::size_t end = start;
      while (end < piece.size() && piece[end] != '\r' && piece[end] != '\n') ++end;
      if (end > start) {
        sink_.bytes(piece.substr(start, end - start));
        open_ = true;
      }
      if (end == piece.size()) break;
      sink_.end();
      open_ = false;
      start = end + 1;
      if (piece[end] == '\r') {
        if (start == piece.size()) {
          afterCr_ = true;
        } else if (piece[start] == '\n') {
          ++start;
        }
      }
    }
  }

  // The end of the text: a line still open counts.
  void finish() {
    if (open_) sink_.end();
    open_ = false;
  }

 private:
  Sink& sink_;
  bool open_ = false;
  bool afterCr_ = false;
  bool stopped_ = false;
};

// Lines as strings.
struct LinesSink {
  TableLines& lines;
  bool open = false;
  void bytes(std::string_view run) {
    if (!open) lines.emplace_back();
    lines.back().append(run);
    open = true;
  }
  void end() {
    if (!open) lines.emplace_back();
    open = false;
  }
};

// The form check, on lengths alone: nothing of the lines is kept.
struct FormSink {
  std::size_t lines = 0;
  std::size_t length = 0;  // of the line being read
  std::size_t firstLength = 0;
  bool sameLength = true;
  void bytes(std::string_view run) { length += run.size(); }
  void end() {
    if (lines == 0) {
      firstLength = length;
    } else if (lines < kChannels && length != firstLength) {
      sameLength = false;
    }
    ++lines;
    length = 0;
  }
  bool wellFormed() const { return lines >= kChannels && sameLength; }
};

// The cells from lines 1 … 48, byte by byte, and the lines from 49 on.
struct FillSink {
  CellStore& cells;
  std::size_t columns;
  TableLines& fromLine49;
  // Columns holding a byte other than "0"; the rest become columns of "0".
  std::vector<bool> notAllZero = std::vector<bool>(columns, false);
  int line = 0;  // 0-based
  std::size_t at = 0;
  LinesSink rest{fromLine49};

  void bytes(std::string_view run) {
    if (line >= kChannels) {
      rest.bytes(run);
      return;
    }
    const int row = line + 1;
    for (const char byte : run) {
      // The bounds hold for the file that was checked; one changed since
      // cannot write past them.
      if (at >= kChannelPrefixBytes && at < kChannelPrefixBytes + columns) {
        const std::size_t c = at - kChannelPrefixBytes;
        const int col = static_cast<int>(c);
        if (byte == '0') {
          cells.setCode(col, row, CellStore::kEmpty);
        } else {
          cells.setCode(col, row, byte == '1' ? CellStore::kOne : CellStore::codeOfByte(byte));
          notAllZero[c] = true;
        }
      }
      ++at;
    }
  }
  void end() {
    if (line >= kChannels) rest.end();
    ++line;
    at = 0;
  }
  // An all-off step must stay a data column, or the table would end there.
  void finish() {
    for (std::size_t c = 0; c < columns; ++c) {
      if (notAllZero[c]) continue;
      for (int k = 1; k <= kChannels; ++k) cells.setCode(static_cast<int>(c), k, CellStore::kZero);
    }
  }
};

// The file's lines into the sink, read in pieces. False for an empty file.
template <class Sink>
bool splitFile(const std::string& fileName, Sink& sink) {
  LineSplitter<Sink> splitter(sink);
  bool any = false;
  readFileInPieces(fileName, [&](std::string_view piece) {
    any = true;
    splitter.feed(piece);
  });
  splitter.finish();
  return any;
}

void writeDefault(SaveCalls& saves, const std::string& fileName, KeptLines& kept) {
  const TableLines lines = defaultTableLines();
  writeFileAtomically(saves, fileName, joinLines(lines));
  kept.firstLineLength = lines.front().size();
  kept.fromLine49.assign(lines.begin() + kChannels, lines.end());
}

}  // namespace

TableLines splitLines(std::string_view bytes) {
  TableLines lines;
  LinesSink sink{lines};
  LineSplitter<LinesSink> splitter(sink);
  splitter.feed(bytes);
  splitter.finish();
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

LoadResult LoadTable(SaveCalls& saves, const std::string& fileName, KeptLines& kept,
                     CellStore& cells, std::string& edit1Text) {
  LoadResult result;
  if (!fileExists(fileName)) {
    writeDefault(saves, fileName, kept);
    result.created = true;
  }
  FormSink form;
  const bool empty = !splitFile(fileName, form);
  if (!form.wellFormed()) {
    // The replacement would lose the user's sequence without a trace; keep
    // the old bytes first (an empty file holds nothing worth keeping).
    if (!empty) result.backupName = keepBeside(saves, fileName, ".bak", readFile(fileName));
    writeDefault(saves, fileName, kept);
    result.replaced = true;
    return result;
  }

  const std::size_t columns =
      form.firstLength > kChannelPrefixBytes ? form.firstLength - kChannelPrefixBytes : 0;
  cells.reserveColumns(static_cast<int>(columns));
  kept = KeptLines{form.firstLength, {}};
  FillSink fill{cells, columns, kept.fromLine49};
  splitFile(fileName, fill);
  fill.finish();
  result.columns = static_cast<int>(columns);

  // A table without its interval line is still a table: supply the line, so
  // the cells are kept and the next save has a line 49 to write.
  if (kept.fromLine49.empty()) kept.fromLine49.push_back(IntervalLinePrefix());
  const std::string& interval = kept.fromLine49.front();
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

void Sohr(SaveCalls& saves, const std::string& fileName, KeptLines& kept, const CellStore& cells,
          int columnsToSave, const std::string& edit1Text) {
  TableLines table = savedLines(cells, columnsToSave, edit1Text);
  // The lines after 49 are the file's as it is now. A file deleted or cut
  // short since start-up gives fewer; the table is saved all the same.
  TableLines saved = fileExists(fileName) ? splitLines(readFile(fileName)) : TableLines();
  if (saved.size() < kChannels + 1) saved.resize(kChannels + 1);
  std::move(table.begin(), table.end(), saved.begin());

  writeFileAtomically(saves, fileName, joinLines(saved));
  kept.firstLineLength = saved.front().size();
  kept.fromLine49.assign(std::make_move_iterator(saved.begin() + kChannels),
                         std::make_move_iterator(saved.end()));
}

std::string SaveBeside(SaveCalls& saves, const std::string& fileName, const CellStore& cells,
                       int columnsToSave, const std::string& edit1Text) {
  return keepBeside(saves, fileName, ".edited",
                    joinLines(savedLines(cells, columnsToSave, edit1Text)));
}

}  // namespace storage
