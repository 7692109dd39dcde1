// Disks that refuse: a read-only folder, a full file system, a failure at
// each step of a save, and files deleted, cut short or replaced while the
// program runs; and folders that hold something other than plain files at
// the files' names. The previous file always stays whole, the message names
// the file and the reason, and the program still ends with nothing left open.
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include "rig.h"

namespace reliability {
namespace {

namespace fs = std::filesystem;
using testing_support::readBytes;
using testing_support::writeBytes;

// The message of a failed save: the file's name and the system's reason.
void expectSaveError(const std::string& message, const std::string& path, int code) {
  EXPECT_EQ(message, "Не удаётся записать файл \"" + path + "\": " + std::strerror(code));
}

// A small tmpfs mounted over a folder, in a mount namespace of this thread
// alone, so the machine's own mounts never see it. Mounting needs privileges
// a developer's machine may not give; the tests then skip.
class SmallDisk {
 public:
  explicit SmallDisk(const std::string& folder) : folder_(folder) {}
  ~SmallDisk() {
    if (mounted_) ::umount2(folder_.c_str(), MNT_DETACH);
  }

  // Empty on success, or why it could not be done.
  std::string mount(int kib) {
    if (::unshare(CLONE_NEWNS) != 0) return std::string("unshare(CLONE_NEWNS): ") + strerror(errno);
    if (::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      return std::string("making the mounts private: ") + strerror(errno);
    }
    const std::string options = "size=" + std::to_string(kib) + "k,mode=0755";
    if (::mount("tmpfs", folder_.c_str(), "tmpfs", 0, options.c_str()) != 0) {
      return std::string("mount -t tmpfs: ") + strerror(errno);
    }
    mounted_ = true;
    return {};
  }

  void makeReadOnly() {
    countFault();
    ASSERT_EQ(::mount(nullptr, folder_.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0)
        << strerror(errno);
  }
  void makeWritable() {
    ASSERT_EQ(::mount(nullptr, folder_.c_str(), nullptr, MS_REMOUNT, nullptr), 0)
        << strerror(errno);
  }

  // Writes a filler file until the disk is full.
  void fill() {
    countFault();
    std::FILE* f = std::fopen((folder_ + "/filler").c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::setvbuf(f, nullptr, _IONBF, 0);
    const std::string block(512, 'x');
    while (std::fwrite(block.data(), 1, block.size(), f) == block.size()) {
    }
    std::fclose(f);
    // Not even one more byte fits.
    std::FILE* probe = std::fopen((folder_ + "/probe").c_str(), "wb");
    ASSERT_NE(probe, nullptr);
    std::setvbuf(probe, nullptr, _IONBF, 0);
    EXPECT_NE(std::fwrite("y", 1, 1, probe), 1u);
    std::fclose(probe);
    fs::remove(folder_ + "/probe");
  }
  void empty() { fs::remove(folder_ + "/filler"); }

 private:
  std::string folder_;
  bool mounted_ = false;
};

// The program, running on the board, with its files on a small disk of its own.
class DiskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    disk_ = std::make_unique<SmallDisk>(rig.folder.path(""));
    // The rig's files are moved onto the new disk: mount over the folder,
    // then write them again.
    const std::string table = readBytes(rig.tablePath());
    const std::string settings = readBytes(rig.settingsPath());
    const std::string why = disk_->mount(64);
    if (!why.empty()) GTEST_SKIP() << "cannot mount a tmpfs here (" << why << ")";
    writeBytes(rig.tablePath(), table);
    writeBytes(rig.settingsPath(), settings);
    rig.start();
    rig.tick(3);
    ASSERT_TRUE(rig.errors.messages.empty());
  }
  void TearDown() override {
    rig.program.reset();
    disk_.reset();
  }

