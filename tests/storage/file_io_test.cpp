#include "storage/file_io.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <set>
#include <string>

#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "storage/file_test_support.h"
#include "support/save_faults.h"

using storage::FileError;
using testing_support::expectFileError;
using testing_support::readBytes;
using testing_support::TempFolder;
using testing_support::writeBytes;
using testing_support::WriteStep;

namespace {

const std::string kBinary("\0\x01\r\n\x98\xFF text\n", 11);

// What every save here goes through; a test makes it fail where it says so.
testing_support::SaveFaults disk;

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
  storage::writeFileAtomically(disk, name, kBinary);
  EXPECT_EQ(readBytes(name), kBinary);
  storage::writeFileAtomically(disk, name, "short");
  EXPECT_EQ(readBytes(name), "short");
  storage::writeFileAtomically(disk, name, "");
  EXPECT_EQ(readBytes(name), "");
  EXPECT_EQ(folder.entries(), std::set<std::string>{"Rilvet_код.txt"});
}

class AtomicWriteFailure : public ::testing::TestWithParam<WriteStep> {};

TEST_P(AtomicWriteFailure, LeavesTheOldFileAsItWasAndNamesIt) {
  TempFolder folder;
  const std::string name = folder.path("table.txt");
  writeBytes(name, kBinary);
  disk.failNextWriteAt(GetParam());
  try {
    storage::writeFileAtomically(disk, name, std::string(100000, 'n'));
    FAIL() << "no error";
  } catch (const FileError& error) {
    expectFileError(error, FileError::Kind::kWrite, name, ENOSPC);
  }
  EXPECT_EQ(readBytes(name), kBinary);
  EXPECT_EQ(folder.entries(), std::set<std::string>{"table.txt"});

  // The injection is spent: the next write goes through.
  storage::writeFileAtomically(disk, name, "new");
  EXPECT_EQ(readBytes(name), "new");
}

TEST_P(AtomicWriteFailure, LeavesNoFileWhereThereWasNone) {
  TempFolder folder;
  const std::string name = folder.path("new.txt");
  disk.failNextWriteAt(GetParam());
  EXPECT_THROW(storage::writeFileAtomically(disk, name, "bytes"), FileError);
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
    storage::writeFileAtomically(disk, name, "bytes");
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
  EXPECT_THROW(storage::writeFileAtomically(disk, name, "bytes"), FileError);
  EXPECT_TRUE(std::filesystem::is_directory(name));
  EXPECT_EQ(folder.entries(), std::set<std::string>{"occupied"});
}

}  // namespace

// ---------------------------------------------------------------- what stands at the name

