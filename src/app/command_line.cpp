#include "app/command_line.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
// windows.h first: the shell's headers need it.
// clang-format off
#include <windows.h>
#include <knownfolders.h>
#include <shellapi.h>
#include <shlobj.h>
// clang-format on
#else
#include <pwd.h>
#include <unistd.h>
#endif

#ifndef RILVET_VERSION
#error "RILVET_VERSION is set by the build"
#endif

namespace app {

namespace {

constexpr const char kDataFolderOption[] = "--data-folder";
#ifdef _WIN32
constexpr const char kHomeShown[] = "Documents";
#else
constexpr const char kHomeShown[] = "~";
#endif

}  // namespace

CommandLine parseCommandLine(const std::vector<std::string>& args) {
  CommandLine result;
  for (const std::string& arg : args) {
    if (arg == "--help" || arg == "-h")
      return CommandLine{CommandLine::Action::kHelp, {}, false, {}};
    if (arg == "--version" || arg == "-v") {
      return CommandLine{CommandLine::Action::kVersion, {}, false, {}};
    }
  }
  const std::string withValue = std::string(kDataFolderOption) + "=";
  for (const std::string& arg : args) {
    if (arg == kDataFolderOption) {
      result.defaultDataFolder = true;
      result.dataFolder.clear();
    } else if (arg.rfind(withValue, 0) == 0) {
      result.dataFolder = arg.substr(withValue.size());
      result.defaultDataFolder = false;
      if (result.dataFolder.empty()) {
        return CommandLine{CommandLine::Action::kError,
                           {},
                           false,
                           std::string(kDataFolderOption) + "= needs a folder"};
      }
    }
  }
  return result;
}

std::string helpText() {
  return std::string("Usage: ") + kProgramName +
         " [--data-folder[=FOLDER]] [Qt options]\n"
         "\n"
         "Rilvet-48 plays a 48-channel on/off sequence on a board of six chained\n"
         "74HC595 shift registers hung on a serial port.\n"
         "\n"
         "It keeps its files (the table Rilvet_код.txt, the matching Rilvet.dat)\n"
         "by their bare names in the folder it works in: the current folder,\n"
         "unless one of these options names another.\n"
         "\n"
         "Options:\n"
         "  --data-folder         work in " +
         dataFolderIn(kHomeShown) +
         ", created when missing (the menu entry\n"
         "                        starts the program so)\n"
         "  --data-folder=FOLDER  work in FOLDER, created when missing\n"
         "  -h, --help            print this help and exit\n"
         "  -v, --version         print the version and exit\n"
         "\n"
         "The window toolkit's options (-platform, -style, -stylesheet, ...) are\n"
         "accepted as well. The user's guide opens from the program's help button.\n";
}

std::string versionText() {
  return std::string("Rilvet-48 ") + versionNumber() + "\n";
}

const char* versionNumber() {
  return RILVET_VERSION;
}

std::string dataFolderIn(const std::string& home) {
  if (home.empty()) return {};
  const char last = home.back();
  const bool separated = last == '/' || last == '\\';
  return home + (separated ? "" : "/") + kDataFolderName;
}

#ifdef _WIN32
namespace {

std::string utf8(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return {text.begin(), text.end()};
}

}  // namespace
#endif

std::vector<std::string> programArguments([[maybe_unused]] int argc, [[maybe_unused]] char** argv) {
#ifdef _WIN32
  // argv holds the ANSI code page's idea of the arguments; the wide command
  // line has them as typed, whatever the code page.
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::string> args;
  for (int i = 1; wide != nullptr && i < count; ++i) args.push_back(utf8(wide[i]));
  if (wide != nullptr) LocalFree(wide);
  return args;
#else
  return {argv + 1, argv + argc};
#endif
}

std::string homeFolder() {
#ifdef _WIN32
  // The user's Documents, where Windows programs keep the files one makes.
  wchar_t* documents = nullptr;
  std::string folder;
  if (SHGetKnownFolderPath(FOLDERID_Documents, 0, nullptr, &documents) == S_OK) {
    folder = utf8(documents);
  }
  CoTaskMemFree(documents);
  return folder;
#else
  const char* home = std::getenv("HOME");
  if (home != nullptr && *home != '\0') return home;
  // Read once at start-up, before any other thread exists.
  const passwd* account = ::getpwuid(::getuid());
  return account != nullptr && account->pw_dir != nullptr ? account->pw_dir : "";
#endif
}

void enterDataFolder(const std::string& folder) {
  std::error_code error;
  if (folder.empty()) {
    error = std::make_error_code(std::errc::no_such_file_or_directory);
  } else {
    const std::filesystem::path path(std::u8string(folder.begin(), folder.end()));
    std::filesystem::create_directories(path, error);
    if (!error) std::filesystem::current_path(path, error);
  }
  if (error) {
    throw std::runtime_error("Не удаётся открыть папку \"" + folder + "\": " + error.message());
  }
}

}  // namespace app
