#include "storage/file_io.h"

#include <cerrno>
#include <filesystem>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "storage/file_test_support.h"

using storage::FileError;
using storage::WriteStep;
using testing_support::expectFileError;
using testing_support::readBytes;
using testing_support::TempFolder;
using testing_support::writeBytes;

namespace {

const std::string kBinary("\0\x01\r\n\x98\xFF text\n", 11);

TEST(FileIo, ReadsTheWholeFileByteForByte) {
  TempFolder folder;
  const std::string name = folder.path("data.bin");
  std::string big(200000, 'x');
  big += kBinary;
  writeBytes(name, big);
  EXPECT_EQ(storage::readFile(name), big);
  EXPECT_EQ(storage::readFile(name, 5), "xxxxx");
  writeBytes(name, "");
  EXPECT_EQ(storage::readFile(name), "");
}

TEST(FileIo, ReadingAMissingFileNamesItAndTheReason) {
  TempFolder folder;
  const std::string name = folder.path("нет такого.txt");
  try {
    storage::readFile(name);
    FAIL() << "no error";
  } catch (const FileError& error) {
    expectFileError(error, FileError::Kind::kRead, name, ENOENT);
  }
}

TEST(FileIo, ReadingAFolderFails) {
  TempFolder folder;
  const std::string name = folder.path("folder");
  std::filesystem::create_directory(name);
  EXPECT_TRUE(storage::fileExists(name));
  EXPECT_THROW(storage::readFile(name), FileError);
}

TEST(FileIo, FileExistsOnlyForWhatIsThere) {
  TempFolder folder;
  const std::string name = folder.path("a.txt");
  EXPECT_FALSE(storage::fileExists(name));
  writeBytes(name, "");
  EXPECT_TRUE(storage::fileExists(name));
  EXPECT_FALSE(storage::fileExists(folder.path("a.txt/b")));
}

TEST(FileIo, AtomicWriteCreatesAndReplacesLeavingNoTemporary) {
  TempFolder folder;
  const std::string name = folder.path("Rilvet_код.txt");
  storage::writeFileAtomically(name, kBinary);
  EXPECT_EQ(readBytes(name), kBinary);
  storage::writeFileAtomically(name, "short");
  EXPECT_EQ(readBytes(name), "short");
  storage::writeFileAtomically(name, "");
  EXPECT_EQ(readBytes(name), "");
  EXPECT_EQ(folder.entries(), std::set<std::string>{TempFolder::entryName("Rilvet_код.txt")});
}

class AtomicWriteFailure : public ::testing::TestWithParam<WriteStep> {};

TEST_P(AtomicWriteFailure, LeavesTheOldFileAsItWasAndNamesIt) {
  TempFolder folder;
  const std::string name = folder.path("table.txt");
  writeBytes(name, kBinary);
  storage::failNextWriteAt(GetParam());
  try {
    storage::writeFileAtomically(name, std::string(100000, 'n'));
    FAIL() << "no error";
  } catch (const FileError& error) {
    expectFileError(error, FileError::Kind::kWrite, name, ENOSPC);
  }
  EXPECT_EQ(readBytes(name), kBinary);
  EXPECT_EQ(folder.entries(), std::set<std::string>{"table.txt"});

  // The injection is spent: the next write goes through.
  storage::writeFileAtomically(name, "new");
  EXPECT_EQ(readBytes(name), "new");
}

TEST_P(AtomicWriteFailure, LeavesNoFileWhereThereWasNone) {
  TempFolder folder;
  const std::string name = folder.path("new.txt");
  storage::failNextWriteAt(GetParam());
  EXPECT_THROW(storage::writeFileAtomically(name, "bytes"), FileError);
  EXPECT_TRUE(folder.entries().empty());
}

INSTANTIATE_TEST_SUITE_P(EachStep, AtomicWriteFailure,
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

TEST(FileIo, WritingWhereTheFolderIsAFileFails) {
  TempFolder folder;
  writeBytes(folder.path("plain"), "x");
  const std::string name = folder.path("plain/table.txt");
  try {
    storage::writeFileAtomically(name, "bytes");
    FAIL() << "no error";
  } catch (const FileError& error) {
    expectFileError(error, FileError::Kind::kWrite, name, ENOTDIR);
  }
  EXPECT_EQ(readBytes(folder.path("plain")), "x");
}

TEST(FileIo, ReplacingAFolderFailsAndRemovesTheTemporary) {
  TempFolder folder;
  const std::string name = folder.path("occupied");
  std::filesystem::create_directory(name);
  EXPECT_THROW(storage::writeFileAtomically(name, "bytes"), FileError);
  EXPECT_TRUE(std::filesystem::is_directory(name));
  EXPECT_EQ(folder.entries(), std::set<std::string>{"occupied"});
}

}  // namespace
