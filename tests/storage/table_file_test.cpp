#include "storage/table_file.h"

#include <cerrno>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "storage/file_io.h"
#include "storage/file_test_support.h"
#include "support/save_faults.h"
#include "support/table_bytes.h"
#include "table/cp1251.h"

using storage::FileError;
using storage::LoadResult;
using storage::TableLines;
using table::CellStore;
using testing_support::exists;
using testing_support::expectFileError;
using testing_support::readBytes;
using testing_support::TempFolder;
using testing_support::writeBytes;
using testing_support::WriteStep;

namespace {

using testing_support::channelPrefix;
const std::string& kSpeed = testing_support::kIntervalPrefix;

// The 48 channel lines with the given column bytes, then the interval line.
TableLines tableLines(const std::vector<std::string>& columns, const std::string& interval) {
  TableLines lines;
  for (int k = 1; k <= 48; ++k) lines.push_back(channelPrefix(k) + columns[k - 1]);
  lines.push_back(kSpeed + interval);
  return lines;
}

std::string join(const TableLines& lines, const std::string& end = "\r\n") {
  std::string bytes;
  for (const std::string& line : lines) bytes += line + end;
  return bytes;
}

// The three-column example: channel 1 on in step 1, channel 2 in step 3,
// step 2 all off, interval 250.
std::vector<std::string> exampleColumns() {
  std::vector<std::string> columns(48, "000");
  columns[0] = "100";
  columns[1] = "001";
  return columns;
}

const std::string kExample = join(tableLines(exampleColumns(), "250"));

// What the loader keeps of a file's lines.
storage::KeptLines kept(const TableLines& file) {
  return {file.front().size(), TableLines(file.begin() + 48, file.end())};
}

std::string defaultFile() {
  return join(tableLines(std::vector<std::string>(48), ""));
}

class TableFileTest : public ::testing::Test {
 protected:
  LoadResult load() { return storage::LoadTable(disk, name, lines, cells, edit1); }
  void save(int columns) { storage::Sohr(disk, name, lines, cells, columns, edit1); }

  // Rows 1 … 48 of a column.
  std::vector<std::string> column(int c) const {
    std::vector<std::string> texts;
    for (int k = 1; k <= 48; ++k) texts.push_back(cells.text(c, k));
    return texts;
  }
  static std::vector<std::string> columnWith(std::vector<std::pair<int, std::string>> set,
                                             const std::string& rest = "") {
    std::vector<std::string> texts(48, rest);
    for (const auto& [k, text] : set) texts[k - 1] = text;
    return texts;
  }
  std::set<std::string> onlyTheFile() const { return {storage::kTableFileName}; }

