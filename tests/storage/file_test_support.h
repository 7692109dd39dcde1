// A fresh folder for one test, removed with everything in it afterwards, raw
// byte access to the files in it (independent of the code under test), and a
// check of file error messages.
#pragma once

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "storage/cp1251.h"
#include "storage/file_io.h"

namespace testing_support {

class TempFolder {
 public:
  TempFolder() {
    namespace fs = std::filesystem;
    std::random_device random;
    for (;;) {
      const fs::path candidate =
          fs::temp_directory_path() / ("rilvet-test-" + std::to_string(random()));
      if (fs::create_directory(candidate)) {
        root_ = candidate.string();
        break;
      }
    }
  }
  ~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  std::string path(const std::string& name) const { return root_ + "/" + name; }

  // A file name as entries() lists it. Windows builds read a narrow name in
  // the ANSI code page but list names in UTF-8; compare in the same form.
  static std::string entryName(const std::string& name) {
#ifdef _WIN32
    // The test runs set wine's ANSI code page to 1251.
    return storage::cp1251ToUtf8(name);
#else
    return name;
#endif
  }

  // The names of everything in the folder, each as entryName() gives it.
  std::set<std::string> entries() const {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(root_)) {
      names.insert(entry.path().filename().string());
    }
    return names;
  }

 private:
  std::string root_;
};

// A name as the file functions take it (in the ANSI code page on Windows),
// for std::filesystem, which reads a narrow name differently there.
inline std::filesystem::path fsPath(const std::string& name) {
#ifdef _WIN32
  const std::string utf8 = storage::cp1251ToUtf8(name);
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
#else
  return name;
#endif
}

inline void writeBytes(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool exists(const std::string& path) {
  return std::filesystem::exists(fsPath(path));
}

// Checks a file error's message: the verb for its kind, the file's name and,
// on POSIX hosts, strerror's text for `posixCode` as the reason. On Windows
// the name is shown through the ANSI code page, so only ASCII names are
// compared there, and the reason is whatever FormatMessage says.
inline void expectFileError(const storage::FileError& error, storage::FileError::Kind kind,
                            const std::string& name, [[maybe_unused]] int posixCode) {
  const std::string message = error.what();
  EXPECT_EQ(error.kind(), kind) << message;
  const std::string verb = kind == storage::FileError::Kind::kRead ? "открыть" : "записать";
  std::string shown = name;
#ifdef _WIN32
  for (const char c : name) {
    if (static_cast<unsigned char>(c) >= 0x80) shown = error.fileName();
  }
#endif
  const std::string head = "Не удаётся " + verb + " файл \"" + shown + "\": ";
  ASSERT_EQ(message.substr(0, head.size()), head);
  EXPECT_GT(message.size(), head.size()) << "no reason given";
  EXPECT_EQ(error.fileName(), shown);
#ifndef _WIN32
  EXPECT_EQ(message.substr(head.size()), std::strerror(posixCode));
#endif
}

}  // namespace testing_support