  Rig rig;
  std::unique_ptr<SmallDisk> disk_;
};

TEST_F(DiskTest, ExitIntoAReadOnlyFolderKeepsBothFilesAndStillEnds) {
  const std::string table = readBytes(rig.tablePath());
  const std::string settings = readBytes(rig.settingsPath());
  const auto names = rig.folder.entries();
  disk_->makeReadOnly();
  rig.editSomething();
  rig.program->FormClose();

  ASSERT_EQ(rig.errors.messages.size(), 2u);
  expectSaveError(rig.errors.messages[0], rig.tablePath(), EROFS);
  expectSaveError(rig.errors.messages[1], rig.settingsPath(), EROFS);
  EXPECT_EQ(readBytes(rig.tablePath()), table);
  EXPECT_EQ(readBytes(rig.settingsPath()), settings);
  EXPECT_EQ(rig.folder.entries(), names);
  rig.expectNothingOpen();
  EXPECT_EQ(rig.board->outputBits(), 0u) << "the board is switched off all the same";

  // Once the folder can be written again, the same state saves whole.
  disk_->makeWritable();
  rig.program->saveTable();
  rig.program->saveSettings();
  rig.expectFilesSaved();
}

TEST_F(DiskTest, ExitOntoAFullDiskKeepsBothFilesAndLeavesNoTemporaryFile) {
  const std::string table = readBytes(rig.tablePath());
  const std::string settings = readBytes(rig.settingsPath());
  disk_->fill();
  rig.editSomething();
  rig.program->FormClose();

  ASSERT_EQ(rig.errors.messages.size(), 2u);
  expectSaveError(rig.errors.messages[0], rig.tablePath(), ENOSPC);
  expectSaveError(rig.errors.messages[1], rig.settingsPath(), ENOSPC);
  EXPECT_EQ(readBytes(rig.tablePath()), table);
  EXPECT_EQ(readBytes(rig.settingsPath()), settings);
  EXPECT_EQ(rig.folder.entries(),
            (std::set<std::string>{storage::kTableFileName, "Rilvet.dat", "filler"}));
  rig.expectNothingOpen();

  disk_->empty();
  rig.program->saveTable();
  rig.program->saveSettings();
  rig.expectFilesSaved();
}

TEST_F(DiskTest, StartingInAReadOnlyFolderWithoutATableReportsItAndCreatesNothing) {
  rig.program->FormClose();
  fs::remove(rig.tablePath());
  fs::remove(rig.settingsPath());
  disk_->makeReadOnly();

  RecordedErrors errors;
  program::Program program(rig.platform, nullptr, errors, rig.tablePath(), rig.settingsPath());
  program.FormCreate();
  program.loadMatching();
  ASSERT_EQ(errors.messages.size(), 1u);
  expectSaveError(errors.messages[0], rig.tablePath(), EROFS);
  EXPECT_EQ(program.form().edit1Text(), "100");
  program.FormClose();
  ASSERT_EQ(errors.messages.size(), 3u);
  expectSaveError(errors.messages[1], rig.tablePath(), EROFS);
  expectSaveError(errors.messages[2], rig.settingsPath(), EROFS);
  EXPECT_TRUE(rig.folder.entries().empty());
}

// ---------------------------------------------------------------- injected

TEST(InjectedDiskFaults, ASaveThatFailsAtAnyStepKeepsThePreviousFileWhole) {
  using testing_support::WriteStep;
  for (const WriteStep step :
       {WriteStep::kCreate, WriteStep::kWrite, WriteStep::kFlush, WriteStep::kRename}) {
    for (const bool table : {true, false}) {
      SCOPED_TRACE(std::string(table ? "table" : "settings") + " save failing at step " +
                   std::to_string(static_cast<int>(step)));
      Rig rig;
      rig.start();
      rig.tick(2);
      const std::string tableBefore = readBytes(rig.tablePath());
      const std::string settingsBefore = readBytes(rig.settingsPath());
      rig.editSomething();
      if (table) {
        // The table is the first thing the exit saves.
        failNextWrite(rig.disk, step);
        rig.program->FormClose();
        ASSERT_EQ(rig.errors.messages.size(), 1u);
        expectSaveError(rig.errors.messages[0], rig.tablePath(), ENOSPC);
        EXPECT_EQ(readBytes(rig.tablePath()), tableBefore);
        EXPECT_EQ(readBytes(rig.settingsPath()), rig.expectedSettings());
      } else {
        // The matching dialog saves on its own too (its OK button and close).
        failNextWrite(rig.disk, step);
        rig.guarded([&] { rig.program->saveSettings(); });
        ASSERT_EQ(rig.errors.messages.size(), 1u);
        expectSaveError(rig.errors.messages[0], rig.settingsPath(), ENOSPC);
        EXPECT_EQ(readBytes(rig.settingsPath()), settingsBefore);
        EXPECT_EQ(readBytes(rig.tablePath()), tableBefore);
        rig.program->FormClose();
        EXPECT_EQ(rig.errors.messages.size(), 1u);
        rig.expectFilesSaved();
      }
      EXPECT_EQ(rig.folder.entries(),
                (std::set<std::string>{storage::kTableFileName, "Rilvet.dat"}))
          << "no temporary file is left behind";
      rig.expectNothingOpen();
      EXPECT_EQ(rig.board->outputBits(), 0u);
    }
  }
}

TEST(InjectedDiskFaults, TheExitButtonsTwoTableSavesReportAFullDiskOnce) {
  Rig rig;
  rig.editSomething();
  failNextWrite(rig.disk, testing_support::WriteStep::kWrite);
  rig.program->BitBtn6Click();
  // The close that follows saves the table again, and this time it fits.
  rig.program->FormClose();
  ASSERT_EQ(rig.errors.messages.size(), 1u);
  expectSaveError(rig.errors.messages[0], rig.tablePath(), ENOSPC);
  rig.expectFilesSaved();
}

// ---------------------------------------------------------------- files changed underneath

TEST(FilesChangedWhileRunning, TheTableIsSavedWholeWhateverHappenedToItsFile) {
  const std::vector<std::pair<std::string, std::function<void(const std::string&)>>> changes = {
      {"deleted", [](const std::string& path) { fs::remove(path); }},
      {"emptied", [](const std::string& path) { writeBytes(path, ""); }},
      {"cut to 10 lines",
       [](const std::string& path) {
         const std::string bytes = readBytes(path);
         std::size_t at = 0;
         for (int i = 0; i < 10; ++i) at = bytes.find('\n', at) + 1;
         writeBytes(path, bytes.substr(0, at));
       }},
      {"cut in the middle of a line",
       [](const std::string& path) { writeBytes(path, readBytes(path).substr(0, 301)); }},
      {"cut before the interval line",
       [](const std::string& path) {
         const std::string bytes = readBytes(path);
         writeBytes(path, bytes.substr(0, bytes.rfind(testing_support::kIntervalPrefix)));
       }},
      {"overwritten with other bytes",
       [](const std::string& path) { writeBytes(path, std::string("\0\xff\r\r\n", 5)); }},
  };
  for (const auto& [what, change] : changes) {
    for (const bool revealed : {true, false}) {
      SCOPED_TRACE("table file " + what + (revealed ? "" : " before the table was revealed"));
      Rig rig;
      if (!revealed) {
        // A new start, and exit before a single housekeeping tick.
        rig.program = std::make_unique<program::Program>(rig.platform, nullptr, rig.errors,
                                                         rig.tablePath(), rig.settingsPath());
        rig.program->FormCreate();
        rig.program->loadMatching();
        ASSERT_EQ(rig.table().colCount(), 1);
      } else {
        rig.start();
        rig.tick(4);
      }
      countFault();
      change(rig.tablePath());
      fs::remove(rig.settingsPath());
      rig.editSomething();
      rig.program->FormClose();
      EXPECT_TRUE(rig.errors.messages.empty());
      rig.expectFilesSaved();
      rig.expectNothingOpen();
    }
  }
}

TEST(FilesChangedWhileRunning, ATableFileTurnedIntoAFolderIsReportedAndTheSettingsStillSaved) {
  Rig rig;
  rig.start();
  rig.tick(2);
  countFault();
  fs::remove(rig.tablePath());
  fs::create_directory(rig.tablePath());
  rig.editSomething();
  rig.program->FormClose();
  ASSERT_EQ(rig.errors.messages.size(), 1u);
  const std::string& message = rig.errors.messages[0];
  // Appended rather than added up: GCC 12 at -O3 warns falsely about
  // "\"" + std::string (-Wrestrict).
  const std::string named = std::string("\"").append(rig.tablePath()).append("\": ");
  EXPECT_NE(message.find(named), std::string::npos) << message;
  EXPECT_NE(message.find(std::strerror(EISDIR)), std::string::npos) << message;
  EXPECT_TRUE(fs::is_directory(rig.tablePath()));
  EXPECT_TRUE(fs::is_empty(rig.tablePath()));
  EXPECT_EQ(readBytes(rig.settingsPath()), rig.expectedSettings());
  rig.expectNothingOpen();
  EXPECT_EQ(rig.board->outputBits(), 0u);
}

// ---------------------------------------------------------------- what the folder holds

// The stored files in a folder of their own, and a run of the program on
// them in a child process: a file that makes it wait fails the test instead
// of hanging it.
class FolderContents : public ::testing::Test {
 protected:
  FolderContents() {
    testing_support::writeBytes(table(), tableFileBytes("7", "\n"));
    testing_support::writeBytes(settings(), settingsFileBytes(storedBoxes()));
  }