namespace more {

namespace fs = std::filesystem;

TEST(FileIo, AFileBeyondTheSizeLimitIsRefusedUnlessOnlyItsStartIsRead) {
  TempFolder folder;
  const std::string name = folder.path("huge.txt");
  writeBytes(name, "");
  fs::resize_file(testing_support::fsPath(name), storage::kMaxFileBytes + 1);  // sparse
  try {
    storage::readFile(name);
    FAIL() << "no error";
  } catch (const FileError& error) {
    EXPECT_EQ(error.kind(), FileError::Kind::kRead);
    EXPECT_STREQ(
        error.what(),
        ("Не удаётся открыть файл \"" + error.fileName() + "\": файл больше 256 МБ").c_str());
  }
  EXPECT_EQ(storage::readFile(name, 64), std::string(64, '\0'));
}

TEST(FileIo, SavesNeverUseWhatStandsAtATemporaryName) {
  TempFolder folder;
  const std::string name = folder.path("table.txt");
  writeBytes(name, "old");
  // The name the saves once used, taken by a folder, and the first name a
  // save will try, taken by someone's file.
  fs::create_directory(folder.path("table.txt.tmp"));
  const std::string taken = folder.path("table.txt.rilvet-000000000000.tmp");
  writeBytes(taken, "someone's");
  std::set<std::string> names = {"table.txt", "table.txt.tmp", "table.txt.rilvet-000000000000.tmp"};
#ifndef _WIN32
  // Links planted there, to a file the saves must never write.
  writeBytes(folder.path("victim"), "victim");
  fs::create_symlink(folder.path("victim"), folder.path("table.txt.rilvet-000000000001.tmp"));
  fs::create_symlink(folder.path("victim"), folder.path("table.txt.tmp/link"));
  names.insert({"victim", "table.txt.rilvet-000000000001.tmp"});
#endif
  disk.useTemporarySuffixesNext({"000000000000", "000000000001"});
  storage::writeFileAtomically(disk, name, "new");
  EXPECT_EQ(readBytes(name), "new");
  EXPECT_EQ(readBytes(taken), "someone's");
  EXPECT_EQ(folder.entries(), names);
#ifndef _WIN32
  EXPECT_EQ(readBytes(folder.path("victim")), "victim");
  EXPECT_TRUE(fs::is_symlink(folder.path("table.txt.rilvet-000000000001.tmp")));
#endif
  storage::writeFileAtomically(disk, name, "newer");
  EXPECT_EQ(readBytes(name), "newer");
  EXPECT_EQ(folder.entries(), names);
}

TEST(FileIo, AHardLinkedFileIsRewrittenInPlaceSoEveryNameSeesTheNewContent) {
  TempFolder folder;
  const std::string name = folder.path("a.txt");
  const std::string other = folder.path("b.txt");
  writeBytes(name, "the old content");
  fs::create_hard_link(name, other);

  storage::writeFileAtomically(disk, name, "the new, longer content");
  EXPECT_EQ(readBytes(other), "the new, longer content");
  storage::writeFileAtomically(disk, other, "short");
  EXPECT_EQ(readBytes(name), "short");
#ifndef _WIN32
  // (The Windows runtime's std::filesystem counts every file's links as 1.)
  EXPECT_EQ(fs::hard_link_count(name), 2u);
#endif

  // A full disk fails before a byte changes: no name sees a torn file.
  for (const WriteStep step : {WriteStep::kCreate, WriteStep::kWrite}) {
    disk.failNextWriteAt(step);
    EXPECT_THROW(
        storage::writeFileAtomically(disk, name, "a longer content than the disk can take"),
        FileError);
    EXPECT_EQ(readBytes(other), "short");
  }
  EXPECT_EQ(folder.entries(), (std::set<std::string>{"a.txt", "b.txt"}));
}

TEST(FileIo, StaleTemporariesAreRemovedAndNothingElse) {
  TempFolder folder;
  const std::string name = folder.path("Rilvet.dat");
  writeBytes(name, "data");
  writeBytes(name + ".rilvet-0123456789ab.tmp", "cut short");
  writeBytes(name + ".rilvet-ffffffffffff.tmp", "cut short");
  std::set<std::string> kept = {
      "Rilvet.dat",
      "Rilvet.dat.tmp",
      "Rilvet.dat.rilvet-0123456789a.tmp",
      "Rilvet.dat.rilvet-0123456789abc.tmp",
      "Rilvet.dat.rilvet-0123456789ab.tmp.bak",
      "other.dat.rilvet-0123456789ab.tmp",
      "Rilvet.dat.rilvet-aaaaaaaaaaaa.tmp",  // a folder
      "Rilvet.dat.rilvet-bbbbbbbbbbbb.tmp",  // still being written
  };
#ifndef _WIN32
  // On Windows this would be the same name as the first stale one.
  kept.insert("Rilvet.dat.rilvet-0123456789AB.tmp");
#endif
  for (const std::string& entry : kept) {
    if (entry.find("aaaa") != std::string::npos) {
      fs::create_directory(folder.path(entry));
    } else if (entry != "Rilvet.dat") {
      writeBytes(folder.path(entry), "keep");
    }
  }
#ifdef _WIN32
  // A save in progress holds its file open.
  std::ifstream inUse(folder.path("Rilvet.dat.rilvet-bbbbbbbbbbbb.tmp"));
#else
  // A save in progress holds a lock on its file.
  const int inUse = ::open(folder.path("Rilvet.dat.rilvet-bbbbbbbbbbbb.tmp").c_str(), O_RDONLY);
  ASSERT_EQ(::flock(inUse, LOCK_EX), 0);
#endif
  storage::removeStaleTemporaries(name);
  EXPECT_EQ(folder.entries(), kept);
  EXPECT_EQ(readBytes(name), "data");
#ifndef _WIN32
  ::close(inUse);
#endif
}

TEST(FolderLock, HoldsTheFoldersOfItsFilesUntilItGoes) {
  TempFolder folder;
  TempFolder elsewhere;
  const std::string table = folder.path("Rilvet_код.txt");
  const std::string settings = folder.path("Rilvet.dat");
  {
    const storage::FolderLock first({table, settings});
    EXPECT_EQ(first.busyFolder(), "");
    const storage::FolderLock second({settings});
    ASSERT_NE(second.busyFolder(), "");
#ifndef _WIN32
    EXPECT_EQ(second.busyFolder(), fs::canonical(folder.path("")).string());
#endif
    const storage::FolderLock third({elsewhere.path("Rilvet.dat")});
    EXPECT_EQ(third.busyFolder(), "");
  }
  const storage::FolderLock again({table, settings});
  EXPECT_EQ(again.busyFolder(), "");
}

#ifndef _WIN32

std::string messageOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const FileError& error) {
    return error.what();
  }
  return "no error";
}

