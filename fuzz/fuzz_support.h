// What both fuzz targets share: a failed check that stops the run with its
// line, a private folder made once per process, and raw file access apart
// from the code under test.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <string_view>

namespace fuzz_support {

[[noreturn]] inline void fail(const char* file, const char* what, int line) {
  std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
  __builtin_trap();
}

#define CHECK(condition)                                                  \
  do {                                                                    \
    if (!(condition)) fuzz_support::fail(__FILE__, #condition, __LINE__); \
  } while (0)

class Folder {
 public:
  explicit Folder(const std::string& prefix) {
    namespace fs = std::filesystem;
    std::string pattern = (fs::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) fail(__FILE__, "mkdtemp", __LINE__);
    root_ = pattern;
  }
  ~Folder() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;

  std::string path(const std::string& name) const { return (root_ / name).string(); }

  // Backups of earlier inputs would change which ".bak" name the loader picks.
  void empty() const {
    for (const auto& entry : std::filesystem::directory_iterator(root_)) {
      std::filesystem::remove_all(entry.path());
    }
  }

  std::set<std::string> entries() const {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(root_)) {
      names.insert(entry.path().filename().string());
    }
    return names;
  }

 private:
  std::filesystem::path root_;
};

inline void writeBytes(const std::string& name, std::string_view bytes) {
  std::ofstream out(name, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  CHECK(out.good());
}

inline std::string readBytes(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  CHECK(in.good());
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace fuzz_support