  TempFolder folder;
  const std::string name = folder.path(storage::kTableFileName);
  storage::KeptLines lines;
  CellStore cells;
  std::string edit1 = "100";
  testing_support::SaveFaults disk;
};

// --- line format --------------------------------------------------------

TEST(TableLinesFormat, PrefixesAreTheirWindows1251Bytes) {
  EXPECT_EQ(storage::ChannelLinePrefix(1), "01\xE9 \xEA\xE0\xED\xE0\xEB ");
  EXPECT_EQ(storage::ChannelLinePrefix(9), "09\xE9 \xEA\xE0\xED\xE0\xEB ");
  EXPECT_EQ(storage::ChannelLinePrefix(10), "10\xE9 \xEA\xE0\xED\xE0\xEB ");
  EXPECT_EQ(storage::ChannelLinePrefix(48), "48\xE9 \xEA\xE0\xED\xE0\xEB ");
  for (int k = 1; k <= 48; ++k) EXPECT_EQ(storage::ChannelLinePrefix(k), channelPrefix(k));
  EXPECT_EQ(storage::IntervalLinePrefix(), "\xD1\xEA\xEE\xF0\xEE\xF1\xF2\xFC ");
}

TEST(TableLinesFormat, DefaultIsThePrefixesAndTheBareIntervalPrefix) {
  EXPECT_EQ(storage::joinLines(storage::defaultTableLines()), defaultFile());
}

TEST(TableLinesFormat, TheFileIsNamedWithItsCyrillicLettersOnDisk) {
  const testing_support::TempFolder folder;
  storage::writeFileAtomically(storage::systemSaveCalls(), folder.path(storage::kTableFileName),
                               "");
  EXPECT_EQ(folder.entries(), std::set<std::string>{"Rilvet_код.txt"});
}

TEST(TableLinesFormat, SplitsAtEachKindOfLineEnd) {
  using storage::splitLines;
  EXPECT_EQ(splitLines("a\r\nb\r\n"), (TableLines{"a", "b"}));
  EXPECT_EQ(splitLines("a\nb\n"), (TableLines{"a", "b"}));
  EXPECT_EQ(splitLines("a\rb\r"), (TableLines{"a", "b"}));
  EXPECT_EQ(splitLines("a\r\nb\nc\rd"), (TableLines{"a", "b", "c", "d"}));
  EXPECT_EQ(splitLines("a\n\rb"), (TableLines{"a", "", "b"}));  // LF CR: two ends
  EXPECT_EQ(splitLines("a\r\n\r\nb"), (TableLines{"a", "", "b"}));
  EXPECT_EQ(splitLines("a\n\nb"), (TableLines{"a", "", "b"}));
  EXPECT_EQ(splitLines("a\r\rb"), (TableLines{"a", "", "b"}));
  EXPECT_EQ(splitLines("last"), (TableLines{"last"}));
  EXPECT_EQ(splitLines("\r\n"), (TableLines{""}));
  EXPECT_EQ(splitLines("a\r"), (TableLines{"a"}));
  EXPECT_TRUE(splitLines("").empty());
}

TEST(TableLinesFormat, NulEndsTheText) {
  using storage::splitLines;
  EXPECT_EQ(splitLines(std::string("a\r\nb\0c\r\nd\r\n", 11)), (TableLines{"a", "b"}));
  EXPECT_EQ(splitLines(std::string("a\r\n\0b", 5)), (TableLines{"a"}));
  EXPECT_TRUE(splitLines(std::string("\0a\r\n", 4)).empty());
}

TEST(TableLinesFormat, JoinPutsCrLfAfterEveryLine) {
  EXPECT_EQ(storage::joinLines({"a", "", "b"}), "a\r\n\r\nb\r\n");
  EXPECT_EQ(storage::joinLines({}), "");
}

TEST(TableLinesFormat, WellFormedNeeds48LinesOfOneLength) {
  TableLines lines = tableLines(std::vector<std::string>(48, "01"), "250");
  EXPECT_TRUE(storage::isWellFormed(lines));
  lines[48] = "any length at all";
  lines.push_back("and more");
  EXPECT_TRUE(storage::isWellFormed(lines));
  lines.resize(48);
  EXPECT_TRUE(storage::isWellFormed(lines));
  lines.resize(47);
  EXPECT_FALSE(storage::isWellFormed(lines));

  for (const std::size_t shorter : {0u, 29u, 47u}) {
    TableLines broken = tableLines(std::vector<std::string>(48, "01"), "250");
    broken[shorter].pop_back();
    EXPECT_FALSE(storage::isWellFormed(broken)) << "line " << shorter + 1;
  }
  EXPECT_FALSE(storage::isWellFormed({}));
}

// --- loading --------------------------------------------------------------

TEST_F(TableFileTest, ExampleLoadsAsDescribedAndSavesBackByteForByte) {
  writeBytes(name, kExample);
  const LoadResult result = load();
  EXPECT_EQ(result.columns, 3);
  EXPECT_FALSE(result.created);
  EXPECT_FALSE(result.replaced);
  EXPECT_EQ(result.backupName, "");
  EXPECT_EQ(lines, kept(tableLines(exampleColumns(), "250")));
  EXPECT_EQ(column(0), columnWith({{1, "1"}}));
  EXPECT_EQ(column(1), columnWith({}, "0"));
  EXPECT_EQ(column(2), columnWith({{2, "1"}}));
  EXPECT_EQ(column(3), columnWith({}));
  EXPECT_EQ(edit1, "250");

  // The marker row and a cell past the saved columns do not reach the file.
  cells.setText(1, 0, "v");
  cells.setText(3, 7, "1");
  save(3);
  EXPECT_EQ(readBytes(name), kExample);
  EXPECT_EQ(folder.entries(), onlyTheFile());
}

TEST_F(TableFileTest, ASingleOneInAnyChannelIsNeverAnAllOffColumn) {
  // Column j holds its only "1" in channel j + 1; a last column is all off.
  std::vector<std::string> columns(48);
  for (int k = 1; k <= 48; ++k) {
    for (int j = 0; j < 48; ++j) columns[k - 1] += j == k - 1 ? '1' : '0';
    columns[k - 1] += '0';
  }
  const std::string bytes = join(tableLines(columns, "100"));
  writeBytes(name, bytes);
  EXPECT_EQ(load().columns, 49);
  for (int j = 0; j < 48; ++j) EXPECT_EQ(column(j), columnWith({{j + 1, "1"}})) << "column " << j;
  EXPECT_EQ(column(48), columnWith({}, "0"));
  save(49);
  EXPECT_EQ(readBytes(name), bytes);
}

TEST_F(TableFileTest, MissingFileIsCreatedAndLoadsEmpty) {
  const LoadResult result = load();
  EXPECT_TRUE(result.created);
  EXPECT_FALSE(result.replaced);
  EXPECT_EQ(result.columns, 0);
  EXPECT_EQ(readBytes(name), defaultFile());
  EXPECT_EQ(lines, kept(storage::defaultTableLines()));
  EXPECT_EQ(cells.storedColumns(), 0);
  EXPECT_EQ(edit1, "100");
  EXPECT_EQ(folder.entries(), onlyTheFile());
}

TEST_F(TableFileTest, DefaultFileLoadsEmptyAndSavesWithTheInterval) {
  writeBytes(name, defaultFile());
  const LoadResult result = load();
  EXPECT_FALSE(result.created);
  EXPECT_FALSE(result.replaced);
  EXPECT_EQ(result.columns, 0);
  EXPECT_EQ(cells.storedColumns(), 0);
  EXPECT_EQ(edit1, "100");

  save(0);
  EXPECT_EQ(readBytes(name), join(tableLines(std::vector<std::string>(48), "100")));
}

TEST_F(TableFileTest, ShortLine30IsReplacedByTheDefaultAndKeptAsBackup) {
  std::vector<std::string> columns(48, "101");
  columns[29] = "10";
  const std::string broken = join(tableLines(columns, "250"));
  writeBytes(name, broken);

  const LoadResult result = load();
  EXPECT_TRUE(result.replaced);
  EXPECT_FALSE(result.created);
  EXPECT_EQ(result.columns, 0);
  EXPECT_EQ(result.backupName, name + ".bak");
  EXPECT_EQ(readBytes(name + ".bak"), broken);
  EXPECT_EQ(readBytes(name), defaultFile());
  EXPECT_EQ(lines, kept(storage::defaultTableLines()));
  EXPECT_EQ(cells.storedColumns(), 0);
  EXPECT_EQ(edit1, "100");
}

TEST_F(TableFileTest, LaterMalformedFilesNeverOverwriteAnEarlierBackup) {
  std::vector<std::string> columns(48, "11");
  columns[29] = "1";
  const std::string first = join(tableLines(columns, "250"));
  columns[29] = "111";
  const std::string second = join(tableLines(columns, "300"));

  writeBytes(name, first);
  EXPECT_EQ(load().backupName, name + ".bak");
  writeBytes(name, second);
  EXPECT_EQ(load().backupName, name + ".bak1");
  EXPECT_EQ(readBytes(name + ".bak"), first);
  EXPECT_EQ(readBytes(name + ".bak1"), second);

  // The same bytes again reuse their backup instead of piling up copies.
  writeBytes(name, first);
  EXPECT_EQ(load().backupName, name + ".bak");
  writeBytes(name, second);
  EXPECT_EQ(load().backupName, name + ".bak1");
  const std::string base = storage::kTableFileName;
  EXPECT_EQ(folder.entries(), (std::set<std::string>{base, base + ".bak", base + ".bak1"}));
  EXPECT_EQ(readBytes(name + ".bak"), first);
  EXPECT_EQ(readBytes(name + ".bak1"), second);
}

TEST_F(TableFileTest, BackupSkipsANameTakenByAFolder) {
  std::filesystem::create_directory(testing_support::fsPath(name + ".bak"));
  writeBytes(name, "only one line\r\n");
  EXPECT_EQ(load().backupName, name + ".bak1");
  EXPECT_EQ(readBytes(name + ".bak1"), "only one line\r\n");
  EXPECT_TRUE(std::filesystem::is_directory(testing_support::fsPath(name + ".bak")));
}

TEST_F(TableFileTest, FewerThan48LinesAreReplacedWithBackup) {
  TableLines shortFile = tableLines(std::vector<std::string>(48, "1"), "250");
  shortFile.resize(47);
  const std::string bytes = join(shortFile);
  writeBytes(name, bytes);
  const LoadResult result = load();
  EXPECT_TRUE(result.replaced);
  EXPECT_EQ(readBytes(result.backupName), bytes);
  EXPECT_EQ(readBytes(name), defaultFile());
  EXPECT_EQ(cells.storedColumns(), 0);
}

TEST_F(TableFileTest, EmptyFileIsReplacedWithoutBackup) {
  writeBytes(name, "");
  const LoadResult result = load();
  EXPECT_TRUE(result.replaced);
  EXPECT_EQ(result.backupName, "");
  EXPECT_EQ(readBytes(name), defaultFile());
  EXPECT_EQ(folder.entries(), onlyTheFile());
}

TEST_F(TableFileTest, LinesAfter49AreIgnoredAndWrittenBackUnchanged) {
  TableLines file = tableLines(std::vector<std::string>(48, "10"), "250");
  const TableLines extra = {table::utf8ToCp1251("заметка: не трогать"), "", "\t 1 0 \xFF"};
  file.insert(file.end(), extra.begin(), extra.end());
  writeBytes(name, join(file));

  EXPECT_EQ(load().columns, 2);
  EXPECT_EQ(lines.fromLine49.size(), 4u);
  EXPECT_EQ(edit1, "250");
  cells.setText(1, 5, "1");
  save(2);

  std::vector<std::string> columns(48, "10");
  columns[4] = "11";
  TableLines expected = tableLines(columns, "250");
  expected.insert(expected.end(), extra.begin(), extra.end());
  EXPECT_EQ(readBytes(name), join(expected));
  EXPECT_EQ(lines, kept(expected));
}

TEST_F(TableFileTest, LfAndCrFilesLoadLikeCrLfAndSaveAsCrLf) {
  for (const std::string end : {"\n", "\r"}) {
    TempFolder other;
    const std::string otherName = other.path(storage::kTableFileName);
    writeBytes(otherName, join(tableLines(exampleColumns(), "250"), end));
    storage::KeptLines otherLines;
    CellStore otherCells;
    std::string otherEdit1 = "100";
    EXPECT_EQ(storage::LoadTable(disk, otherName, otherLines, otherCells, otherEdit1).columns, 3);
    EXPECT_EQ(otherLines, kept(tableLines(exampleColumns(), "250")));
    EXPECT_EQ(otherEdit1, "250");
    for (int c = 0; c < 3; ++c) {
      EXPECT_EQ(otherCells.text(c, 1), c == 0 ? "1" : (c == 1 ? "0" : ""));
      EXPECT_EQ(otherCells.text(c, 2), c == 2 ? "1" : (c == 1 ? "0" : ""));
      EXPECT_EQ(otherCells.text(c, 48), c == 1 ? "0" : "");
    }
    storage::Sohr(disk, otherName, otherLines, otherCells, 3, otherEdit1);
    EXPECT_EQ(readBytes(otherName), kExample);
  }
}

TEST_F(TableFileTest, NulEndsTheFilesText) {
  writeBytes(name, kExample + std::string("\0", 1) + "garbage\r\nmore\r\n");
  EXPECT_EQ(load().columns, 3);
  EXPECT_EQ(lines.fromLine49.size(), 1u);
  save(3);
  EXPECT_EQ(readBytes(name), kExample);
}

TEST_F(TableFileTest, NulInTheIntervalLineCutsTheInterval) {
  TableLines file = tableLines(exampleColumns(), "");
  std::string bytes = join(file);
  bytes.resize(bytes.size() - 2);
  bytes += std::string(
      "25\0"
      "0\r\n",
      6);
  writeBytes(name, bytes);
  load();
  EXPECT_EQ(edit1, "25");
}

TEST_F(TableFileTest, NulInAChannelLineMakesTheFileMalformed) {
  std::string bytes = kExample;
  const std::size_t line20 = bytes.find(channelPrefix(20));
  bytes[line20 + 11] = '\0';
  writeBytes(name, bytes);
  const LoadResult result = load();
  EXPECT_TRUE(result.replaced);
  EXPECT_EQ(readBytes(result.backupName), bytes);  // all of it, past the NUL too
  EXPECT_EQ(readBytes(name), defaultFile());
}

TEST_F(TableFileTest, IntervalLineIsLoadedAfterItsFirstNineBytesUnaltered) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {kSpeed + "80x", "80x"},
      {kSpeed + "5", "5"},
      {kSpeed + table::utf8ToCp1251("сто"), "сто"},
      {kSpeed + " -7 ", " -7 "},
      {"Interval=250", "250"},  // the prefix itself is not checked
      {kSpeed, "100"},          // nothing after the prefix: Edit1 keeps its text
      {kSpeed.substr(0, 4), "100"},
      {"", "100"},
  };
  for (const auto& [line49, shown] : cases) {
    TempFolder other;
    const std::string otherName = other.path(storage::kTableFileName);
    TableLines file = tableLines(exampleColumns(), "");
    file[48] = line49;
    writeBytes(otherName, join(file));
    storage::KeptLines otherLines;
    CellStore otherCells;
    std::string otherEdit1 = "100";
    storage::LoadTable(disk, otherName, otherLines, otherCells, otherEdit1);
    EXPECT_EQ(otherEdit1, shown) << table::cp1251ToUtf8(line49);
  }
}

