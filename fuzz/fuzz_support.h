// What both fuzz targets share: a failed check that stops the run with its
// line and raw file access apart from the code under test. Their private
// folder, made once per process, is the tests' temporary folder.
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