  std::string table() const { return folder.path(storage::kTableFileName); }
  std::string settings() const { return folder.path("Rilvet.dat"); }

  // Start-up, `whileRunning`, an edit, exit: the interval shown after
  // start-up, then each message shown, a line each.
  std::string run(const std::function<void()>& whileRunning = {}, bool asNobody = false) {
    const auto outcome = testing_support::inChildProcess(
        [&] {
          sys::VirtualBoard platform;  // a machine without serial ports
          RecordedErrors errors;
          program::Program program(platform, nullptr, errors, table(), settings());
          program.FormCreate();
          program.loadMatching();
          std::string out = "Edit1 " + program.form().edit1Text();
          if (whileRunning) whileRunning();
          program.form().setEdit1Text("9");
          program.matching().setBox(16, 3);
          program.FormClose();
          for (const std::string& message : errors.messages) out += "\n" + message;
          return out;
        },
        20, asNobody);
    return outcome.value_or("the program hung");
  }

  // The settings as saved after run(): the stored boxes, or "нет" in all when
  // they could not be loaded, with the edit.
  static std::string savedSettings(bool loaded) {
    std::vector<std::int32_t> boxes = loaded ? storedBoxes() : std::vector<std::int32_t>{};
    boxes.resize(16, 0);
    boxes[15] = 3;
    return settingsFileBytes(boxes);
  }

