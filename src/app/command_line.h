// The program's command line: the few options of its own, read before any
// window or file is touched, and the folder it works in.
#pragma once

#include <string>
#include <vector>

namespace app {

// The name the program is installed under, used in its messages.
inline constexpr const char* kProgramName = "rilvet48";
// The data folder's name under the home folder.
inline constexpr const char* kDataFolderName = "Rilvet-48";

struct CommandLine {
  enum class Action { kRun, kHelp, kVersion, kError };
  Action action = Action::kRun;
  // Where the program works: empty to stay in the current folder.
  std::string dataFolder;
  // The home folder's data folder was asked for (the menu's start).
  bool defaultDataFolder = false;
  // For kError: what was wrong, one line.
  std::string error;
};

// Reads our options among `args` (argv without the program's name). The
// options of the window toolkit, and anything else we do not know, are left
// to it. `--help` or `--version` anywhere wins over the rest.
CommandLine parseCommandLine(const std::vector<std::string>& args);
// main()'s arguments without the program's name, in UTF-8 on every system.
std::vector<std::string> programArguments(int argc, char** argv);

std::string helpText();
std::string versionText();
// The version number alone ("1.0").
const char* versionNumber();

// `home`/Rilvet-48; an empty `home` has no data folder (empty result).
std::string dataFolderIn(const std::string& home);
// The folder the data folder goes in: the user's home folder ($HOME, or the
// account's home when it is unset); on Windows the user's Documents.
std::string homeFolder();

// Creates `folder` (and its parents) when missing and makes it the current
// folder, so the program's files keep their bare names there. Throws
// std::runtime_error naming the folder and the system's reason.
void enterDataFolder(const std::string& folder);

}  // namespace app