TEST_F(TableFileTest, HandEditedColumnBytesLoadAsTheirCharacterAndSaveAsZero) {
  std::vector<std::string> columns(48, "00");
  columns[2] = "x0";
  columns[3] = table::utf8ToCp1251("ж") + "1";
  columns[4] = "0v";
  writeBytes(name, join(tableLines(columns, "250")));

  EXPECT_EQ(load().columns, 2);
  // A column with a stray character is not an all-off column.
  EXPECT_EQ(column(0), columnWith({{3, "x"}, {4, "ж"}}));
  EXPECT_EQ(column(1), columnWith({{4, "1"}, {5, "v"}}));

  save(2);
  std::vector<std::string> saved(48, "00");
  saved[3] = "01";
  EXPECT_EQ(readBytes(name), join(tableLines(saved, "250")));
}

TEST_F(TableFileTest, EveryByteALineCanHoldLoadsAsItsCharacterAtAByteACell) {
  std::string bytes;
  for (int b = 1; b < 256; ++b) {
    if (b != '\r' && b != '\n') bytes += static_cast<char>(b);
  }
  std::vector<std::string> columns(48, std::string(bytes.size(), '0'));
  columns[6] = bytes;
  writeBytes(name, join(tableLines(columns, "250")));

  const int n = static_cast<int>(bytes.size());
  EXPECT_EQ(load().columns, n);
  for (int c = 0; c < n; ++c) {
    // The "0" is the only byte of its column: an all-off step, kept as "0".
    const std::string text = table::cp1251ToUtf8(bytes.substr(c, 1));
    EXPECT_EQ(cells.text(c, 7), text) << "byte " << static_cast<int>(bytes[c] & 0xFF);
  }
  EXPECT_LE(cells.memoryBytes(), 2u * static_cast<unsigned>(n) * CellStore::kRows);
}