  static std::string notAFile(const std::string& verb, const std::string& path,
                              const std::string& what) {
    return "Не удаётся " + verb + " файл \"" + path + "\": это " + what + ", а не обычный файл";
  }

  testing_support::TempFolder folder;
};

// The table as edited, saved beside a table file that could not be loaded.
std::string keptBeside(const std::string& table) {
  return "Таблица не была загружена из файла \"" + table +
         "\", поэтому он оставлен без изменений. Таблица, какой она была при выходе, сохранена в "
         "файл \"" +
         table + ".edited\".";
}

TEST_F(FolderContents, AFifoAtTheTableNameIsReportedAndLeftAlone) {
  fs::remove(table());
  ASSERT_EQ(::mkfifo(table().c_str(), 0644), 0);
  EXPECT_EQ(run(), "Edit1 100\n" + notAFile("открыть", table(), "канал (FIFO)") + "\n" +
                       keptBeside(table()));
  EXPECT_TRUE(fs::is_fifo(table()));
  EXPECT_EQ(testing_support::readBytes(settings()), savedSettings(true));
}

TEST_F(FolderContents, AFifoAtTheSettingsNameIsReportedAtStartAndExitAndLeftAlone) {
  fs::remove(settings());
  ASSERT_EQ(::mkfifo(settings().c_str(), 0644), 0);
  EXPECT_EQ(run(), "Edit1 7\n" + notAFile("открыть", settings(), "канал (FIFO)") + "\n" +
                       notAFile("записать", settings(), "канал (FIFO)"));
  EXPECT_TRUE(fs::is_fifo(settings()));
  EXPECT_EQ(testing_support::readBytes(table()), tableFileBytes("9"));
}

TEST_F(FolderContents, AFifoPutAtTheTableNameWhileRunningDoesNotStopTheExit) {
  EXPECT_EQ(run([&] {
              fs::remove(table());
              ::mkfifo(table().c_str(), 0644);
            }),
            "Edit1 7\n" + notAFile("открыть", table(), "канал (FIFO)"));
  EXPECT_TRUE(fs::is_fifo(table()));
  EXPECT_EQ(testing_support::readBytes(settings()), savedSettings(true));
}

TEST_F(FolderContents, ATableLinkedToAnEndlessDeviceIsRefusedUnread) {
  fs::remove(table());
  fs::create_symlink("/dev/zero", table());
  EXPECT_EQ(run(), "Edit1 100\n" + notAFile("открыть", table(), "устройство") + "\n" +
                       keptBeside(table()));
  EXPECT_EQ(fs::read_symlink(table()), "/dev/zero");
  EXPECT_EQ(testing_support::readBytes(settings()), savedSettings(true));
}

TEST_F(FolderContents, FilesLinkedIntoASyncedFolderAreSavedThereAndStayLinked) {
  fs::create_directory(folder.path("synced"));
  for (const std::string name : {storage::kTableFileName, "Rilvet.dat"}) {
    fs::rename(folder.path(name), folder.path("synced/" + name));
    fs::create_symlink("synced/" + name, folder.path(name));
  }
  EXPECT_EQ(run(), "Edit1 7");
  EXPECT_EQ(testing_support::readBytes(folder.path("synced/") + storage::kTableFileName),
            tableFileBytes("9"));
  EXPECT_EQ(testing_support::readBytes(folder.path("synced/Rilvet.dat")), savedSettings(true));
  EXPECT_TRUE(fs::is_symlink(table()));
  EXPECT_TRUE(fs::is_symlink(settings()));
  EXPECT_EQ(folder.entries(),
            (std::set<std::string>{storage::kTableFileName, "Rilvet.dat", "synced"}));
  std::set<std::string> synced;
  for (const auto& entry : fs::directory_iterator(folder.path("synced"))) {
    synced.insert(entry.path().filename().string());
  }
  EXPECT_EQ(synced, (std::set<std::string>{storage::kTableFileName, "Rilvet.dat"}));
}

TEST_F(FolderContents, AReadOnlyTableIsLoadedButNotReplacedAtExit) {
  // The user's own folder and files; the table made read-only.
  ::chmod(table().c_str(), 0444);
  testing_support::giveToNobody(folder.path(""));
  testing_support::giveToNobody(table());
  testing_support::giveToNobody(settings());
  const std::string stored = testing_support::readBytes(table());
  EXPECT_EQ(run({}, true),
            "Edit1 7\nНе удаётся записать файл \"" + table() + "\": " + std::strerror(EACCES));
  EXPECT_EQ(testing_support::readBytes(table()), stored);
  struct stat info {};
  ASSERT_EQ(::stat(table().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0444u);
  EXPECT_EQ(testing_support::readBytes(settings()), savedSettings(true));
  EXPECT_EQ(folder.entries(), (std::set<std::string>{storage::kTableFileName, "Rilvet.dat"}));
}

}  // namespace
}  // namespace reliability
