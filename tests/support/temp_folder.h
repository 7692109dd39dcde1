// A fresh folder for one test or benchmark, removed with everything in it
// afterwards. Header-only, so that the tests of every library can use it
// without linking anything of ours.
#pragma once

#include <filesystem>
#include <random>
#include <set>
#include <string>

#ifdef _WIN32
#include "table/cp1251.h"
#endif

namespace testing_support {

class TempFolder {
 public:
  // A folder under `base`, or under the system's temporary folder when
  // `base` is empty.
  explicit TempFolder(const std::filesystem::path& base = {}) {
    namespace fs = std::filesystem;
    const fs::path parent = base.empty() ? fs::temp_directory_path() : base;
    fs::create_directories(parent);
    std::random_device random;
    for (;;) {
      const fs::path candidate = parent / ("rilvet-test-" + std::to_string(random()));
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

  const std::string& root() const { return root_; }
  std::string path(const std::string& name) const { return root_ + "/" + name; }

  // A file name as entries() lists it. Windows builds read a narrow name in
  // the ANSI code page but list names in UTF-8; compare in the same form.
  static std::string entryName(const std::string& name) {
#ifdef _WIN32
    // The test runs set wine's ANSI code page to 1251.
    return table::cp1251ToUtf8(name);
#else
    return name;
#endif
  }

  // Empties the folder, keeping it.
  void clear() const {
    for (const auto& entry : std::filesystem::directory_iterator(root_)) {
      std::filesystem::remove_all(entry.path());
    }
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

}  // namespace testing_support
