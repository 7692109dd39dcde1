#include "inputs/settings_file.h"

#include <cerrno>
#include <filesystem>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "storage/file_io.h"
#include "storage/file_test_support.h"
#include "support/save_faults.h"

using inputs::MatchingIndices;
using storage::FileError;
using testing_support::expectFileError;
using testing_support::readBytes;
using testing_support::TempFolder;
using testing_support::writeBytes;
using testing_support::WriteStep;

namespace {

std::string bytesOf(std::initializer_list<int> values) {
  std::string bytes;
  for (const int b : values) bytes += static_cast<char>(b);
  return bytes;
}

class SettingsFileTest : public ::testing::Test {
 protected:
  TempFolder folder;
  const std::string name = folder.path(inputs::kSettingsFileName);
  testing_support::SaveFaults disk;
};

TEST(SettingsFileName, IsRilvetDat) {
  EXPECT_STREQ(inputs::kSettingsFileName, "Rilvet.dat");
}

TEST_F(SettingsFileTest, OutputOneOnByInput2OffByInput3IsWrittenExactly) {
  MatchingIndices indices{};
  indices[0] = 2;  // ComboBox1: output 1 on by "вх2"
  indices[1] = 3;  // ComboBox2: output 1 off by "вх3"
  inputs::saveSettings(disk, name, indices);
  EXPECT_EQ(readBytes(name), bytesOf({2, 0, 0, 0, 3, 0, 0, 0}) + std::string(56, '\0'));
  EXPECT_EQ(folder.entries(), std::set<std::string>{"Rilvet.dat"});

  const auto loaded = inputs::loadSettings(name);
  ASSERT_TRUE(loaded.has_value());
  MatchingIndices expected{};
  expected[0] = 2;
  expected[1] = 3;
  EXPECT_EQ(*loaded, expected);
}

TEST_F(SettingsFileTest, EveryBoxHasItsOwnLittleEndianSlot) {
  MatchingIndices indices;
  for (int i = 0; i < 16; ++i) indices[i] = (i % 5) - 1;  // -1, 0, 1, 2, 3, -1 …
  inputs::saveSettings(disk, name, indices);
  std::string expected;
  for (int i = 0; i < 16; ++i) {
    expected += i % 5 == 0 ? bytesOf({0xFF, 0xFF, 0xFF, 0xFF}) : bytesOf({(i % 5) - 1, 0, 0, 0});
  }
  EXPECT_EQ(readBytes(name), expected);
  EXPECT_EQ(inputs::loadSettings(name), indices);
}

TEST_F(SettingsFileTest, ValuesOutsideZeroToThreeLoadAsNoSelectionAndSaveAsMinusOne) {
  std::string bytes = bytesOf({7, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 3, 0,    0, 0, 4, 0,
                               0, 0, 0, 0, 0,    3,    0,    0,    0, 0x80, 0, 1, 0, 0});
  bytes.resize(64, '\0');
  writeBytes(name, bytes);
  const auto loaded = inputs::loadSettings(name);
  ASSERT_TRUE(loaded.has_value());
  MatchingIndices expected{};
  expected[0] = -1;  // 7
  expected[1] = -1;  // -1
  expected[2] = 3;
  expected[3] = -1;  // 4
  expected[4] = -1;  // 0x03000000: 3 only when read big-endian
  expected[5] = -1;  // the most negative value
  expected[6] = -1;  // 256
  EXPECT_EQ(*loaded, expected);

  inputs::saveSettings(disk, name, *loaded);
  std::string saved = bytesOf({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 3, 0, 0, 0});
  for (int i = 3; i < 7; ++i) saved += bytesOf({0xFF, 0xFF, 0xFF, 0xFF});
  saved.resize(64, '\0');
  EXPECT_EQ(readBytes(name), saved);
}

TEST_F(SettingsFileTest, ShortFileGivesItsCompleteValuesAndZeroBeyond) {
  writeBytes(name, bytesOf({1, 0, 0, 0, 3, 0, 0, 0, 2, 2}));
  MatchingIndices expected{};
  expected[0] = 1;
  expected[1] = 3;
  EXPECT_EQ(inputs::loadSettings(name), expected);

  writeBytes(name, "");
  EXPECT_EQ(inputs::loadSettings(name), MatchingIndices{});
}

TEST_F(SettingsFileTest, OnlyTheFirst64BytesOfALongerFileCount) {
  std::string bytes;
  for (int i = 0; i < 16; ++i) bytes += bytesOf({i % 4, 0, 0, 0});
  bytes += bytesOf({9, 9, 9, 9, 1, 0, 0, 0});
  bytes += std::string(100000, '\x07');
  writeBytes(name, bytes);
  MatchingIndices expected;
  for (int i = 0; i < 16; ++i) expected[i] = i % 4;
  EXPECT_EQ(inputs::loadSettings(name), expected);
}

TEST_F(SettingsFileTest, MissingFileLoadsNothing) {
  EXPECT_EQ(inputs::loadSettings(name), std::nullopt);
  EXPECT_TRUE(folder.entries().empty());
}

TEST_F(SettingsFileTest, UnreadableFileNamesItAndTheReason) {
  std::filesystem::create_directory(name);
  try {
    inputs::loadSettings(name);
    FAIL() << "no error";
  } catch (const FileError& error) {
    expectFileError(error, FileError::Kind::kRead, name, EISDIR);
  }
}

TEST_F(SettingsFileTest, SaveWhereTheFolderIsAFileFails) {
  writeBytes(folder.path("plain"), "x");
  const std::string inside = folder.path("plain/Rilvet.dat");
  try {
    inputs::saveSettings(disk, inside, MatchingIndices{});
    FAIL() << "no error";
  } catch (const FileError& error) {
    expectFileError(error, FileError::Kind::kWrite, inside, ENOTDIR);
  }
}

class SettingsSaveOnAFullDisk : public SettingsFileTest,
                                public ::testing::WithParamInterface<WriteStep> {};

TEST_P(SettingsSaveOnAFullDisk, KeepsTheOldFile) {
  const std::string before = bytesOf({2, 0, 0, 0, 3, 0, 0, 0}) + std::string(56, '\0');
  writeBytes(name, before);
  MatchingIndices changed{};
  changed.fill(1);
  disk.failNextWriteAt(GetParam());
  try {
    inputs::saveSettings(disk, name, changed);
    FAIL() << "no error";
  } catch (const FileError& error) {
    expectFileError(error, FileError::Kind::kWrite, name, ENOSPC);
  }
  EXPECT_EQ(readBytes(name), before);
  EXPECT_EQ(folder.entries(), std::set<std::string>{"Rilvet.dat"});
}

INSTANTIATE_TEST_SUITE_P(EachStep, SettingsSaveOnAFullDisk,
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

// Found by fuzzing the loader: a file one byte short of 64 has 15 complete
// values; the three bytes of the 16th would read 3 if the missing byte were
// taken as zero.
TEST_F(SettingsFileTest, FileOneByteShortLeavesTheLastBoxAtZeroAndSavesAll64Bytes) {
  std::string bytes;
  for (int i = 0; i < 15; ++i) bytes += bytesOf({i % 4, 0, 0, 0});
  bytes += bytesOf({3, 0, 0});
  ASSERT_EQ(bytes.size(), 63u);
  writeBytes(name, bytes);
  MatchingIndices expected;
  for (int i = 0; i < 15; ++i) expected[i] = i % 4;
  expected[15] = 0;
  const auto loaded = inputs::loadSettings(name);
  ASSERT_TRUE(loaded.has_value());
  EXPECT_EQ(*loaded, expected);

  inputs::saveSettings(disk, name, *loaded);
  EXPECT_EQ(readBytes(name), bytes.substr(0, 60) + std::string(4, '\0'));
  EXPECT_EQ(inputs::loadSettings(name), expected);
}

}  // namespace
