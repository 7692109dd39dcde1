// A fresh folder for one test or benchmark, removed with everything in it
// afterwards. Header-only, so that the tests of every library can use it
// without linking anything of ours.
#pragma once

#include <filesystem>
#include <random>
#include <set>
#include <string>

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
        const std::u8string name = candidate.u8string();
        root_.assign(name.begin(), name.end());
        break;
      }
    }
  }
  ~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(std::u8string(root_.begin(), root_.end()), ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::string& root() const { return root_; }
  std::string path(const std::string& name) const { return root_ + "/" + name; }

  // Empties the folder, keeping it.
  void clear() const {
    for (const auto& entry :
         std::filesystem::directory_iterator(std::u8string(root_.begin(), root_.end()))) {
      std::filesystem::remove_all(entry.path());
    }
  }

  // The names of everything in the folder, in UTF-8.
  std::set<std::string> entries() const {
    std::set<std::string> names;
    for (const auto& entry :
         std::filesystem::directory_iterator(std::u8string(root_.begin(), root_.end()))) {
      const std::u8string name = entry.path().filename().u8string();
      names.insert(std::string(name.begin(), name.end()));
    }
    return names;
  }

 private:
  std::string root_;
};

}  // namespace testing_support
