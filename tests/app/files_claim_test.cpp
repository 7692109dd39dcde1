// The start's claim on the program's files: a second instance on the same
// folder is refused before it touches anything, the claim goes with its
// process, and the leftovers of a save cut short are cleared away.
#include "app/files_claim.h"

#include <filesystem>
#include <optional>
#include <set>
#include <string>

#include <gtest/gtest.h>

#ifndef _WIN32
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "storage/file_test_support.h"
#include "storage/table_file.h"

using testing_support::readBytes;
using testing_support::TempFolder;
using testing_support::writeBytes;

namespace {

class FilesClaimTest : public ::testing::Test {
 protected:
  FilesClaimTest() {
    writeBytes(table(), "the table");
    writeBytes(settings(), "the settings");
    plantStaleTemporaries();
  }

  std::string table() const { return folder.path(storage::kTableFileName); }
  std::string settings() const { return folder.path("Rilvet.dat"); }
  // What saves killed half-way leave behind.
  void plantStaleTemporaries() {
    writeBytes(table() + ".rilvet-0123456789ab.tmp", "the table, cut short");
    writeBytes(settings() + ".rilvet-00000000abcd.tmp", "cut short");
  }
  std::set<std::string> withTemporaries() const {
    const std::string tableName = storage::kTableFileName;
    return {tableName, "Rilvet.dat", tableName + ".rilvet-0123456789ab.tmp",
            "Rilvet.dat.rilvet-00000000abcd.tmp"};
  }
  std::set<std::string> withoutTemporaries() const {
    return {storage::kTableFileName, "Rilvet.dat"};
  }

  void expectRefused(const std::string& refusal) {
    const std::string head = "Программа уже запущена с файлами папки \"";
    const std::string tail = "\". Второй экземпляр закрывается, файлы не изменены.";
#ifdef _WIN32
    ASSERT_GT(refusal.size(), head.size() + tail.size()) << refusal;
    EXPECT_EQ(refusal.substr(0, head.size()), head);
    EXPECT_EQ(refusal.substr(refusal.size() - tail.size()), tail);
#else
    EXPECT_EQ(refusal, head + std::filesystem::canonical(folder.path("")).string() + tail);
#endif
    EXPECT_EQ(readBytes(table()), "the table");
    EXPECT_EQ(readBytes(settings()), "the settings");
    EXPECT_EQ(folder.entries(), withTemporaries()) << "a refused start cleared the folder";
  }

  TempFolder folder;
};

TEST_F(FilesClaimTest, AStartClearsAwayStaleTemporariesAndNothingElse) {
  const app::FilesClaim claim(table(), settings());
  EXPECT_EQ(claim.refusal(), "");
  EXPECT_EQ(folder.entries(), withoutTemporaries());
  EXPECT_EQ(readBytes(table()), "the table");
  EXPECT_EQ(readBytes(settings()), "the settings");
}

TEST_F(FilesClaimTest, ASecondStartOnTheFolderIsRefusedUntilTheFirstEnds) {
  std::optional<app::FilesClaim> first;
  first.emplace(table(), settings());
  ASSERT_EQ(first->refusal(), "");
  plantStaleTemporaries();

  expectRefused(app::FilesClaim(table(), settings()).refusal());
  // One of the two files in the folder is enough to refuse.
  const TempFolder other;
  expectRefused(app::FilesClaim(other.path(storage::kTableFileName), settings()).refusal());
#ifndef _WIN32
  // And so it is for another process.
  const auto outcome = testing_support::inChildProcess(
      [&] { return app::FilesClaim(table(), settings()).refusal(); });
  ASSERT_TRUE(outcome.has_value());
  expectRefused(*outcome);
#endif

  first.reset();
  const app::FilesClaim next(table(), settings());
  EXPECT_EQ(next.refusal(), "");
  EXPECT_EQ(folder.entries(), withoutTemporaries());
}

#ifndef _WIN32
TEST_F(FilesClaimTest, AClaimGoesWithItsProcessEvenWhenItIsKilled) {
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::alarm(30);  // never outlives the test
    new app::FilesClaim(table(), settings());
    [[maybe_unused]] const ssize_t told = ::write(ready[1], "x", 1);
    ::pause();
    ::_exit(0);
  }
  ::close(ready[1]);
  char byte = 0;
  const bool claimed = ::read(ready[0], &byte, 1) == 1;
  ::close(ready[0]);
  plantStaleTemporaries();
  const std::string whileAlive = app::FilesClaim(table(), settings()).refusal();
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);

  ASSERT_TRUE(claimed);
  expectRefused(whileAlive);
  const app::FilesClaim after(table(), settings());
  EXPECT_EQ(after.refusal(), "");
  EXPECT_EQ(folder.entries(), withoutTemporaries());
}
#endif

}  // namespace