TEST(FileIo, OnlyRegularFilesAreReadAndNothingElseIsReplaced) {
  TempFolder folder;
  const std::string fifo = folder.path("Rilvet.dat");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string zero = folder.path("Rilvet_код.txt");
  fs::create_symlink("/dev/zero", zero);
  const std::string opening = "Не удаётся открыть файл \"";
  const std::string writing = "Не удаётся записать файл \"";
  // In a child, so that a read that waits or never ends fails the test.
  const auto outcome = testing_support::inChildProcess([&] {
    std::string out = messageOf([&] { storage::readFile(fifo); });
    out += "\n" + messageOf([&] { storage::readFile(fifo, 64); });
    out += "\n" + messageOf([&] { storage::readFile(zero); });
    out += "\n" + messageOf([&] { storage::writeFileAtomically(disk, fifo, "bytes"); });
    out += "\n" + messageOf([&] { storage::writeFileAtomically(disk, zero, "bytes"); });
    return out;
  });
  ASSERT_TRUE(outcome.has_value()) << "a read never ended";
  EXPECT_EQ(*outcome, opening + fifo + "\": это канал (FIFO), а не обычный файл\n" + opening +
                          fifo + "\": это канал (FIFO), а не обычный файл\n" + opening + zero +
                          "\": это устройство, а не обычный файл\n" + writing + fifo +
                          "\": это канал (FIFO), а не обычный файл\n" + writing + zero +
                          "\": это устройство, а не обычный файл");
  EXPECT_TRUE(fs::is_fifo(fifo));
  EXPECT_EQ(fs::read_symlink(zero), "/dev/zero");
  EXPECT_EQ(folder.entries(), (std::set<std::string>{"Rilvet.dat", "Rilvet_код.txt"}));
}

TEST(FileIo, ALinkAtTheNameHasItsTargetReplacedAndStays) {
  TempFolder folder;
  fs::create_directories(folder.path("work"));
  fs::create_directories(folder.path("synced"));
  const std::string target = folder.path("synced/table.txt");
  writeBytes(target, "old");
  const std::string relative = folder.path("work/table.txt");
  const std::string absolute = folder.path("work/absolute.txt");
  const std::string chained = folder.path("work/chained.txt");
  const std::string dangling = folder.path("work/fresh.txt");
  fs::create_symlink("../synced/table.txt", relative);
  fs::create_symlink(target, absolute);
  fs::create_symlink("table.txt", chained);
  fs::create_symlink("../synced/fresh.txt", dangling);

  storage::writeFileAtomically(disk, relative, "through the relative link");
  EXPECT_EQ(readBytes(target), "through the relative link");
  storage::writeFileAtomically(disk, absolute, "through the absolute link");
  EXPECT_EQ(readBytes(target), "through the absolute link");
  storage::writeFileAtomically(disk, chained, "through two links");
  EXPECT_EQ(readBytes(target), "through two links");
  storage::writeFileAtomically(disk, dangling, "made where the link leads");
  EXPECT_EQ(readBytes(folder.path("synced/fresh.txt")), "made where the link leads");

  EXPECT_EQ(fs::read_symlink(relative), "../synced/table.txt");
  EXPECT_EQ(fs::read_symlink(absolute), target);
  EXPECT_EQ(fs::read_symlink(chained), "table.txt");
  EXPECT_EQ(fs::read_symlink(dangling), "../synced/fresh.txt");
  std::set<std::string> synced;
  for (const auto& entry : fs::directory_iterator(folder.path("synced"))) {
    synced.insert(entry.path().filename().string());
  }
  EXPECT_EQ(synced, (std::set<std::string>{"table.txt", "fresh.txt"}));

  // Links that go round in circles lead nowhere.
  fs::create_symlink("loop-b", folder.path("work/loop-a"));
  fs::create_symlink("loop-a", folder.path("work/loop-b"));
  EXPECT_EQ(
      messageOf([&] { storage::writeFileAtomically(disk, folder.path("work/loop-a"), "x"); }),
      "Не удаётся записать файл \"" + folder.path("work/loop-a") + "\": " + std::strerror(ELOOP));
}