TEST_F(TableFileTest, PrefixTextsAreNotChecked) {
  TableLines file(48, "ABCDEFGHIJ1");
  file.push_back("9 bytes..42");
  writeBytes(name, join(file));
  const LoadResult result = load();
  EXPECT_FALSE(result.replaced);
  EXPECT_EQ(result.columns, 1);
  EXPECT_EQ(column(0), columnWith({}, "1"));
  EXPECT_EQ(edit1, "42");
}

// The file is read in pieces of 1 MiB: here line 35's column bytes cross the
// first boundary and a CR LF after line 49 the second (CR its last byte, LF
// the next piece's first), and a CR CR and an unended line follow.
TEST_F(TableFileTest, LinesCrossingTheReadPiecesLoadAsOneText) {
  constexpr int kColumns = 30000;
  std::mt19937 random(48);
  std::vector<std::string> columns(48);
  for (std::string& line : columns) {
    for (int c = 0; c < kColumns; ++c) line += "01x\xFF"[random() % (c % 7 == 0 ? 2 : 4)];
  }
  for (int k = 0; k < 48; ++k) columns[static_cast<std::size_t>(k)][kColumns - 1] = '0';
  TableLines file = tableLines(columns, "250");
  const std::size_t line50At = join(file).size();
  const std::size_t secondBoundary = std::size_t{2} << 20;
  ASSERT_GT(secondBoundary, line50At);
  file.push_back(std::string(secondBoundary - 1 - line50At, 'p'));
  writeBytes(name, join(file) + "after\r\rend");
  file.insert(file.end(), {"after", "", "end"});

  EXPECT_EQ(load().columns, kColumns);
  EXPECT_FALSE(lines.fromLine49.empty());
  EXPECT_EQ(lines, kept(file));
  EXPECT_EQ(edit1, "250");
  for (int c = 0; c < kColumns; ++c) {
    bool allZero = true;
    for (int k = 1; k <= 48; ++k) allZero &= columns[k - 1][c] == '0';
    for (int k = 1; k <= 48; ++k) {
      const char byte = columns[k - 1][c];
      const auto expected = allZero       ? CellStore::kZero
                            : byte == '0' ? CellStore::kEmpty
                                          : CellStore::codeOfByte(byte);
      ASSERT_EQ(cells.code(c, k), expected) << "column " << c << ", channel " << k;
    }
  }
}

