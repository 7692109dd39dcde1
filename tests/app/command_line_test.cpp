// The command line's own options and the data folder the menu entry asks for.
#include "app/command_line.h"

#include <filesystem>
#include <fstream>
#include <regex>

#include <gtest/gtest.h>

#include "storage/file_test_support.h"

using app::CommandLine;
using app::parseCommandLine;

namespace {

using Action = CommandLine::Action;

TEST(CommandLine, WithoutOurOptionsTheProgramRunsInTheCurrentFolder) {
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{},
                                             {"-platform", "offscreen", "-stylesheet", "dark.qss"},
                                             {"--data-folderx", "-reverse"}}) {
    const CommandLine line = parseCommandLine(args);
    EXPECT_EQ(line.action, Action::kRun);
    EXPECT_FALSE(line.defaultDataFolder);
    EXPECT_EQ(line.dataFolder, "");
  }
}

TEST(CommandLine, DataFolderAloneMeansTheHomeFolderOneAndTheLastOptionWins) {
  CommandLine line = parseCommandLine({"--data-folder"});
  EXPECT_EQ(line.action, Action::kRun);
  EXPECT_TRUE(line.defaultDataFolder);
  EXPECT_EQ(line.dataFolder, "");

  line = parseCommandLine({"-style", "fusion", "--data-folder=/srv/боард один"});
  EXPECT_EQ(line.action, Action::kRun);
  EXPECT_FALSE(line.defaultDataFolder);
  EXPECT_EQ(line.dataFolder, "/srv/боард один");

  line = parseCommandLine({"--data-folder=/a", "--data-folder"});
  EXPECT_TRUE(line.defaultDataFolder);
  EXPECT_EQ(line.dataFolder, "");
  line = parseCommandLine({"--data-folder", "--data-folder=/b"});
  EXPECT_FALSE(line.defaultDataFolder);
  EXPECT_EQ(line.dataFolder, "/b");
}

TEST(CommandLine, AnEmptyFolderIsAnError) {
  const CommandLine line = parseCommandLine({"--data-folder="});
  EXPECT_EQ(line.action, Action::kError);
  EXPECT_NE(line.error.find("--data-folder="), std::string::npos);
}

TEST(CommandLine, HelpAndVersionWinWhereverTheyStand) {
  EXPECT_EQ(parseCommandLine({"--help"}).action, Action::kHelp);
  EXPECT_EQ(parseCommandLine({"-h"}).action, Action::kHelp);
  EXPECT_EQ(parseCommandLine({"--data-folder=", "--help"}).action, Action::kHelp);
  EXPECT_EQ(parseCommandLine({"--version"}).action, Action::kVersion);
  EXPECT_EQ(parseCommandLine({"--data-folder", "-v"}).action, Action::kVersion);
  const CommandLine help = parseCommandLine({"--data-folder=/x", "--help"});
  EXPECT_EQ(help.dataFolder, "") << "nothing else is taken from a line that asks for help";
}

TEST(CommandLine, HelpNamesEveryOptionAndVersionIsOneLine) {
  const std::string help = app::helpText();
#ifdef _WIN32
  const char* const dataFolder = "Documents/Rilvet-48";
#else
  const char* const dataFolder = "~/Rilvet-48";
#endif
  for (const char* option : {"--data-folder ", "--data-folder=FOLDER", "--help", "--version",
                             dataFolder, "Rilvet_код.txt", "Rilvet.dat"}) {
    EXPECT_NE(help.find(option), std::string::npos) << option;
  }
  EXPECT_TRUE(
      std::regex_match(app::versionText(), std::regex("Rilvet-48 [0-9]+\\.[0-9]+(\\.[0-9]+)?\n")))
      << app::versionText();
  EXPECT_EQ(app::versionText(), std::string("Rilvet-48 ") + app::versionNumber() + "\n");
}

TEST(DataFolder, IsRilvet48UnderTheHomeFolder) {
  EXPECT_EQ(app::dataFolderIn("/home/user"), "/home/user/Rilvet-48");
  EXPECT_EQ(app::dataFolderIn("/home/user/"), "/home/user/Rilvet-48");
  EXPECT_EQ(app::dataFolderIn(""), "");
#ifndef _WIN32
  const char* saved = std::getenv("HOME");
  const std::string before = saved != nullptr ? saved : "";
  ::setenv("HOME", "/home/somebody", 1);
  EXPECT_EQ(app::homeFolder(), "/home/somebody");
  ::unsetenv("HOME");
  EXPECT_FALSE(app::homeFolder().empty()) << "the account's home when HOME is unset";
  if (saved != nullptr) ::setenv("HOME", before.c_str(), 1);
#endif
}

class EnterDataFolder : public ::testing::Test {
 protected:
  void SetUp() override { previous = std::filesystem::current_path(); }
  void TearDown() override { std::filesystem::current_path(previous); }
  std::filesystem::path previous;
  testing_support::TempFolder temp;
};

TEST_F(EnterDataFolder, CreatesTheFolderWithItsParentsAndWorksThere) {
  const std::string folder = temp.path("home/Rilvet-48");
  app::enterDataFolder(folder);
  EXPECT_TRUE(std::filesystem::is_directory(folder));
  EXPECT_TRUE(std::filesystem::equivalent(std::filesystem::current_path(), folder));
  // A bare name now lands in the data folder.
  std::ofstream("bare.txt") << "x";
  EXPECT_TRUE(std::filesystem::exists(folder + "/bare.txt"));

  // The next start finds it there and keeps what it holds.
  std::filesystem::current_path(previous);
  app::enterDataFolder(folder);
  EXPECT_TRUE(std::filesystem::exists("bare.txt"));
}

TEST_F(EnterDataFolder, AFileInTheFoldersPlaceIsAnErrorNamingTheFolder) {
  const std::string folder = temp.path("Rilvet-48");
  std::ofstream(folder) << "not a folder";
  try {
    app::enterDataFolder(folder);
    FAIL() << "no error";
  } catch (const std::runtime_error& e) {
    const std::string message = e.what();
    EXPECT_EQ(message.rfind("Не удаётся открыть папку \"" + folder + "\": ", 0), 0u) << message;
    EXPECT_GT(message.size(), folder.size() + 30) << "the system's reason is given";
  }
  EXPECT_TRUE(std::filesystem::equivalent(std::filesystem::current_path(), previous));
  EXPECT_THROW(app::enterDataFolder(""), std::runtime_error);
  EXPECT_TRUE(std::filesystem::equivalent(std::filesystem::current_path(), previous));
}

}  // namespace