mode_t modeOf(const std::string& name) {
  struct stat info {};
  EXPECT_EQ(::stat(name.c_str(), &info), 0);
  return info.st_mode & 07777;
}

TEST(FileIo, ASaveKeepsTheFilesPermissionsAndOwner) {
  TempFolder folder;
  const std::string name = folder.path("table.txt");
  const mode_t umaskBefore = ::umask(022);
  writeBytes(name, "old");
  ::chmod(name.c_str(), 0600);
  storage::writeFileAtomically(disk, name, "private");
  EXPECT_EQ(modeOf(name), 0600u);

  ::umask(077);
  ::chmod(name.c_str(), 0644);
  storage::writeFileAtomically(disk, name, "readable by all");
  EXPECT_EQ(modeOf(name), 0644u);
  ::chmod(name.c_str(), 0640);
  storage::writeFileAtomically(disk, name, "readable by the group");
  EXPECT_EQ(modeOf(name), 0640u);

  // A new file follows the umask, as always.
  ::umask(022);
  storage::writeFileAtomically(disk, folder.path("new.txt"), "new");
  EXPECT_EQ(modeOf(folder.path("new.txt")), 0644u);
  ::umask(umaskBefore);

  if (::geteuid() == 0) {
    // Root saving someone's file leaves it theirs.
    testing_support::giveToNobody(name);
    struct stat before {};
    ::stat(name.c_str(), &before);
    storage::writeFileAtomically(disk, name, "still nobody's");
    struct stat after {};
    ::stat(name.c_str(), &after);
    EXPECT_EQ(after.st_uid, before.st_uid);
    EXPECT_EQ(after.st_gid, before.st_gid);
    EXPECT_NE(after.st_ino, before.st_ino) << "replaced, not rewritten";
  }
  EXPECT_EQ(readBytes(name), ::geteuid() == 0 ? "still nobody's" : "readable by the group");
}

TEST(FileIo, AFileTheUserMayNotWriteIsNotReplaced) {
  TempFolder folder;
  const std::string name = folder.path("table.txt");
  const std::string writable = folder.path("other.txt");
  writeBytes(name, "read-only");
  writeBytes(writable, "writable");
  ::chmod(name.c_str(), 0444);
  ::chmod(writable.c_str(), 0644);
  // The folder itself may be written: only the file's own mode refuses.
  ::chmod(folder.path("").c_str(), 0755);
  testing_support::giveToNobody(folder.path(""));
  testing_support::giveToNobody(name);
  testing_support::giveToNobody(writable);
  const auto outcome = testing_support::inChildProcess(
      [&] {
        std::string out = messageOf([&] { storage::writeFileAtomically(disk, name, "new"); });
        out += "\n" + messageOf([&] { storage::writeFileAtomically(disk, writable, "new"); });
        return out;
      },
      10, true);
  ASSERT_TRUE(outcome.has_value());
  EXPECT_EQ(*outcome,
            "Не удаётся записать файл \"" + name + "\": " + std::strerror(EACCES) + "\nno error");
  EXPECT_EQ(readBytes(name), "read-only");
  EXPECT_EQ(modeOf(name), 0444u);
  EXPECT_EQ(readBytes(writable), "new");
  EXPECT_EQ(folder.entries(), (std::set<std::string>{"table.txt", "other.txt"}));
}

#endif

}  // namespace more