TEST_F(TableFileTest, ChannelLinesOf10BytesOrLessLoadNoColumns) {
  for (const std::string channelLine : {"0123456789", "short"}) {
    writeBytes(name, join(TableLines(48, channelLine)));
    CellStore fresh;
    EXPECT_EQ(storage::LoadTable(disk, name, lines, fresh, edit1).columns, 0);
    EXPECT_EQ(fresh.storedColumns(), 0);
  }
}

TEST_F(TableFileTest, Exactly48LinesLoadAndSaveWithTheIntervalLineSupplied) {
  std::vector<std::string> columns(48, "00");
  columns[0] = "10";
  columns[47] = "01";
  TableLines file = tableLines(columns, "");
  file.pop_back();
  const std::string bytes = join(file);
  writeBytes(name, bytes);

  const LoadResult result = load();
  EXPECT_FALSE(result.replaced);
  EXPECT_EQ(result.backupName, "");
  EXPECT_EQ(result.columns, 2);
  EXPECT_EQ(lines, kept(tableLines(columns, "")));
  EXPECT_EQ(readBytes(name), bytes);  // loading does not rewrite the file
  EXPECT_EQ(column(0), columnWith({{1, "1"}}));
  EXPECT_EQ(column(1), columnWith({{48, "1"}}));
  EXPECT_EQ(edit1, "100");

  save(2);
  EXPECT_EQ(readBytes(name), join(tableLines(columns, "100")));
}

TEST_F(TableFileTest, Exactly48LinesWithoutAFinalLineEndLoadTheSame) {
  TableLines file = tableLines(exampleColumns(), "");
  file.pop_back();
  std::string bytes = join(file);
  bytes.resize(bytes.size() - 2);
  writeBytes(name, bytes);
  EXPECT_EQ(load().columns, 3);
  EXPECT_EQ(edit1, "100");
  edit1 = "250";
  save(3);
  EXPECT_EQ(readBytes(name), kExample);
}

// --- saving -----------------------------------------------------------------

struct IntervalCase {
  const char* text;
  const char* written;
};

class IntervalAtSave : public ::testing::TestWithParam<IntervalCase> {};

TEST_P(IntervalAtSave, WritesTheIntervalAsAtLeastOne) {
  TempFolder folder;
  const std::string name = folder.path(storage::kTableFileName);
  writeBytes(name, kExample);
  storage::KeptLines lines;
  CellStore cells;
  std::string edit1 = "100";
  storage::LoadTable(storage::systemSaveCalls(), name, lines, cells, edit1);
  storage::Sohr(storage::systemSaveCalls(), name, lines, cells, 3, GetParam().text);
  EXPECT_EQ(readBytes(name), join(tableLines(exampleColumns(), GetParam().written)));
}

INSTANTIATE_TEST_SUITE_P(Texts, IntervalAtSave,
                         ::testing::Values(IntervalCase{"abc", "1"}, IntervalCase{"-5", "1"},
                                           IntervalCase{"0", "1"}, IntervalCase{"1", "1"},
                                           IntervalCase{"1500", "1500"},
                                           IntervalCase{"2147483647", "2147483647"},
                                           IntervalCase{"2147483648", "1"}, IntervalCase{"", "1"},
                                           IntervalCase{"80x", "1"}, IntervalCase{" +42", "42"},
                                           IntervalCase{"сто", "1"}));

TEST_F(TableFileTest, OnlyACellOfExactlyOneIsSavedAsOne) {
  writeBytes(name, defaultFile());
  load();
  const std::vector<std::string> texts = {"1", "0", "", "11", " 1", "1 ", "v", "x", "один"};
  for (std::size_t c = 0; c < texts.size(); ++c) cells.setText(static_cast<int>(c), 7, texts[c]);
  save(static_cast<int>(texts.size()));
  std::vector<std::string> columns(48, "000000000");
  columns[6] = "100000000";
  EXPECT_EQ(readBytes(name), join(tableLines(columns, "100")));
}

TEST_F(TableFileTest, SaveHonoursTheColumnCountItIsGiven) {
  writeBytes(name, kExample);
  load();
  save(5);  // beyond the stored cells: all off
  std::vector<std::string> columns = exampleColumns();
  for (std::string& c : columns) c += "00";
  EXPECT_EQ(readBytes(name), join(tableLines(columns, "250")));

  save(1);
  columns = exampleColumns();
  for (std::string& c : columns) c.resize(1);
  EXPECT_EQ(readBytes(name), join(tableLines(columns, "250")));

  save(-3);
  EXPECT_EQ(readBytes(name), join(tableLines(std::vector<std::string>(48), "250")));
}

TEST_F(TableFileTest, FileDeletedSinceStartUpIsWrittenAnew) {
  TableLines file = tableLines(exampleColumns(), "250");
  file.push_back("line 50");
  writeBytes(name, join(file));
  load();
  std::filesystem::remove(testing_support::fsPath(name));
  save(3);
  EXPECT_EQ(readBytes(name), kExample);  // line 50 is gone with the file
  EXPECT_EQ(folder.entries(), onlyTheFile());
}

TEST_F(TableFileTest, FileShortenedSinceStartUpGetsItsFirst49LinesBack) {
  TableLines file = tableLines(exampleColumns(), "250");
  file.push_back("line 50");
  writeBytes(name, join(file));
  load();
  for (const std::string& shortened : {std::string("one line\r\n"), join(TableLines(30, "x")),
                                       join(TableLines(48, "x")), std::string()}) {
    writeBytes(name, shortened);
    save(3);
    EXPECT_EQ(readBytes(name), kExample);
    EXPECT_EQ(lines, kept(tableLines(exampleColumns(), "250")));
  }
}

TEST_F(TableFileTest, FileGrownSinceStartUpKeepsItsNewLinesAfter49) {
  writeBytes(name, kExample);
  load();
  TableLines grown = tableLines(std::vector<std::string>(48, "1111"), "9");
  grown.push_back("new 50");
  grown.push_back("new 51");
  writeBytes(name, join(grown));
  save(3);
  TableLines expected = tableLines(exampleColumns(), "250");
  expected.push_back("new 50");
  expected.push_back("new 51");
  EXPECT_EQ(readBytes(name), join(expected));
}

class SaveOnAFullDisk : public TableFileTest, public ::testing::WithParamInterface<WriteStep> {};

TEST_P(SaveOnAFullDisk, LeavesTheOldFileByteIdenticalAndNamesIt) {
  TableLines file = tableLines(exampleColumns(), "250");
  file.push_back("line 50");
  const std::string before = join(file);
  writeBytes(name, before);
  load();
  cells.setText(2, 30, "1");
  edit1 = "999";
  disk.failNextWriteAt(GetParam());
  try {
    save(3);
    FAIL() << "no error";
  } catch (const FileError& error) {
    expectFileError(error, FileError::Kind::kWrite, name, ENOSPC);
  }
  EXPECT_EQ(readBytes(name), before);
  EXPECT_EQ(folder.entries(), onlyTheFile());

  // The table is still in memory; the next save gets it to the disk.
  save(3);
  std::vector<std::string> columns = exampleColumns();
  columns[29] = "001";
  TableLines expected = tableLines(columns, "999");
  expected.push_back("line 50");
  EXPECT_EQ(readBytes(name), join(expected));
}

TEST_P(SaveOnAFullDisk, LoadCreatingTheDefaultFailsAndLeavesNoFile) {
  disk.failNextWriteAt(GetParam());
  try {
    load();
    FAIL() << "no error";
  } catch (const FileError& error) {
    expectFileError(error, FileError::Kind::kWrite, name, ENOSPC);
  }
  EXPECT_TRUE(folder.entries().empty());
}

TEST_P(SaveOnAFullDisk, LoadFailingToKeepABackupDoesNotReplaceTheMalformedFile) {
  const std::string broken = "one line\r\n";
  writeBytes(name, broken);
  disk.failNextWriteAt(GetParam());
  EXPECT_THROW(load(), FileError);
  EXPECT_EQ(readBytes(name), broken);
  EXPECT_EQ(folder.entries(), onlyTheFile());
}

INSTANTIATE_TEST_SUITE_P(EachStep, SaveOnAFullDisk,
                         ::testing::Values(WriteStep::kCreate, WriteStep::kWrite, WriteStep::kFlush,
                                           WriteStep::kRename),
                         [](const auto& info) {
                           switch (info.param) {
                             case WriteStep::kCreate: return "Create";
                             case WriteStep::kWrite: return "Write";
                             case WriteStep::kFlush: return "Flush";
                             case WriteStep::kRename: return "Rename";
                           }
                           return "Unknown";
                         });

TEST_F(TableFileTest, UnreadableFileStopsLoadAndSaveWithTheReason) {
  std::filesystem::create_directory(testing_support::fsPath(name));
  try {
    load();
    FAIL() << "no error";
  } catch (const FileError& error) {
    expectFileError(error, FileError::Kind::kRead, name, EISDIR);
  }
  try {
    save(0);
    FAIL() << "no error";
  } catch (const FileError& error) {
    expectFileError(error, FileError::Kind::kRead, name, EISDIR);
  }
  EXPECT_TRUE(std::filesystem::is_directory(testing_support::fsPath(name)));
  EXPECT_EQ(folder.entries(), onlyTheFile());
}

TEST_F(TableFileTest, FileInAFolderThatCannotExistFailsWithTheReason) {
  writeBytes(folder.path("plain"), "x");
  const std::string inside = folder.path("plain") + "/" + storage::kTableFileName;
  try {
    storage::LoadTable(disk, inside, lines, cells, edit1);
    FAIL() << "no error";
  } catch (const FileError& error) {
    expectFileError(error, FileError::Kind::kWrite, inside, ENOTDIR);
  }
  try {
    storage::Sohr(disk, inside, lines, cells, 0, edit1);
    FAIL() << "no error";
  } catch (const FileError& error) {
    expectFileError(error, FileError::Kind::kWrite, inside, ENOTDIR);
  }
  EXPECT_EQ(readBytes(folder.path("plain")), "x");
}

// Found by fuzzing the loader: 48 bare line ends are 48 channel lines of one
// length, so the file is an empty table, not a malformed file to replace.
TEST_F(TableFileTest, FortyEightBareLineEndsLoadAsAnEmptyTableWithoutBackup) {
  const std::string bytes = std::string(48, '\n') + channelPrefix(9).substr(0, 3) + "0";
  writeBytes(name, bytes);
  const LoadResult result = load();
  EXPECT_FALSE(result.replaced);
  EXPECT_EQ(result.backupName, "");
  EXPECT_EQ(result.columns, 0);
  EXPECT_EQ(lines.fromLine49.size(), 1u);
  EXPECT_EQ(edit1, "100");  // line 49 is shorter than its prefix
  EXPECT_EQ(readBytes(name), bytes);
  EXPECT_EQ(folder.entries(), onlyTheFile());

  save(result.columns);
  const std::string saved = join(tableLines(std::vector<std::string>(48), "100"));
  EXPECT_EQ(readBytes(name), saved);
  EXPECT_EQ(load().columns, 0);
  EXPECT_EQ(readBytes(name), saved);
}

// Found by fuzzing the loader: after a zero-padded interval, LF CR, CR CR and
// an unended last line give lines that are saved as they are, each with CR LF;
// the interval is saved without its zero.
TEST_F(TableFileTest, ZeroPaddedIntervalAndOddLineEndsAfterLine49SaveAsCrLfLines) {
  writeBytes(name, join(tableLines(exampleColumns(), "099")) + "a\n\rb\r\rc");
  EXPECT_EQ(load().columns, 3);
  EXPECT_EQ(edit1, "099");
  const TableLines after49 = {"a", "", "b", "", "c"};
  ASSERT_EQ(lines.fromLine49.size(), 6u);
  EXPECT_EQ(TableLines(lines.fromLine49.begin() + 1, lines.fromLine49.end()), after49);

  save(3);
  TableLines expected = tableLines(exampleColumns(), "99");
  expected.insert(expected.end(), after49.begin(), after49.end());
  EXPECT_EQ(readBytes(name), join(expected));
  EXPECT_FALSE(load().replaced);
  EXPECT_EQ(edit1, "99");
  EXPECT_EQ(lines, kept(expected));
}

}  // namespace
